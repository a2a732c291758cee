// MultiByteToWideChar and WideCharToMultiByte with CP_UTF8 and no MB_ERR_INVALID_CHARS:
// bad input is replaced with U+FFFD rather than refused, so a stray byte in a session
// file or a registry value costs one character, never the whole text.
#include "platform/windows/wide_text.h"

#include <windows.h>

#include <climits>
#include <stdexcept>

namespace termiva::platform::windows {

namespace {

int checked_length(std::size_t size) {
    if (size > static_cast<std::size_t>(INT_MAX)) throw std::length_error("text too long");
    return static_cast<int>(size);
}

}  // namespace

std::wstring to_utf16(std::string_view utf8) {
    if (utf8.empty()) return {};
    const int in = checked_length(utf8.size());
    const int need = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), in, nullptr, 0);
    if (need <= 0) return {};
    std::wstring out(static_cast<std::size_t>(need), L'\0');
    const int got = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), in, out.data(), need);
    out.resize(static_cast<std::size_t>(got > 0 ? got : 0));
    return out;
}

std::string to_utf8(std::wstring_view utf16) {
    if (utf16.empty()) return {};
    const int in = checked_length(utf16.size());
    const int need =
        ::WideCharToMultiByte(CP_UTF8, 0, utf16.data(), in, nullptr, 0, nullptr, nullptr);
    if (need <= 0) return {};
    std::string out(static_cast<std::size_t>(need), '\0');
    const int got =
        ::WideCharToMultiByte(CP_UTF8, 0, utf16.data(), in, out.data(), need, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(got > 0 ? got : 0));
    return out;
}

}  // namespace termiva::platform::windows
