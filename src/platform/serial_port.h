// A local serial line (USB adapter, on-board UART, the USB-Serial/JTAG port of a chip):
// opened exclusively, configured from the session's settings, read by one thread that
// sleeps until bytes arrive, and with the modem lines that reset ESP boards into their
// bootloader.
//
// What every platform's implementation keeps (Linux: poll on the port and an eventfd;
// Windows: overlapped I/O, and CancelIoEx from close()):
// - read() has no time-out. It returns as soon as at least one byte is there, and wakes
//   for nothing else: an idle line costs no CPU.
// - close() may be called from any thread, any number of times. A read or write blocked
//   in another thread returns at once (throwing SerialError), and close() returns only
//   after they let go of the device, so the device is never closed under them.
// - A device that vanishes (unplugged adapter, reset USB-Serial/JTAG port) ends a
//   blocked read at once with SerialError, and is_open() is false from then on.
// - One reader and any number of writers may use the port at the same time.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace termiva::platform {

// Every failure of a serial line; the text names the port and is fit to show the user.
class SerialError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct SerialSettings {
    std::string port;            // "/dev/ttyUSB0"; a bare "ttyUSB0" means /dev/ttyUSB0
    int baudrate = 9600;         // any rate the driver accepts, also 74880 or 921600
    int bytesize = 8;            // 5 to 8
    std::string parity = "N";    // N, E, O, M or S (case-insensitive; also the full words)
    std::string stopbits = "1";  // "1", "1.5" or "2"
    bool xonxoff = false;
    bool rtscts = false;
    bool dsrdtr = false;  // output paused while DSR is low; DTR held high
};

// The implementation's name for the diagnostic log: "termios" or "Win32Serial".
extern const char* const serial_backend_name;

// The path a port name stands for: names without a slash live in /dev.
std::filesystem::path serial_device_path(std::string_view port);

class SerialPort {
public:
    // Opens and configures the port; throws SerialError (missing, busy, not a serial
    // device, a setting the device refuses).
    explicit SerialPort(const SerialSettings& settings);
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // The bytes that arrived, at most `max` and at least one (none only for max == 0);
    // waits as long as it takes. Throws SerialError when the port failed or vanished
    // (is_open() is false after that) or was closed, also while it waits.
    std::string read(std::size_t max);
    // Writes every byte; throws SerialError when the port fails, is closed, or the line
    // stays blocked (flow control) for kWriteStall.
    void write(std::string_view data);
    // False once close() was called or the device went away.
    bool is_open() const;
    // Makes a read or write in another thread return at once; idempotent.
    void close();
    // The descriptor, for diagnostic lines only; -1 once closed.
    long long handle() const;
    const std::string& name() const;  // the port as the settings named it

    // ESP boards: restart the application (pulse on EN through RTS), the classic
    // two-transistor entry into the ROM download mode, and the entry through the chip's
    // own USB-Serial/JTAG port. Throw SerialError when the device has no modem lines.
    void hard_reset();
    void enter_bootloader();
    void enter_bootloader_usb_jtag();
    // Sets DTR and RTS together (true = asserted); throws SerialError like the above.
    void set_modem_lines(bool dtr, bool rts);
    // Changes the line's speed after what was written has left; the other settings stay.
    // Throws SerialError when the port is closed or the driver refuses the speed.
    void set_baudrate(int baudrate);

    static constexpr std::chrono::seconds kWriteStall{10};

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

// One port that exists now, as the port drop-down shows it.
struct SerialPortInfo {
    std::string device;       // "/dev/ttyUSB0"
    std::string by_id;        // "/dev/serial/by-id/usb-…-if00-port0", or empty
    std::string description;  // "CP2102N USB to UART Bridge (10c4:ea60, serial 0001)"
    std::string vid, pid;     // four hex digits each, empty for non-USB ports
    std::string serial_number, manufacturer, product;
    int interface_number = -1;  // USB interface of the port, -1 when unknown
};

// Ports under `root` ("/" normally; tests pass a fake tree holding sys/ and dev/):
// USB adapters and ACM devices, and on-board UARTs that have a real chip behind them.
// Sorted by device name; never throws.
std::vector<SerialPortInfo> list_serial_ports(const std::filesystem::path& root = "/");

// What identifies a USB serial port across re-plugging.
struct UsbIdentity {
    std::string vid, pid, serial_number;
    int interface_number = -1;
    std::string by_id;  // the by-id link that pointed at the device, if any
};

// The USB identity of `port` (a device path or a by-id link) as it is now, or nothing
// for a port that does not exist or is not a USB device with a serial number.
std::optional<UsbIdentity> usb_identity_of(std::string_view port,
                                           const std::filesystem::path& root = "/");

// The device that has `identity` now (by its by-id link first, then by vendor, product,
// serial number and interface), or nothing.
std::optional<std::string> find_usb_port(const UsbIdentity& identity,
                                         const std::filesystem::path& root = "/");

// A USB adapter remembered when a session's port opened: the port as the session named it
// and the identity of the device behind it.
struct RememberedAdapter {
    std::string session_port;
    UsbIdentity identity;
};

// The device to open when a session's `port` is opened again: where the remembered adapter
// answers now, when it was remembered for this very port and another device (or none)
// holds that name; otherwise `port` itself. A session whose port was changed while the
// device was away opens the port the user chose, never the adapter it used to have.
std::string port_to_reopen(const std::string& port,
                           const std::optional<RememberedAdapter>& remembered,
                           const std::filesystem::path& root = "/");

}  // namespace termiva::platform
