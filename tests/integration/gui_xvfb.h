// Private servers for window tests: Xvfb on a display number it picks itself, and a
// session bus of their own.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
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

// A session bus for this test alone (dbus-daemon), so the toolkit's settings and file
// services neither reach the machine's session nor start one of their own.
class SessionBus {
public:
    // Starts dbus-daemon; address() is empty when it could not start.
    explicit SessionBus(const std::filesystem::path& dbus_daemon);
    ~SessionBus();
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;
    const std::string& address() const { return m_address; }

private:
    std::filesystem::path m_dir;
    std::unique_ptr<ChildProcess> m_daemon;
    std::string m_address;
};

}  // namespace termiva::testing
