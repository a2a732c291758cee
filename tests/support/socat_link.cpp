#include "support/socat_link.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <vector>

namespace termiva::testing {

SocatLink::SocatLink(std::filesystem::path socat, std::filesystem::path a, std::filesystem::path b)
    : m_socat(std::move(socat)), m_a(std::move(a)), m_b(std::move(b)) {}

SocatLink::~SocatLink() {
    stop();
}

bool SocatLink::start(std::chrono::milliseconds wait) {
    if (m_pid > 0) return true;
    std::error_code ec;
    std::filesystem::remove(m_a, ec);
    std::filesystem::remove(m_b, ec);
    const std::string a = "pty,raw,echo=0,link=" + m_a.string();
    const std::string b = "pty,raw,echo=0,link=" + m_b.string();
    const std::string prog = m_socat.string();
    m_pid = ::fork();
    if (m_pid == 0) {
        const int devnull = ::open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            ::dup2(devnull, STDOUT_FILENO);
            ::dup2(devnull, STDERR_FILENO);
        }
        ::execl(prog.c_str(), prog.c_str(), a.c_str(), b.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (m_pid < 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < deadline) {
        if (std::filesystem::exists(m_a, ec) && std::filesystem::exists(m_b, ec)) return true;
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void SocatLink::stop() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
    }
    std::error_code ec;
    std::filesystem::remove(m_a, ec);
    std::filesystem::remove(m_b, ec);
}

TtyEnd::TtyEnd(const std::filesystem::path& path) {
    m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) return;
    termios tio{};
    if (::tcgetattr(m_fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(m_fd, TCSANOW, &tio);
    }
}

TtyEnd::~TtyEnd() {
    if (m_fd >= 0) ::close(m_fd);
}

bool TtyEnd::write_all(std::string_view bytes, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() > deadline) return false;
        pollfd p{m_fd, POLLOUT, 0};
        ::poll(&p, 1, 20);
    }
    return true;
}

std::string TtyEnd::read_some(std::size_t count, std::chrono::milliseconds timeout) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<char> buf(65536);
    while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        const ssize_t n = ::read(m_fd, buf.data(), std::min(buf.size(), count - out.size()));
        if (n > 0) out.append(buf.data(), static_cast<std::size_t>(n));
        if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    }
    return out;
}

std::string TtyEnd::read_until(std::string_view needle, std::chrono::milliseconds timeout) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[4096];
    while (out.find(needle) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        const ssize_t n = ::read(m_fd, buf, sizeof buf);
        if (n > 0) out.append(buf, static_cast<std::size_t>(n));
        if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    }
    return out;
}

}  // namespace termiva::testing
