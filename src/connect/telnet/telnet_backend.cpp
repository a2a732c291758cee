#include "connect/telnet/telnet_backend.h"

#include "platform/log.h"

namespace termiva {

namespace {

telnet::Options engine_options(const TelnetBackend::Options& o) {
    telnet::Options e;
    e.term_type = o.term_type;
    e.term_speed = o.term_speed;
    e.width = o.term_width;
    e.height = o.term_height;
    e.passive = o.passive;
    e.rfc_environ = o.rfc_environ;
    e.username = o.username;
    e.environment = o.environment;
    e.com_port_control = o.com_port_control;
    e.com = {o.com_baud, o.com_bits, o.com_parity, o.com_stop, o.com_flow};
    return e;
}

}  // namespace

TelnetBackend::TelnetBackend(Options options)
    : m_options(std::move(options)), m_engine(engine_options(m_options)), m_writer(m_wake) {}

TelnetBackend::~TelnetBackend() {
    SocketFd fd = m_fd.exchange(NO_SOCKET);
    if (fd != NO_SOCKET) platform::close_socket(fd);
}

void TelnetBackend::connect() {
    if (m_closed) throw BackendError("closed");
    m_fd =
        tcp_connect(m_options.host, m_options.port, m_options.ip_family, m_options.timeout, m_wake);
    m_writer.set_fd(m_fd);
    std::string offers;
    {
        std::lock_guard lock(m_engine_lock);
        m_engine.start(offers);
    }
    if (!offers.empty()) m_writer.write(offers);
}

void TelnetBackend::send(std::string_view data) {
    if (m_closed || m_fd == NO_SOCKET) throw BackendError("not connected");
    std::string wire;
    {
        std::lock_guard engine(m_engine_lock);
        m_engine.encode(data, wire);
    }
    m_writer.write(wire);
}

std::string TelnetBackend::recv(std::size_t bufsize) {
    std::string data, reply;
    std::vector<telnet::Event> events;
    while (data.empty()) {
        if (m_closed || m_fd == NO_SOCKET) return {};
        std::string raw = read_some(m_fd, bufsize, m_wake);
        if (raw.empty()) {
            m_closed = true;
            return {};
        }
        std::string error;
        {
            std::lock_guard lock(m_engine_lock);
            m_engine.receive(raw, data, reply, events);
            error = m_engine.last_protocol_error();
        }
        if (!error.empty() && error != m_reported_error) {
            m_reported_error = error;
            log::warn("telnet", "server broke the protocol: " + error);
        }
        if (!reply.empty()) {
            try {
                m_writer.post(reply);
            } catch (const BackendError&) {
                // The connection is going away; the next read reports its end.
            }
            reply.clear();
        }
        if (m_on_event) {
            for (const auto& e : events)
                m_on_event(e);
        }
        events.clear();
    }
    return data;
}

void TelnetBackend::resize(int rows, int cols) {
    std::string report;
    {
        std::lock_guard lock(m_engine_lock);
        m_engine.resize(rows, cols, report);
    }
    if (report.empty() || m_closed || m_fd == NO_SOCKET) return;
    m_writer.post(report);
}

void TelnetBackend::close() {
    // As for raw TCP: the descriptor lives until destruction so a polling reader never
    // sees a reused number.
    m_closed = true;
    m_wake.signal();
    SocketFd fd = m_fd.load();
    if (fd != NO_SOCKET) platform::shutdown_socket(fd);
}

bool TelnetBackend::local_enabled(unsigned char opt) const {
    std::lock_guard lock(m_engine_lock);
    return m_engine.local_enabled(opt);
}

bool TelnetBackend::remote_enabled(unsigned char opt) const {
    std::lock_guard lock(m_engine_lock);
    return m_engine.remote_enabled(opt);
}

bool TelnetBackend::com_settings_answered() const {
    std::lock_guard lock(m_engine_lock);
    return m_engine.com_settings_answered();
}

}  // namespace termiva
