#include "support/host_fake_claude.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "support/host_process.h"

namespace termiva::testing {

namespace fs = std::filesystem;

namespace {

fs::path windows_build_dir() {
    const char* b = std::getenv("TERMIVA_WIN_BUILD_DIR");
    if (!b || !*b) throw std::runtime_error("a host under Wine needs TERMIVA_WIN_BUILD_DIR");
    return b;
}

// The Wine user's folder in the prefix (drive_c/users/<name>, the one that is not Public).
fs::path wine_user_dir(std::string& name) {
    for (const auto& entry : fs::directory_iterator(host_wine_prefix() / "drive_c" / "users")) {
        name = entry.path().filename().string();
        if (name != "Public" && fs::is_directory(entry.path() / "AppData" / "Roaming"))
            return entry.path();
    }
    throw std::runtime_error("no user folder in the Wine prefix");
}

}  // namespace

fs::path host_program_dir() {
    return host_under_wine() ? windows_build_dir() / "termiva" : program_dir();
}

HostFakeClaude::HostFakeClaude(const fs::path& dir) : m_fake(dir) {
    if (!host_under_wine()) {
        m_host_program = m_fake.program().string();
        return;
    }
    std::string user;
    const fs::path npm = wine_user_dir(user) / "AppData" / "Roaming" / "npm";
    fs::create_directories(npm);
    m_script = npm / "claude.cmd";
    const fs::path program = windows_build_dir() / "test-fixtures" / "fake_claude_windows.exe";
    if (!fs::is_regular_file(program))
        throw std::runtime_error(program.string() + " is not built (scripts/build-windows.sh)");
    // Shaped like npm's own: the stand-in gets %* as the batch file got it.
    std::ofstream(m_script, std::ios::binary)
        << "@ECHO off\r\nSETLOCAL\r\nSET \"FAKE_CLAUDE_DIR=" << host_path(dir) << "\"\r\n\""
        << host_path(program) << "\" %*\r\n";
    m_host_program = "C:\\users\\" + user + "\\AppData\\Roaming\\npm\\claude.cmd";
}

HostFakeClaude::~HostFakeClaude() {
    std::error_code ec;
    if (!m_script.empty()) fs::remove(m_script, ec);
}

}  // namespace termiva::testing
