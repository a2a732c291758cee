#include "platform/windows/env.h"

#include <windows.h>

namespace termiva::platform::windows {

std::wstring env_text(const wchar_t* name) {
    std::wstring value(256, L'\0');
    for (;;) {
        ::SetLastError(ERROR_SUCCESS);
        const DWORD n =
            ::GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
        if (n == 0) return {};
        // Too small: n is the size needed, with room for the terminating NUL.
        if (n < value.size()) {
            value.resize(n);
            return value;
        }
        value.resize(n);
    }
}

std::filesystem::path env_path(const wchar_t* name) {
    return std::filesystem::path(env_text(name));
}

bool set_env(const wchar_t* name, const std::wstring& value) {
    return ::SetEnvironmentVariableW(name, value.empty() ? nullptr : value.c_str()) != 0;
}

std::vector<std::wstring> split_list(const std::wstring& list) {
    std::vector<std::wstring> pieces;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(L';', start);
        if (end == std::wstring::npos) end = list.size();
        std::wstring piece = list.substr(start, end - start);
        if (piece.size() >= 2 && piece.front() == L'"' && piece.back() == L'"')
            piece = piece.substr(1, piece.size() - 2);
        if (!piece.empty()) pieces.push_back(std::move(piece));
        start = end + 1;
    }
    return pieces;
}

}  // namespace termiva::platform::windows
