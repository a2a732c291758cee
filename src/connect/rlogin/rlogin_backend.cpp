#include "connect/rlogin/rlogin_backend.h"

#include <cctype>
#include <chrono>
#include <thread>

namespace termiva {

namespace {

constexpr unsigned char CTL_FLUSH = 0x02, CTL_RAW = 0x10, CTL_COOKED = 0x20, CTL_WINDOW = 0x80;
constexpr char XOFF = 0x13, XON = 0x11;

// Of a refusal's reason, what is read: a status line shows no more (it is cut later).
constexpr std::size_t MAX_REASON_BYTES = 2048;

std::string printable(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\r' || c == '\n') break;
        if (static_cast<unsigned char>(c) >= 0x20) out.push_back(c);
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

}  // namespace

RloginBackend::RloginBackend(Options options)
    : m_options(std::move(options)),
      m_writer(m_wake),
      m_rows(m_options.term_height),
      m_cols(m_options.term_width) {}

RloginBackend::~RloginBackend() {
    SocketFd fd = m_fd.exchange(NO_SOCKET);
    if (fd != NO_SOCKET) platform::close_socket(fd);
}

std::string RloginBackend::handshake(const Options& o) {
    std::string speed = o.term_speed.substr(0, o.term_speed.find(','));
    bool numeric = !speed.empty();
    for (char c : speed)
        numeric = numeric && std::isdigit(static_cast<unsigned char>(c));
    if (!numeric) speed = "38400";
    std::string h(1, '\0');
    h += o.local_username;
    h.push_back('\0');
    h += o.remote_username;
    h.push_back('\0');
    h += o.term_type + "/" + speed;
    h.push_back('\0');
    return h;
}

void RloginBackend::connect() {
    if (m_closed) throw BackendError("closed");
    SocketFd fd = tcp_connect(
        m_options.host, m_options.port, m_options.ip_family, m_options.timeout, m_wake,
        [this](SocketFd s, int family) { m_reserved = platform::bind_reserved_port(s, family); });
    m_fd = fd;
    m_writer.set_fd(fd);
    m_writer.write(handshake(m_options));

    // The server answers with one zero byte, or with 1 and a reason.
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(static_cast<long>(m_options.timeout * 1000));
    std::string got;
    bool ended = false;
    auto wait_more = [&](std::chrono::steady_clock::time_point until) {
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            platform::SocketReady seen =
                platform::wait_socket(fd, platform::SocketWant::read_or_urgent, m_wake,
                                      left.count() > 0 ? static_cast<int>(left.count()) : 0);
            if (seen.woken) throw BackendError("cancelled");
            if (!seen.ready && !seen.urgent) return false;
            if (seen.urgent) read_urgent();
            if (!seen.ready) continue;
            char buf[4096];
            platform::SocketIo io = platform::recv_some(fd, buf, sizeof buf);
            if (io.status == platform::SocketIo::done) {
                got.append(buf, io.bytes);
                return true;
            }
            if (io.status == platform::SocketIo::would_block) continue;
            ended = true;
            return false;
        }
    };
    if (!wait_more(deadline)) {
        if (!ended) throw BackendError("no answer from the server");
        throw BackendError(m_reserved ? "the server closed the connection"
                                      : "the server closed the connection (no reserved local "
                                        "port could be bound; the server may demand one)");
    }
    if (got[0] != '\0') {
        // Let the reason arrive whole (bounded: a second at most).
        auto until = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::seconds(1));
        // And no more of it than a status line shows (a refusal without end is cut there).
        while (got.find('\n') == std::string::npos && got.size() <= MAX_REASON_BYTES && !ended &&
               wait_more(until)) {
        }
        std::string reason = printable(std::string_view(got).substr(1));
        throw BackendError(reason.empty() ? "the server refused the login" : reason);
    }
    std::lock_guard lock(m_lock);
    m_early = got.substr(1);
}

void RloginBackend::read_urgent() {
    char b = 0;
    platform::SocketIo io = platform::recv_some(m_fd, &b, 1, true);
    if (io.status == platform::SocketIo::done) control_byte(static_cast<unsigned char>(b));
}

std::string RloginBackend::window_message() {
    auto put16 = [](std::string& s, int v) {
        s.push_back(static_cast<char>((v >> 8) & 0xff));
        s.push_back(static_cast<char>(v & 0xff));
    };
    std::string m("\xff\xffss", 4);
    put16(m, m_rows);
    put16(m, m_cols);
    put16(m, 0);  // pixel sizes: unknown
    put16(m, 0);
    return m;
}

void RloginBackend::control_byte(unsigned char b) {
    std::string window;
    {
        std::lock_guard lock(m_lock);
        if (b & CTL_WINDOW) {
            m_window_wanted = true;
            window = window_message();
        }
        if (b & CTL_RAW) {
            m_local_flow = false;
            m_stopped = false;
        }
        if (b & CTL_COOKED) m_local_flow = true;
        if (b & CTL_FLUSH) m_early.clear();
    }
    m_resumed.notify_all();
    if (!window.empty()) {
        try {
            m_writer.post(window);
        } catch (const BackendError&) {
            // The connection is ending; the read that follows reports it.
        }
    }
}

void RloginBackend::send(std::string_view data) {
    if (m_closed || m_fd == NO_SOCKET) throw BackendError("not connected");
    std::string out;
    {
        std::lock_guard lock(m_lock);
        if (!m_local_flow) {
            out.assign(data);
        } else {
            // The server asked us to handle ^S / ^Q here: they stop and start our output
            // and never reach it.
            out.reserve(data.size());
            for (char c : data) {
                if (c == XOFF)
                    m_stopped = true;
                else if (c == XON)
                    m_stopped = false;
                else
                    out.push_back(c);
            }
        }
    }
    m_resumed.notify_all();
    if (!out.empty()) m_writer.write(out);
}

std::string RloginBackend::recv(std::size_t bufsize) {
    for (;;) {
        {
            std::unique_lock lock(m_lock);
            m_resumed.wait(lock, [&] { return !m_stopped || m_closed; });
            if (m_closed) return {};
            if (!m_early.empty()) {
                std::string out = m_early.substr(0, bufsize);
                m_early.erase(0, out.size());
                return out;
            }
        }
        SocketFd fd = m_fd;
        if (fd == NO_SOCKET) return {};
        platform::SocketReady seen =
            platform::wait_socket(fd, platform::SocketWant::read_or_urgent, m_wake, -1);
        if (seen.woken) return {};
        if (seen.urgent) {
            read_urgent();
            if (!seen.ready) {
                // Urgent data noted but not yet here: do not spin on it.
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            continue;  // the control byte may have stopped output: look again
        }
        if (!seen.ready) continue;
        std::string buf(bufsize, '\0');
        platform::SocketIo io = platform::recv_some(fd, buf.data(), bufsize);
        if (io.status == platform::SocketIo::done) {
            buf.resize(io.bytes);
            // A ^S typed while we waited holds this chunk back too.
            std::lock_guard lock(m_lock);
            if (!m_stopped) return buf;
            m_early += buf;
            continue;
        }
        if (io.status == platform::SocketIo::would_block) continue;
        m_closed = true;
        return {};
    }
}

void RloginBackend::resize(int rows, int cols) {
    std::string window;
    {
        std::lock_guard lock(m_lock);
        m_rows = rows < 0 ? 0 : rows > 65535 ? 65535 : rows;
        m_cols = cols < 0 ? 0 : cols > 65535 ? 65535 : cols;
        if (m_window_wanted) window = window_message();
    }
    if (!window.empty() && !m_closed && m_fd != NO_SOCKET) m_writer.write(window);
}

void RloginBackend::close() {
    m_closed = true;
    m_wake.signal();
    {
        std::lock_guard lock(m_lock);  // a reader between its check and its wait must see it
    }
    m_resumed.notify_all();
    SocketFd fd = m_fd.load();
    if (fd != NO_SOCKET) platform::shutdown_socket(fd);
}

}  // namespace termiva
