// Claude Code on Windows: found on the PATH as claude, claude.cmd or claude.exe, else in
// the places its installers use (the vendor's native installer, npm's per-user folder,
// Node's own folder), installed with the vendor's PowerShell one-liner, and made visible
// after an install by adding its folder to the user's PATH in the registry and merging
// that PATH into ours.
#include "platform/assistant_program.h"

#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include "platform/utf8_path.h"
#include "platform/windows/env.h"
#include "platform/windows/search_path.h"
#include "platform/windows/wide_text.h"

namespace termiva::platform {

namespace fs = std::filesystem;

namespace {

fs::path vendor_install_dir() {
    const fs::path local = windows::env_path(L"LOCALAPPDATA");
    return local.empty() ? fs::path() : local / L"Programs" / L"claude";
}

// %VAR% pieces of a REG_EXPAND_SZ path, as the shell expands them for new processes.
std::wstring expanded(const std::wstring& text) {
    const DWORD need = ::ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    if (need == 0) return text;
    std::wstring out(need, L'\0');
    const DWORD got = ::ExpandEnvironmentStringsW(text.c_str(), out.data(), need);
    if (got == 0 || got > need) return text;
    out.resize(got - 1);
    return out;
}

}  // namespace

fs::path home_dir() {
    const fs::path profile = windows::env_path(L"USERPROFILE");
    if (!profile.empty()) return profile;
    PWSTR folder = nullptr;
    fs::path out;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_Profile, KF_FLAG_DEFAULT, nullptr, &folder)))
        out = folder;
    ::CoTaskMemFree(folder);
    return out.empty() ? fs::path(L"C:\\") : out;
}

std::vector<std::string> assistant_program_names() {
    return {"claude", "claude.cmd", "claude.exe"};
}

std::vector<fs::path> assistant_program_candidates() {
    std::vector<fs::path> out;
    if (const fs::path dir = vendor_install_dir(); !dir.empty()) {
        out.push_back(dir / L"claude.exe");
        out.push_back(dir / L"claude.cmd");
    }
    if (const fs::path roaming = windows::env_path(L"APPDATA"); !roaming.empty()) {
        out.push_back(roaming / L"npm" / L"claude.cmd");
        out.push_back(roaming / L"npm" / L"claude.ps1");
    }
    // Only under a known Program Files: a bare "nodejs\claude.cmd" would be looked up in
    // whatever the working folder happens to be.
    if (const fs::path programs = windows::env_path(L"ProgramFiles"); !programs.empty())
        out.push_back(programs / L"nodejs" / L"claude.cmd");
    return out;
}

bool is_program_file(const fs::path& file) {
    std::error_code ec;
    return fs::is_regular_file(file, ec);
}

std::vector<std::string> assistant_install_command() {
    return {"powershell", "-NoProfile", "-ExecutionPolicy",
            "Bypass",     "-Command",   "irm https://claude.ai/install.ps1 | iex"};
}

std::vector<fs::path> assistant_install_dirs() {
    std::vector<fs::path> dirs;
    if (const fs::path dir = vendor_install_dir(); !dir.empty()) dirs.push_back(dir);
    dirs.push_back(home_dir() / L".local" / L"bin");
    if (const fs::path roaming = windows::env_path(L"APPDATA"); !roaming.empty())
        dirs.push_back(roaming / L"npm");
    return dirs;
}

// Claude Code refuses to skip its prompts only for the Unix root user; an elevated
// Windows process is not refused, so nothing needs to change for it.
bool runs_as_administrator() {
    return false;
}

std::string add_to_search_path(const std::vector<fs::path>& dirs) {
    // The vendor's folder goes into the user's PATH when its installer did not put it
    // there, so a new console finds the program too; failing that, only we find it.
    std::wstring user_path;
    try {
        user_path = windows::add_to_user_path(L"Environment", vendor_install_dir());
    } catch (const std::system_error&) {
        // No user PATH to read or write: the process PATH below still gets the folders.
    }
    std::vector<std::wstring> additions;
    for (const auto& piece : windows::split_list(user_path))
        additions.push_back(expanded(piece));
    for (const auto& dir : dirs) {
        std::error_code ec;
        if (!dir.empty() && fs::is_directory(dir, ec)) additions.push_back(dir.native());
    }
    const std::wstring merged = windows::merge_search_paths(windows::env_text(L"PATH"), additions);
    windows::set_env(L"PATH", merged);
    return windows::to_utf8(merged);
}

}  // namespace termiva::platform
