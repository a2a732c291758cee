// The serial line on Windows (`Win32Serial`): the COM port opened exclusively and
// overlapped, a DCB from the session's settings, and reads that wait for the first byte
// (COMMTIMEOUTS with only a short ReadIntervalTimeout) while
// the caller waits on the read's event and on the close event, so close() from another
// thread ends a blocked read or write at once (it also cancels them with CancelIoEx).
#include <windows.h>

#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "platform/serial_port.h"
#include "platform/utf8_path.h"
#include "platform/windows/serial_dcb.h"
#include "platform/windows/wide_text.h"
#include "platform/windows/win_error.h"

namespace termiva::platform {

namespace {

std::string trimmed(std::string_view text) {
    std::size_t b = 0, e = text.size();
    while (b < e && (text[b] == ' ' || text[b] == '\t'))
        ++b;
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t'))
        --e;
    return std::string(text.substr(b, e - b));
}

// Errors a USB adapter pulled out of its socket gives; the handle is of no more use.
bool is_vanished(DWORD err) {
    return err == ERROR_ACCESS_DENIED || err == ERROR_BAD_COMMAND || err == ERROR_DEVICE_REMOVED ||
           err == ERROR_GEN_FAILURE || err == ERROR_DEVICE_NOT_CONNECTED ||
           err == ERROR_INVALID_HANDLE || err == ERROR_FILE_NOT_FOUND ||
           err == ERROR_OPERATION_ABORTED;
}

// With no total read time-out, a read waits for its first byte without limit; the gap
// timer starts with that byte, and a pause this long after it ends the read with what
// came (a byte takes about 1 ms at 9600 bps).
constexpr DWORD kReadGapMs = 5;

struct Event {
    HANDLE h = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~Event() {
        if (h) ::CloseHandle(h);
    }
    Event() = default;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
};

}  // namespace

const char* const serial_backend_name = "Win32Serial";

std::filesystem::path serial_device_path(std::string_view port) {
    const std::string name = trimmed(port);
    // COM10 and above exist only in the device namespace; the prefix is right for all.
    if (name.rfind("\\\\.\\", 0) == 0 || name.find_first_of("\\/") != std::string::npos)
        return path_from_utf8(name);
    return path_from_utf8("\\\\.\\" + name);
}

struct SerialPort::Impl {
    std::string name;
    HANDLE port = INVALID_HANDLE_VALUE;
    Event close_event;
    DCB dcb{};  // as last set; modem lines change through it
    std::atomic<bool> closing{false};
    std::atomic<bool> lost{false};
    // Readers, writers and line changes hold it shared while they use `port`; close()
    // takes it exclusively, after waking them, so the handle is never closed under an I/O.
    std::shared_mutex life;
    std::mutex write_lock;  // one writer at a time: chunks of two threads never interleave
    std::mutex line_lock;   // guards dcb

    [[noreturn]] void fail_lost(const std::string& what) {
        lost = true;
        throw SerialError(name + " " + what);
    }
    [[noreturn]] void fail_closed() { throw SerialError(name + " is closed"); }

    // Waits for an overlapped transfer up to `limit`; returns the bytes moved. On the close
    // event or the limit the transfer is cancelled (what it moved meanwhile still counts);
    // `timed_out` says the limit ran out.
    DWORD finish(OVERLAPPED& ov, DWORD limit_ms, bool& timed_out, const char* what) {
        timed_out = false;
        HANDLE waits[2] = {ov.hEvent, close_event.h};
        const DWORD rc = ::WaitForMultipleObjects(2, waits, FALSE, limit_ms);
        if (rc != WAIT_OBJECT_0) ::CancelIoEx(port, &ov);
        DWORD moved = 0;
        const bool ok = ::GetOverlappedResult(port, &ov, &moved, TRUE);
        const DWORD err = ok ? ERROR_SUCCESS : ::GetLastError();
        if (closing) fail_closed();
        if (rc == WAIT_TIMEOUT) {
            timed_out = true;
            return moved;
        }
        if (!ok) {
            if (is_vanished(err)) fail_lost("disconnected: " + windows::message_of(err));
            throw SerialError(name + ": " + what + " failed: " + windows::message_of(err));
        }
        return moved;
    }

    void set_lines(bool dtr, bool rts) {
        std::shared_lock use(life);
        if (closing || port == INVALID_HANDLE_VALUE) fail_closed();
        std::lock_guard guard(line_lock);
        if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
            throw SerialError(name + ": RTS is under flow control (RTS/CTS), it cannot be set");
        DCB wanted = dcb;
        wanted.fDtrControl = dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        wanted.fRtsControl = rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        // Both lines in one call: the two-transistor circuit must never see one changed
        // without the other.
        if (::SetCommState(port, &wanted)) {
            dcb = wanted;
            return;
        }
        // Some drivers refuse a whole DCB now and then; the lines one by one still work.
        const DWORD err = ::GetLastError();
        if (is_vanished(err) && err != ERROR_OPERATION_ABORTED)
            fail_lost("disconnected: " + windows::message_of(err));
        if (!::EscapeCommFunction(port, dtr ? SETDTR : CLRDTR) ||
            !::EscapeCommFunction(port, rts ? SETRTS : CLRRTS)) {
            const DWORD e2 = ::GetLastError();
            throw SerialError(name + ": setting DTR/RTS failed: " + windows::message_of(e2));
        }
    }

    struct Step {
        bool dtr, rts;
        int wait_ms;
    };
    void run_sequence(std::initializer_list<Step> steps) {
        for (const Step& s : steps) {
            set_lines(s.dtr, s.rts);
            if (s.wait_ms > 0 && ::WaitForSingleObject(
                                     close_event.h, static_cast<DWORD>(s.wait_ms)) == WAIT_OBJECT_0)
                fail_closed();
            if (closing) fail_closed();
        }
    }
};

SerialPort::SerialPort(const SerialSettings& settings) : m(std::make_unique<Impl>()) {
    m->name = settings.port;
    if (trimmed(settings.port).empty()) throw SerialError("No serial port given");
    if (!m->close_event.h) throw SerialError(settings.port + ": cannot create an event");
    const std::filesystem::path path = serial_device_path(settings.port);
    // No sharing: Windows gives a COM port to one opener at a time.
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD err = ::GetLastError();
        if (err == ERROR_ACCESS_DENIED || err == ERROR_SHARING_VIOLATION)
            throw SerialError(settings.port + " is busy (opened by another program)");
        if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND)
            throw SerialError(settings.port + ": no such port");
        throw SerialError(settings.port + ": " + windows::message_of(err));
    }
    struct Closer {
        HANDLE& h;
        ~Closer() {
            if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
        }
    } closer{h};
    if (::GetFileType(h) != FILE_TYPE_CHAR)
        throw SerialError(settings.port + " is not a serial port");
    DCB current{};
    current.DCBlength = sizeof current;
    if (!::GetCommState(h, &current))
        throw SerialError(settings.port + " is not a serial port (" +
                          windows::message_of(::GetLastError()) + ")");
    DCB wanted = windows::dcb_from_settings(current, settings);
    if (!::SetCommState(h, &wanted)) {
        throw SerialError(settings.port + " refused the settings (" +
                          std::to_string(settings.baudrate) + " bps " +
                          std::to_string(settings.bytesize) + "-" + settings.parity + "-" +
                          settings.stopbits + "): " + windows::message_of(::GetLastError()));
    }
    // A read waits for its first byte and returns when the line pauses after it; writes
    // have no driver time-out (the stall limit is ours).
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = kReadGapMs;
    if (!::SetCommTimeouts(h, &timeouts))
        throw SerialError(settings.port + ": " + windows::message_of(::GetLastError()));
    ::SetupComm(h, 65536, 65536);
    ::PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    m->dcb = wanted;
    m->port = h;
    h = INVALID_HANDLE_VALUE;  // owned by the port now
}

SerialPort::~SerialPort() {
    close();
}

std::string SerialPort::read(std::size_t max) {
    std::shared_lock use(m->life);
    if (m->closing || m->port == INVALID_HANDLE_VALUE) m->fail_closed();
    if (m->lost) throw SerialError(m->name + " is disconnected");
    if (max == 0) return {};
    Event done;
    std::string buf(std::min<std::size_t>(max, 1u << 20), '\0');
    DWORD got = 0;
    // No time-out of ours: the read waits for its first byte or for close(). The driver's
    // own total time-out (about 49 days) only ends it with nothing, and it starts again.
    while (got == 0) {
        OVERLAPPED ov{};
        ov.hEvent = done.h;
        ::ResetEvent(done.h);
        if (!::ReadFile(m->port, buf.data(), static_cast<DWORD>(buf.size()), &got, &ov)) {
            const DWORD err = ::GetLastError();
            if (err != ERROR_IO_PENDING) {
                if (is_vanished(err)) m->fail_lost("disconnected: " + windows::message_of(err));
                throw SerialError(m->name + ": read failed: " + windows::message_of(err));
            }
            bool timed_out = false;
            got = m->finish(ov, INFINITE, timed_out, "read");
        } else {
            ::GetOverlappedResult(m->port, &ov, &got, FALSE);
        }
    }
    buf.resize(got);
    return buf;
}

void SerialPort::write(std::string_view data) {
    std::lock_guard one_writer(m->write_lock);
    std::shared_lock use(m->life);
    if (m->closing || m->port == INVALID_HANDLE_VALUE) m->fail_closed();
    if (m->lost) throw SerialError(m->name + " is disconnected");
    const auto stall_ms = static_cast<DWORD>(
        std::chrono::duration_cast<std::chrono::milliseconds>(kWriteStall).count());
    Event done;
    while (!data.empty()) {
        OVERLAPPED ov{};
        ov.hEvent = done.h;
        ::ResetEvent(done.h);
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size(), 65536));
        DWORD put = 0;
        if (!::WriteFile(m->port, data.data(), chunk, &put, &ov)) {
            const DWORD err = ::GetLastError();
            if (err != ERROR_IO_PENDING) {
                if (is_vanished(err)) m->fail_lost("disconnected: " + windows::message_of(err));
                throw SerialError(m->name + ": write failed: " + windows::message_of(err));
            }
            bool timed_out = false;
            put = m->finish(ov, stall_ms, timed_out, "write");
            // Nothing at all went out for the whole stall limit: flow control holds the line.
            if (timed_out && put == 0)
                throw SerialError(m->name + ": write timed out (flow control holds the line)");
        } else {
            ::GetOverlappedResult(m->port, &ov, &put, FALSE);
        }
        data.remove_prefix(put);
    }
}

bool SerialPort::is_open() const {
    return m->port != INVALID_HANDLE_VALUE && !m->closing && !m->lost;
}

void SerialPort::close() {
    if (m->closing.exchange(true)) {
        // A second caller still waits until the first has finished closing.
        std::unique_lock done(m->life);
        return;
    }
    ::SetEvent(m->close_event.h);
    if (m->port != INVALID_HANDLE_VALUE) ::CancelIoEx(m->port, nullptr);
    std::unique_lock exclusive(m->life);
    if (m->port != INVALID_HANDLE_VALUE) {
        ::CloseHandle(m->port);
        m->port = INVALID_HANDLE_VALUE;
    }
}

long long SerialPort::handle() const {
    return m->closing ? -1 : reinterpret_cast<long long>(m->port);
}

const std::string& SerialPort::name() const {
    return m->name;
}

void SerialPort::set_modem_lines(bool dtr, bool rts) {
    m->set_lines(dtr, rts);
}

void SerialPort::set_baudrate(int baudrate) {
    std::shared_lock use(m->life);
    if (m->closing || m->port == INVALID_HANDLE_VALUE) m->fail_closed();
    if (baudrate <= 0)
        throw SerialError("Baud rate " + std::to_string(baudrate) + " is not valid for " + m->name);
    // What was written leaves at the old speed first.
    ::FlushFileBuffers(m->port);
    std::lock_guard guard(m->line_lock);
    DCB wanted = m->dcb;
    wanted.BaudRate = static_cast<DWORD>(baudrate);
    if (!::SetCommState(m->port, &wanted)) {
        const DWORD err = ::GetLastError();
        if (is_vanished(err) && err != ERROR_OPERATION_ABORTED)
            m->fail_lost("disconnected: " + windows::message_of(err));
        throw SerialError(m->name + " refused " + std::to_string(baudrate) +
                          " bps: " + windows::message_of(err));
    }
    m->dcb = wanted;
}

// Classic auto-reset wiring: RTS asserted pulls EN low, DTR asserted pulls IO0 low, and
// both asserted (or both released) leaves the chip running.
void SerialPort::hard_reset() {
    m->run_sequence({{false, true, 100}, {false, false, 0}});
}

void SerialPort::enter_bootloader() {
    m->run_sequence({{false, true, 100}, {true, false, 50}, {false, false, 0}});
}

// The USB-Serial/JTAG peripheral reads the lines as requests, not through transistors:
// IO0 low first, then reset while IO0 is still held, then let go of both.
void SerialPort::enter_bootloader_usb_jtag() {
    m->run_sequence({{false, false, 100},
                     {true, false, 100},
                     {true, true, 0},
                     {false, true, 100},
                     {false, false, 0}});
}

}  // namespace termiva::platform
