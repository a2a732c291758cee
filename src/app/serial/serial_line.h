// A serial tab's connection as every tab holds one (`backend`, kind "serial"): keystrokes,
// transfer bytes and closing reach the platform's serial port through it without knowing
// it is one. The serial reader and the ESP tools reach the port itself through port().
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "connect/backend.h"
#include "platform/serial_port.h"

namespace termiva {

class SerialTabLine : public Backend {
public:
    explicit SerialTabLine(std::shared_ptr<platform::SerialPort> port) : m_port(std::move(port)) {}

    // The port is open from construction on.
    void connect() override {}
    void send(std::string_view data) override { m_port->write(data); }
    // Not the serial reader's way in (it reads the port with its own error counting).
    std::string recv(std::size_t bufsize) override {
        try {
            return m_port->read(bufsize);
        } catch (const platform::SerialError&) {
            return {};  // closed or gone: the contract's end of stream
        }
    }
    bool is_closed() const override { return !m_port->is_open(); }
    void resize(int, int) override {}
    bool takes_size() const override { return false; }
    void close() override { m_port->close(); }

    const std::shared_ptr<platform::SerialPort>& port() const { return m_port; }

private:
    std::shared_ptr<platform::SerialPort> m_port;
};

}  // namespace termiva
