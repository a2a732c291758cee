// Serial tabs: the starter that opens the session's port, and the reader that keeps the
// tab alive for as long as it is open, closing the port when the device goes away and
// opening it again (also under a new device name, when it is a USB adapter that came back
// re-numbered) every two seconds until it is back.
//
// Owns: the USB adapter each running reader remembers for its session's port (only for
// that port: a port the user changed while the device was away is opened as chosen). The port
// itself is the tab's backend (kind "serial"), guarded by the Tab's `lock` like every backend.
// Called from: connect threads (the starter, which becomes the tab's reader for the tab's
// whole life, reading through the host's one reader pipeline) and bridge workers (the
// port list).
// Lock: `m_lock`, a leaf guarding the identities only.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "app/bridge/bridge_table.h"
#include "app/tabs/tab.h"
#include "app/tabs/tab_host.h"
#include "platform/serial_port.h"

namespace termiva {

class SerialTabs {
public:
    explicit SerialTabs(TabHost& host) : m_host(host) {}
    // The page's serial operation (the port list).
    void register_ops(BridgeTable& table);

    // The port settings a session asks for, defaults and fallbacks applied.
    static platform::SerialSettings settings_of(const Session& sess);

    struct Opened {
        std::shared_ptr<platform::SerialPort> port;
        std::string com;
        int baud = 9600;
    };
    // Opens the port `sess` names (throws platform::SerialError). With `remembered`, an
    // adapter that left the session's port name is looked for under its new one.
    Opened _serial_open(const Session& sess,
                        const std::optional<platform::RememberedAdapter>& remembered = {});

    // Runs on the tab's connect thread for the tab's whole life.
    void _start_serial_impl(const std::string& tab_id, const Session& sess, const TabPtr& tab);
    void _serial_reader_loop(const std::string& tab_id);
    // `com` and `baud`: the port that went away, then the one opened again (the session's
    // now, which the user may have changed meanwhile).
    bool _serial_wait_reopen(const std::string& tab_id, const TabPtr& tab, std::string& com,
                             int& baud);

    // The page's port drop-down.
    static nlohmann::json list_serial_ports();

private:
    // False once the tab was closed or the application stops.
    bool tab_present(const TabPtr& tab) const;
    // Puts a freshly opened port into the tab (fresh decoder, connected); false, with the
    // port closed again, when the tab has been closed meanwhile.
    bool adopt(const TabPtr& tab, const std::shared_ptr<platform::SerialPort>& port);
    // The adapter behind the session's port when the tab last opened it; kept while the
    // tab's reader runs.
    std::optional<platform::RememberedAdapter> remembered_adapter(const std::string& tab_id);
    void remember_adapter(const std::string& tab_id, const std::string& session_port,
                          const std::string& device);
    void forget_adapter(const std::string& tab_id);

    TabHost& m_host;
    std::mutex m_lock;  // guards m_adapters
    std::map<std::string, platform::RememberedAdapter> m_adapters;
};

// The port of a serial tab's backend, or null (not a serial tab, or its port is away).
// The caller holds the tab's `lock`.
std::shared_ptr<platform::SerialPort> port_of(const Tab& tab);

}  // namespace termiva
