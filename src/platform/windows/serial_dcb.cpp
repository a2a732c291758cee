#include "platform/windows/serial_dcb.h"

#include <string>

namespace termiva::platform::windows {

namespace {

std::string trimmed_upper(std::string_view text) {
    std::size_t b = 0, e = text.size();
    while (b < e && (text[b] == ' ' || text[b] == '\t'))
        ++b;
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t'))
        --e;
    std::string out(text.substr(b, e - b));
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

}  // namespace

DCB dcb_from_settings(const DCB& base, const SerialSettings& s) {
    const std::string& port = s.port;
    DCB d = base;
    d.DCBlength = sizeof d;
    if (s.baudrate <= 0)
        throw SerialError("Baud rate " + std::to_string(s.baudrate) + " is not valid for " + port);
    if (s.bytesize < 5 || s.bytesize > 8)
        throw SerialError("Data bits " + std::to_string(s.bytesize) + " are not valid for " + port +
                          " (use 5, 6, 7 or 8)");

    const std::string parity = trimmed_upper(s.parity);
    BYTE parity_code = NOPARITY;
    if (parity.empty() || parity == "N" || parity == "NONE") {
        parity_code = NOPARITY;
    } else if (parity == "E" || parity == "EVEN") {
        parity_code = EVENPARITY;
    } else if (parity == "O" || parity == "ODD") {
        parity_code = ODDPARITY;
    } else if (parity == "M" || parity == "MARK") {
        parity_code = MARKPARITY;
    } else if (parity == "S" || parity == "SPACE") {
        parity_code = SPACEPARITY;
    } else {
        throw SerialError("Parity \"" + s.parity + "\" is not valid for " + port +
                          " (use N, E, O, M or S)");
    }

    const std::string stop = trimmed_upper(s.stopbits);
    bool more_than_one = false;
    if (stop.empty() || stop == "1" || stop == "1.0") {
        more_than_one = false;
    } else if (stop == "1.5" || stop == "2" || stop == "2.0") {
        more_than_one = true;
    } else {
        throw SerialError("Stop bits \"" + s.stopbits + "\" are not valid for " + port +
                          " (use 1, 1.5 or 2)");
    }

    d.BaudRate = static_cast<DWORD>(s.baudrate);
    d.ByteSize = static_cast<BYTE>(s.bytesize);
    d.Parity = parity_code;
    // Drivers refuse 1.5 stop bits with more than 5 data bits and 2 with 5; a UART asked
    // for "more than one" sends exactly these, as on Linux.
    d.StopBits = more_than_one ? (s.bytesize == 5 ? ONE5STOPBITS : TWOSTOPBITS) : ONESTOPBIT;
    d.fBinary = TRUE;
    d.fParity = parity_code != NOPARITY;
    d.fErrorChar = FALSE;
    d.fNull = FALSE;
    d.fAbortOnError = FALSE;
    d.fDsrSensitivity = FALSE;

    d.fOutX = d.fInX = s.xonxoff ? TRUE : FALSE;
    d.fTXContinueOnXoff = TRUE;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    d.XonLim = 2048;
    d.XoffLim = 512;

    d.fOutxCtsFlow = s.rtscts ? TRUE : FALSE;
    d.fRtsControl = s.rtscts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    // DSR/DTR: output waits for DSR; DTR is held high rather than toggled by the driver.
    d.fOutxDsrFlow = s.dsrdtr ? TRUE : FALSE;
    d.fDtrControl = DTR_CONTROL_ENABLE;
    return d;
}

}  // namespace termiva::platform::windows
