// How serial settings become a Windows DCB. Kept apart from the port so a test can check
// every combination without a port: Wine's COM ports on pseudo-terminals drop most of it.
#pragma once

#include <windows.h>

#include "platform/serial_port.h"

namespace termiva::platform::windows {

// `base` (as GetCommState gave it) with the settings applied: binary mode, speed (any rate
// the driver takes), data bits, parity (mark and space too), stop bits (1.5 and 2 as a UART
// sends them: 1.5 with 5 data bits, 2 otherwise), XON/XOFF, RTS/CTS, DSR/DTR, and no abort
// on a line error (which would stop all I/O until the error is cleared). Throws SerialError
// naming `settings.port` for a value no UART has.
DCB dcb_from_settings(const DCB& base, const SerialSettings& settings);

}  // namespace termiva::platform::windows
