// A Windows path is UTF-16 natively; building it from the wide text leaves libstdc++ no
// code page to guess.
#include "platform/utf8_path.h"

#include <windows.h>

#include <optional>

#include "platform/windows/wide_text.h"

namespace termiva::platform {

namespace {

// The name in the ANSI code page, or nothing when a character is outside it (no best-fit
// look-alike: that would name another file).
std::optional<std::string> in_ansi_code_page(const std::wstring& name) {
    if (name.empty()) return std::string();
    BOOL lossy = FALSE;
    const int size = static_cast<int>(name.size());
    const int n = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name.data(), size, nullptr, 0,
                                        nullptr, &lossy);
    if (n <= 0 || lossy) return std::nullopt;
    std::string out(static_cast<std::size_t>(n), '\0');
    if (::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name.data(), size, out.data(), n,
                              nullptr, &lossy) != n ||
        lossy)
        return std::nullopt;
    return out;
}

std::optional<std::wstring> short_form(const std::filesystem::path& existing) {
    const DWORD n = ::GetShortPathNameW(existing.c_str(), nullptr, 0);
    if (n == 0) return std::nullopt;
    std::wstring out(n, L'\0');
    const DWORD written = ::GetShortPathNameW(existing.c_str(), out.data(), n);
    if (written == 0 || written >= n) return std::nullopt;
    out.resize(written);
    return out;
}

}  // namespace

std::filesystem::path path_from_utf8(std::string_view utf8) {
    return std::filesystem::path(windows::to_utf16(utf8));
}

std::string path_to_utf8(const std::filesystem::path& path) {
    return windows::to_utf8(path.native());
}

std::string path_for_narrow_api(const std::filesystem::path& path) {
    if (auto plain = in_ansi_code_page(path.native())) return *plain;
    // A file about to be made (a first known-hosts file) has no short form yet: its
    // folder has.
    std::filesystem::path existing = path;
    std::filesystem::path rest;
    while (!existing.empty()) {
        if (auto shortened = short_form(existing)) {
            std::filesystem::path whole(*shortened);
            if (!rest.empty()) whole /= rest;
            return in_ansi_code_page(whole.native()).value_or(std::string());
        }
        const std::filesystem::path parent = existing.parent_path();
        if (parent == existing) break;
        rest = rest.empty() ? existing.filename() : existing.filename() / rest;
        existing = parent;
    }
    return {};
}

}  // namespace termiva::platform
