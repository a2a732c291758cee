#include "app/serial/serial_line.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/log.h"

namespace termiva {

std::string escape_bytes(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

std::string SerialTabLine::recv(std::size_t bufsize) {
    for (int errors = 0;;) {
        try {
            std::string data = m_port->read(std::min(bufsize, READ_BYTES));
            m_received += data.size();
            if (m_received <= LOGGED_BYTES) {
                log::info("serial", "read " + std::to_string(data.size()) + " bytes (total " +
                                        std::to_string(m_received) +
                                        "): " + escape_bytes(std::string_view(data).substr(0, 64)));
            }
            return data;
        } catch (const platform::SerialError& e) {
            if (!m_port->is_open()) return {};
            ++errors;
            log::warn("serial", "read err #" + std::to_string(errors) + ": " + e.what());
            if (errors > ERROR_LIMIT) {
                log::warn("serial", "too many errors, will try to reopen");
                return {};
            }
            // Timed on purpose: an error on a port that stays open announces nothing when
            // it clears; a close ends the next read at once.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
}

}  // namespace termiva
