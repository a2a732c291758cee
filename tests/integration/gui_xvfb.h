// A private X server for window tests: Xvfb on a display number it picks itself.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace termiva::testing {

class XvfbServer {
public:
    // Starts Xvfb; display() is empty when it could not start.
    XvfbServer(const std::filesystem::path& xvfb, int width = 1600, int height = 1000);
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;
    const std::string& display() const { return m_display; }

private:
    pid_t m_pid = -1;
    std::string m_display;
};

// A child process in its own process group (so its helpers end with it).
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                 const std::filesystem::path& output);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // The exit status once it ended (waits up to `limit_ms`), nothing while it runs.
    std::optional<int> wait_exit(int limit_ms);
    bool running();
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    std::optional<int> m_status;
};

}  // namespace termiva::testing
