#include "integration/gui_xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace termiva::testing {

namespace {

void stop_group(pid_t pid) {
    if (pid <= 0) return;
    ::kill(-pid, SIGTERM);
    for (int i = 0; i < 50; ++i) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

}  // namespace

XvfbServer::XvfbServer(const std::filesystem::path& xvfb, int width, int height) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    m_pid = ::fork();
    if (m_pid == 0) {
        ::setpgid(0, 0);
        ::close(fds[0]);
        int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(devnull, STDOUT_FILENO);
        ::dup2(devnull, STDERR_FILENO);
        std::string fd = std::to_string(fds[1]);
        ::execl(xvfb.c_str(), "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(),
                "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    // Xvfb writes its display number once it accepts clients.
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (::poll(&p, 1, 100) <= 0) continue;
        char c;
        ssize_t n = ::read(fds[0], &c, 1);
        if (n <= 0) break;
        if (c == '\n') break;
        number += c;
    }
    ::close(fds[0]);
    if (!number.empty()) m_display = ":" + number;
}

XvfbServer::~XvfbServer() {
    stop_group(m_pid);
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& env,
                           const std::filesystem::path& output) {
    m_pid = ::fork();
    if (m_pid == 0) {
        ::setpgid(0, 0);
        int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out >= 0) {
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
        }
        for (const auto& e : env)
            ::putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
}

ChildProcess::~ChildProcess() {
    if (!m_status) stop_group(m_pid);
}

std::optional<int> ChildProcess::wait_exit(int limit_ms) {
    if (m_status) return m_status;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    do {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return m_status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
}

bool ChildProcess::running() {
    return !wait_exit(0).has_value();
}

SessionBus::SessionBus(const std::filesystem::path& dbus_daemon) {
    char folder[] = "/tmp/termiva-bus-XXXXXX";
    if (!::mkdtemp(folder)) return;
    m_dir = folder;
    const auto output = m_dir / "address";
    m_daemon = std::make_unique<ChildProcess>(
        std::vector<std::string>{dbus_daemon.string(), "--session", "--nofork", "--nosyslog",
                                 "--print-address=1"},
        std::vector<std::string>{}, output);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline && m_daemon->running()) {
        std::ifstream in(output);
        std::string line;
        if (std::getline(in, line) && line.find(':') != std::string::npos) {
            m_address = line;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

SessionBus::~SessionBus() {
    m_daemon.reset();
    std::error_code ignored;
    if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ignored);
}

}  // namespace termiva::testing
