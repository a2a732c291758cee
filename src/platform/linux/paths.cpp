#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/paths.h"

namespace termiva::platform {

namespace fs = std::filesystem;

fs::path module_dir() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return fs::current_path();
    return exe.parent_path();
}

std::string module_file_name() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string("termiva") : exe.filename().string();
}

fs::path default_data_dir() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    fs::path base;
    if (xdg && *xdg) {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = fs::path(home && *home ? home : "/tmp") / ".local" / "share";
    }
    return base / "Lanternfold" / "Termiva";
}

namespace {

fs::path home_dir() {
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : "/tmp");
}

// XDG_DOWNLOAD_DIR from user-dirs.dirs: `XDG_DOWNLOAD_DIR="$HOME/Downloads"` (a path
// relative to the home folder) or an absolute path in quotes; empty when absent, malformed
// or the home folder itself (which the file uses for "no such folder").
fs::path xdg_download_dir() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const fs::path file =
        (config && *config ? fs::path(config) : home_dir() / ".config") / "user-dirs.dirs";
    std::ifstream in(file);
    std::string line;
    const std::string key = "XDG_DOWNLOAD_DIR=\"";
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) != 0) continue;
        const std::size_t end = line.find('"', key.size());
        if (end == std::string::npos) return {};
        std::string value = line.substr(key.size(), end - key.size());
        fs::path dir;
        if (value.rfind("$HOME", 0) == 0) {
            value.erase(0, 5);
            if (!value.empty() && value[0] != '/') return {};
            dir = home_dir() / value.substr(value.empty() ? 0 : 1);
        } else if (!value.empty() && value[0] == '/') {
            dir = value;
        } else {
            return {};
        }
        // "/home/me/" and "/home/me" are one folder.
        const auto bare = [](const fs::path& p) {
            std::string text = p.lexically_normal().string();
            while (text.size() > 1 && text.back() == '/')
                text.pop_back();
            return text;
        };
        if (bare(dir) == bare(home_dir())) return {};
        return dir.lexically_normal();
    }
    return {};
}

}  // namespace

fs::path user_downloads_dir() {
    fs::path dir = xdg_download_dir();
    return dir.empty() ? home_dir() / "Downloads" : dir;
}

std::vector<std::string> bundled_program_names(const std::string& windows_name) {
    // Builds for Linux of a program Windows calls "x.exe" are called "x"; a folder copied
    // from a Windows machine may still hold the former.
    std::vector<std::string> names{windows_name};
    const std::string exe = ".exe";
    if (windows_name.size() > exe.size()) {
        std::string tail = windows_name.substr(windows_name.size() - exe.size());
        for (char& c : tail)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (tail == exe) names.push_back(windows_name.substr(0, windows_name.size() - exe.size()));
    }
    return names;
}

std::optional<fs::path> find_on_search_path(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos) return std::nullopt;
    const char* path = std::getenv("PATH");
    if (!path) return std::nullopt;
    std::istringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty()) continue;
        fs::path candidate = fs::path(dir) / name;
        std::error_code ec;
        if (fs::is_regular_file(candidate, ec) && ::access(candidate.c_str(), X_OK) == 0) {
            return fs::absolute(candidate, ec);
        }
    }
    return std::nullopt;
}

}  // namespace termiva::platform
