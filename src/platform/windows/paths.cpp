// Where the program and its data live on Windows. The data folder is the user's roaming
// application data (%APPDATA%\Lanternfold\Termiva): a folder under the root of C: would be
// shared by every account of the machine and readable by all of them, and writing there
// needs rights an ordinary user may not have.
#include "platform/paths.h"

// windows.h first: the shell headers rely on its definitions.
#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include "platform/windows/env.h"
#include "platform/windows/wide_text.h"

namespace termiva::platform {

namespace fs = std::filesystem;

namespace {

std::wstring module_file() {
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return {};
        // A name that filled the buffer may have been cut: try again with more room.
        if (n < buf.size()) {
            buf.resize(n);
            return buf;
        }
        if (buf.size() >= 32768) return {};
        buf.resize(buf.size() * 2);
    }
}

bool ends_with_ci(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() &&
           ::CompareStringOrdinal(text.data() + text.size() - tail.size(),
                                  static_cast<int>(tail.size()), tail.data(),
                                  static_cast<int>(tail.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

fs::path module_dir() {
    const std::wstring exe = module_file();
    if (exe.empty()) return fs::current_path();
    return fs::path(exe).parent_path();
}

std::string module_file_name() {
    const std::wstring exe = module_file();
    return exe.empty() ? std::string("termiva.exe")
                       : windows::to_utf8(fs::path(exe).filename().native());
}

fs::path default_data_dir() {
    PWSTR folder = nullptr;
    fs::path base;
    if (SUCCEEDED(
            ::SHGetKnownFolderPath(FOLDERID_RoamingAppData, KF_FLAG_DEFAULT, nullptr, &folder)))
        base = folder;
    ::CoTaskMemFree(folder);
    if (base.empty()) base = windows::env_path(L"APPDATA");
    if (base.empty()) base = fs::temp_directory_path();
    return base / L"Lanternfold" / L"Termiva";
}

fs::path user_downloads_dir() {
    PWSTR folder = nullptr;
    fs::path dir;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_Downloads, KF_FLAG_DEFAULT, nullptr, &folder)))
        dir = folder;
    ::CoTaskMemFree(folder);
    if (dir.empty()) {
        const fs::path profile = windows::env_path(L"USERPROFILE");
        if (!profile.empty()) dir = profile / L"Downloads";
    }
    return dir;
}

std::vector<std::string> bundled_program_names(const std::string& windows_name) {
    return {windows_name};
}

std::optional<fs::path> find_on_search_path(const std::string& name) {
    if (name.empty() || name.find_first_of("/\\:") != std::string::npos) return std::nullopt;
    const std::wstring wide = windows::to_utf16(name);
    // As the command processor does: a name without one of PATHEXT's extensions is tried
    // with each of them, in PATHEXT's order; a file with no extension does not run.
    std::vector<std::wstring> names;
    const std::vector<std::wstring> extensions = windows::split_list(
        windows::env_text(L"PATHEXT").empty() ? std::wstring(L".COM;.EXE;.BAT;.CMD")
                                              : windows::env_text(L"PATHEXT"));
    bool has_extension = false;
    for (const auto& ext : extensions)
        has_extension = has_extension || ends_with_ci(wide, ext);
    if (has_extension) {
        names.push_back(wide);
    } else {
        for (const auto& ext : extensions)
            names.push_back(wide + ext);
    }
    for (const auto& dir : windows::split_list(windows::env_text(L"PATH"))) {
        for (const auto& n : names) {
            const fs::path candidate = fs::path(dir) / n;
            std::error_code ec;
            if (fs::is_regular_file(candidate, ec)) return fs::absolute(candidate, ec);
        }
    }
    return std::nullopt;
}

}  // namespace termiva::platform
