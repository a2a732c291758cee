// A serial cable stand-in that can be unplugged and plugged back: a socat pty pair whose
// two ends appear as links at fixed paths, killed and restarted on demand.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>

namespace termiva::testing {

class SocatLink {
public:
    // Does not start socat yet; `a` is the end the program under test opens, `b` the
    // test's end.
    SocatLink(std::filesystem::path socat, std::filesystem::path a, std::filesystem::path b);
    ~SocatLink();
    SocatLink(const SocatLink&) = delete;
    SocatLink& operator=(const SocatLink&) = delete;

    // Starts socat and waits (bounded) until both links exist; false when they did not.
    bool start(std::chrono::milliseconds wait = std::chrono::seconds(3));
    // Ends socat (SIGKILL, as an unplugged cable gives no warning) and removes the links it
    // leaves behind.
    void stop();
    bool running() const { return m_pid > 0; }

    const std::filesystem::path& a() const { return m_a; }
    const std::filesystem::path& b() const { return m_b; }

private:
    std::filesystem::path m_socat, m_a, m_b;
    pid_t m_pid = -1;
};

// One opened end of a link in raw mode, read and written directly by the test.
class TtyEnd {
public:
    explicit TtyEnd(const std::filesystem::path& path);
    ~TtyEnd();
    TtyEnd(const TtyEnd&) = delete;
    TtyEnd& operator=(const TtyEnd&) = delete;

    bool is_open() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    bool write_all(std::string_view bytes,
                   std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Reads until `count` bytes arrived or the time ran out; returns what arrived.
    std::string read_some(std::size_t count, std::chrono::milliseconds timeout);
    // Reads until `needle` arrived or the time ran out; returns everything read.
    std::string read_until(std::string_view needle, std::chrono::milliseconds timeout);

private:
    int m_fd = -1;
};

}  // namespace termiva::testing
