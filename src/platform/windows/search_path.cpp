#include "platform/windows/search_path.h"

#include <windows.h>

#include "platform/windows/env.h"
#include "platform/windows/win_error.h"

namespace termiva::platform::windows {

namespace fs = std::filesystem;

namespace {

std::wstring normalised(const std::wstring& dir) {
    std::wstring n = fs::path(dir).lexically_normal().make_preferred().native();
    while (n.size() > 1 && (n.back() == L'\\' || n.back() == L'/') &&
           !(n.size() == 3 && n[1] == L':'))
        n.pop_back();
    if (n.empty()) return n;
    // Windows folds case in file names with its own upper-case table.
    ::CharUpperBuffW(n.data(), static_cast<DWORD>(n.size()));
    return n;
}

}  // namespace

bool same_folder(const std::wstring& a, const std::wstring& b) {
    return normalised(a) == normalised(b);
}

std::wstring merge_search_paths(const std::wstring& current,
                                const std::vector<std::wstring>& additions) {
    std::vector<std::wstring> pieces = split_list(current);
    std::vector<std::wstring> seen;
    for (const auto& p : pieces)
        seen.push_back(normalised(p));
    for (const auto& add : additions) {
        if (add.empty()) continue;
        const std::wstring n = normalised(add);
        bool known = false;
        for (const auto& s : seen)
            known = known || s == n;
        if (known) continue;
        pieces.push_back(add);
        seen.push_back(n);
    }
    std::wstring joined;
    for (const auto& p : pieces)
        joined += (joined.empty() ? L"" : L";") + p;
    return joined;
}

std::wstring add_to_user_path(const std::wstring& key, const fs::path& dir) {
    HKEY env = nullptr;
    LONG rc = ::RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ | KEY_SET_VALUE, &env);
    if (rc != ERROR_SUCCESS)
        throw std::system_error(errno_of(rc), std::generic_category(),
                                "cannot open the user's environment: " + message_of(rc));
    struct Closer {
        HKEY k;
        ~Closer() { ::RegCloseKey(k); }
    } closer{env};
    DWORD type = 0, size = 0;
    rc = ::RegQueryValueExW(env, L"Path", nullptr, &type, nullptr, &size);
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ) || size > 1024 * 1024)
        throw std::system_error(ENOENT, std::generic_category(), "the user has no PATH");
    std::wstring user(size / sizeof(wchar_t) + 1, L'\0');
    DWORD got = static_cast<DWORD>(user.size() * sizeof(wchar_t));
    rc = ::RegQueryValueExW(env, L"Path", nullptr, &type, reinterpret_cast<BYTE*>(user.data()),
                            &got);
    if (rc != ERROR_SUCCESS)
        throw std::system_error(errno_of(rc), std::generic_category(),
                                "cannot read the user's PATH: " + message_of(rc));
    user.resize(got / sizeof(wchar_t));
    while (!user.empty() && user.back() == L'\0')
        user.pop_back();

    std::error_code ec;
    if (dir.empty() || !fs::is_directory(dir, ec)) return user;
    for (const auto& piece : split_list(user))
        if (same_folder(piece, dir.native())) return user;
    const std::wstring updated = user.empty() ? dir.native() : user + L";" + dir.native();
    rc = ::RegSetValueExW(env, L"Path", 0, REG_EXPAND_SZ,
                          reinterpret_cast<const BYTE*>(updated.c_str()),
                          static_cast<DWORD>((updated.size() + 1) * sizeof(wchar_t)));
    if (rc != ERROR_SUCCESS)
        throw std::system_error(errno_of(rc), std::generic_category(),
                                "cannot write the user's PATH: " + message_of(rc));
    // Explorer and new consoles reload the environment; a window that does not answer
    // within the time is left alone.
    DWORD_PTR result = 0;
    ::SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0,
                          reinterpret_cast<LPARAM>(L"Environment"), SMTO_ABORTIFHUNG, 5000,
                          &result);
    return updated;
}

}  // namespace termiva::platform::windows
