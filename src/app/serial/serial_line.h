// A serial tab's connection as every tab holds one (`backend`, kind "serial"): keystrokes,
// transfer bytes, closing and the tab's reader reach the platform's serial port through it
// without knowing it is one. The ESP tools reach the port itself through port().
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "connect/backend.h"
#include "platform/serial_port.h"

namespace termiva {

class SerialTabLine : public Backend {
public:
    // More consecutive failed reads than this on a port that stays open, and its stream
    // ends (the serial tab then closes the port and opens it again).
    static constexpr int ERROR_LIMIT = 30;
    // Received bytes go to the diagnostics until this many have arrived.
    static constexpr std::size_t LOGGED_BYTES = 4096;
    // A read asks for at most this much: where a port's read ends only at a pause in the
    // line or a full buffer (Windows' interval time-out), a larger buffer would hold a
    // steady stream back from the screen for as long as it takes to fill.
    static constexpr std::size_t READ_BYTES = 4096;

    explicit SerialTabLine(std::shared_ptr<platform::SerialPort> port) : m_port(std::move(port)) {}

    // The port is open from construction on.
    void connect() override {}
    void send(std::string_view data) override { m_port->write(data); }
    // The next bytes; "" once the port is closed or gone, or keeps failing (the contract's
    // end of stream). A read error on a port still open is tried again.
    std::string recv(std::size_t bufsize) override;
    bool is_closed() const override { return !m_port->is_open(); }
    void resize(int, int) override {}
    bool takes_size() const override { return false; }
    void close() override { m_port->close(); }

    const std::shared_ptr<platform::SerialPort>& port() const { return m_port; }

private:
    std::shared_ptr<platform::SerialPort> m_port;
    // Only the reader calls recv(): no lock.
    std::size_t m_received = 0;
};

// Bytes as the diagnostic lines show them: printable ASCII as it is, \r \n \t, and \xHH
// for everything else.
std::string escape_bytes(std::string_view bytes);

}  // namespace termiva
