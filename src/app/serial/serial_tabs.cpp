#include "app/serial/serial_tabs.h"

#include <chrono>
#include <sstream>
#include <thread>

#include "app/json_values.h"
#include "app/serial/serial_line.h"
#include "platform/log.h"

namespace termiva {

namespace {

void diag(const std::string& line) {
    log::info("serial", line);
}
void diag_warn(const std::string& line) {
    log::warn("serial", line);
}

// Which thread, so a log shows whether open and reads ran where they should; the threads
// carry no names of their own.
std::string thread_name() {
    std::ostringstream id;
    id << std::this_thread::get_id();
    return id.str();
}

std::string trim(std::string s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.back()))
        s.pop_back();
    std::size_t b = 0;
    while (b < s.size() && blank(s[b]))
        ++b;
    return s.substr(b);
}

std::string com_of(const Session& sess) {
    return trim(sess.host.value_or(""));
}

// The tab's session now (a save may replace it while the port is away).
SessionPtr session_of(const Tab& tab) {
    static const SessionPtr none = std::make_shared<const Session>(nlohmann::json());
    std::lock_guard lock(tab.lock);
    return tab.session ? tab.session : none;
}

std::shared_ptr<text::Decoder> fresh_decoder(const std::string& encoding) {
    return text::decoder_or_utf8(encoding);
}

}  // namespace

std::shared_ptr<platform::SerialPort> port_of(const Tab& tab) {
    if (tab.backend_kind != "serial") return nullptr;
    if (auto line = std::dynamic_pointer_cast<SerialTabLine>(tab.backend)) return line->port();
    return nullptr;
}

platform::SerialSettings SerialTabs::settings_of(const Session& sess) {
    platform::SerialSettings s;
    s.port = com_of(sess);
    s.baudrate = sess.line_rate.or_default(9600);
    s.bytesize = sess.serial_bits.or_default(8);
    s.parity = sess.serial_parity.value_or("N");
    s.stopbits = sess.serial_stop.value_or("1");
    const std::string flow = text_or(sess.serial_flow, "N");
    s.xonxoff = flow == "X";
    s.rtscts = flow == "R";
    s.dsrdtr = flow == "D";
    return s;
}

SerialTabs::Opened SerialTabs::_serial_open(
    const Session& sess, const std::optional<platform::RememberedAdapter>& remembered) {
    platform::SerialSettings s = settings_of(sess);
    Opened out{nullptr, s.port, s.baudrate};
    // A USB adapter unplugged and plugged back may come back under another number; its
    // serial number (or by-id link) tells where it went.
    const std::string device = platform::port_to_reopen(s.port, remembered);
    if (device != s.port) {
        diag(s.port + " came back as " + device + " (same USB device)");
        s.port = device;
    }
    out.port = std::make_shared<platform::SerialPort>(s);
    return out;
}

bool SerialTabs::tab_present(const TabPtr& tab) const {
    return !m_host.stopping() && !tab->closed();
}

bool SerialTabs::adopt(const TabPtr& tab, const std::shared_ptr<platform::SerialPort>& port) {
    std::string encoding;
    {
        std::lock_guard lock(tab->lock);
        encoding = tab->encoding;
    }
    auto decoder = fresh_decoder(encoding);
    const bool adopted = tab->move_to(TabState::connected, [&](Tab& t) {
        t.backend = std::make_shared<SerialTabLine>(port);
        t.backend_kind = "serial";
        t.decoder = std::move(decoder);
    });
    // The tab went while the port was opening: nothing may keep the port open.
    if (!adopted) port->close();
    return adopted;
}

std::optional<platform::RememberedAdapter> SerialTabs::remembered_adapter(
    const std::string& tab_id) {
    std::lock_guard lock(m_lock);
    auto it = m_adapters.find(tab_id);
    if (it == m_adapters.end()) return std::nullopt;
    return it->second;
}

void SerialTabs::remember_adapter(const std::string& tab_id, const std::string& session_port,
                                  const std::string& device) {
    auto identity = platform::usb_identity_of(device);
    std::lock_guard lock(m_lock);
    if (identity) {
        m_adapters[tab_id] = platform::RememberedAdapter{session_port, *identity};
    } else {
        m_adapters.erase(tab_id);  // a port without one: nothing of an earlier port applies
    }
}

void SerialTabs::forget_adapter(const std::string& tab_id) {
    std::lock_guard lock(m_lock);
    m_adapters.erase(tab_id);
}

void SerialTabs::_start_serial_impl(const std::string& tab_id, const Session& sess,
                                    const TabPtr& tab) {
    const std::string com = com_of(sess);
    if (com.empty()) {
        tab->move_to(TabState::failed);
        m_host.push_info(tab_id, m_host.translate("err.fill_com_port"), true);
        return;
    }
    const int baud = sess.line_rate.or_default(9600);
    std::string encoding;
    {
        std::lock_guard lock(tab->lock);
        encoding = tab->encoding;
    }
    const platform::SerialSettings wanted = settings_of(sess);
    diag("opening " + com + " @ " + std::to_string(baud) +
         " bps  bits=" + (sess.serial_bits.text.empty() ? "8" : sess.serial_bits.text) +
         " parity=" + wanted.parity + " stop=" + wanted.stopbits +
         " flow=" + text_or(sess.serial_flow, "N") + " encoding=" + encoding + " (" +
         platform::serial_backend_name + " backend)");
    m_host.push_info(tab_id, m_host.translate("info.serial_opening",
                                              {{"com", com}, {"baud", std::to_string(baud)}}));

    Opened opened;
    try {
        opened = _serial_open(sess);
    } catch (const std::exception& e) {
        // Every way an open can fail (a missing device, a busy one, a setting no UART has)
        // is a line in the tab and a retry, never an escaping failure.
        diag_warn(std::string("open failed: ") + e.what());
        {
            std::lock_guard lock(tab->lock);
            tab->backend.reset();
            tab->backend_kind = "serial";
            tab->decoder = fresh_decoder(tab->encoding);
        }
        // Failed before the line says so: whoever reads the failure and then asks for the
        // tab's state must not find it still alive.
        tab->move_to(TabState::failed);
        m_host.push_info(tab_id, m_host.translate("err.serial_open_fail", {{"err", e.what()}}),
                         true);
        m_host.push_connected(tab_id);
        _serial_reader_loop(tab_id);
        return;
    }
    diag(com + " open OK (handle=" + std::to_string(opened.port->handle()) +
         ") thread=" + thread_name());
    if (!adopt(tab, opened.port)) return;
    remember_adapter(tab_id, com, opened.port->name());
    m_host.push_connected(tab_id);
    m_host.push_text(
        tab_id, m_host.translate("info.serial_connected",
                                 {{"com", opened.com}, {"baud", std::to_string(opened.baud)}}));
    _serial_reader_loop(tab_id);
}

void SerialTabs::_serial_reader_loop(const std::string& tab_id) {
    TabPtr tab = m_host.find_tab(tab_id);
    if (!tab) return;
    const SessionPtr sess = session_of(*tab);
    // The port the lines name: the one open, or last open.
    std::string com = com_of(*sess);
    int baud = sess->line_rate.or_default(9600);
    diag("reader loop started for tab " + tab_id + " (thread=" + thread_name() + ")");

    while (tab_present(tab)) {
        std::shared_ptr<Backend> line;
        {
            std::lock_guard lock(tab->lock);
            if (port_of(*tab)) line = tab->backend;
        }
        if (!line || line->is_closed()) {
            if (!_serial_wait_reopen(tab_id, tab, com, baud)) break;
            continue;
        }
        // Until the port goes away or the tab closes.
        m_host.read_stream(tab, *line);
        {
            std::lock_guard lock(tab->lock);
            if (tab->backend == line) tab->backend.reset();
        }
        try {
            line->close();
        } catch (const std::exception& e) {
            diag_warn(std::string("close failed: ") + e.what());
        }
    }
    diag("reader loop ended");
    forget_adapter(tab_id);
    // Nothing if the tab is closed already.
    tab->move_to(TabState::ended);
}

bool SerialTabs::_serial_wait_reopen(const std::string& tab_id, const TabPtr& tab, std::string& com,
                                     int& baud) {
    // Not alive while the port is away: the page shows the session offline.
    tab->move_to(TabState::reconnecting);
    m_host.push_info(tab_id, m_host.translate("info.serial_disconnect", {{"com", com}}));
    const auto remembered = remembered_adapter(tab_id);
    int attempt = 0;
    while (tab_present(tab)) {
        ++attempt;
        // Read at every attempt: a port or speed edited meanwhile is what opens.
        const SessionPtr sess = session_of(*tab);
        Opened opened;
        try {
            opened = _serial_open(*sess, remembered);
        } catch (const std::exception& e) {
            if (attempt <= 3 || attempt % 10 == 0)
                diag_warn("reopen attempt #" + std::to_string(attempt) + " failed: " + e.what());
            // Timed on purpose: the device coming back announces nothing, so the reopen is
            // tried on a clock; closing the tab ends the wait at once.
            if (tab->wait_closed(std::chrono::seconds(2)) || !tab_present(tab)) return false;
            continue;
        }
        if (!adopt(tab, opened.port)) return false;
        if (!remembered || remembered->session_port != opened.com)
            remember_adapter(tab_id, opened.com, opened.port->name());
        diag("reopen OK (handle=" + std::to_string(opened.port->handle()) + ") after " +
             std::to_string(attempt) + " attempts");
        com = opened.com;
        baud = opened.baud;
        m_host.push_info(tab_id, m_host.translate("info.serial_reconnected",
                                                  {{"com", com}, {"baud", std::to_string(baud)}}));
        return true;
    }
    return false;
}

Json SerialTabs::list_serial_ports() {
    Json out = Json::array();
    for (const auto& p : platform::list_serial_ports()) {
        out.push_back(Json{{"device", p.device},
                           {"by_id", p.by_id},
                           {"description", p.description},
                           {"vid", p.vid},
                           {"pid", p.pid},
                           {"serial_number", p.serial_number},
                           {"manufacturer", p.manufacturer},
                           {"product", p.product}});
    }
    return out;
}

}  // namespace termiva
