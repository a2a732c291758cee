// The fake `claude` (fake_claude.h) where the host under test looks for the real one: first
// on the search path for a host of this system; for the Windows host under Wine, as npm's
// claude.cmd in the Wine user's %APPDATA%\npm, which hands its arguments on with %* to the
// cross-built stand-in (tests/fixtures/fake_claude_windows.cpp) as npm's hands them to Node.
// Both record their runs in the same files, read through records().
#pragma once

#include <filesystem>
#include <string>

#include "support/fake_claude.h"

namespace termiva::testing {

class HostFakeClaude {
public:
    explicit HostFakeClaude(const std::filesystem::path& dir);
    ~HostFakeClaude();
    HostFakeClaude(const HostFakeClaude&) = delete;
    HostFakeClaude& operator=(const HostFakeClaude&) = delete;

    FakeClaude& records() { return m_fake; }
    // The program as the host names it once found.
    const std::string& host_program() const { return m_host_program; }

private:
    FakeClaude m_fake;
    std::filesystem::path m_script;  // the claude.cmd under Wine
    std::string m_host_program;
};

// The program folder of the host under test, as this machine names it (the Windows build's
// for a host under Wine).
std::filesystem::path host_program_dir();

}  // namespace termiva::testing
