// How serial settings become a Linux termios2 record. Kept apart from the port itself so
// a test can check every combination: pseudo-terminals ignore data bits and parity, so
// only the mapping shows that those reach the driver.
#pragma once

#include <asm/termbits.h>

#include "platform/serial_port.h"

namespace termiva::platform::linux_serial {

// `base` with the line set raw (no echo, no translation, no signals) and the settings
// applied: speed (a standard Bxxx code when the rate has one, else BOTHER with the rate
// itself), data bits, parity (mark and space through CMSPAR), stop bits (1.5 is what a
// UART makes of CSTOPB with 5 data bits), XON/XOFF and RTS/CTS. Throws SerialError
// naming `settings.port` for a value no UART has.
termios2 apply_settings(const termios2& base, const SerialSettings& settings);

// The Bxxx code of a standard rate, or 0 when the rate needs BOTHER.
unsigned standard_speed_code(int baudrate);

}  // namespace termiva::platform::linux_serial
