#include <unistd.h>

#include <cctype>
#include <cstdlib>
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
