// The serial line on Linux: termios2 for any speed, flock plus TIOCEXCL so two programs
// never share a port, TIOCMSET for the modem lines, and an eventfd so close() from one
// thread ends a read or write blocked in another.
#include "platform/serial_port.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <thread>

#include "platform/linux/serial_termios.h"

namespace termiva::platform {

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

std::string errno_text(int err) {
    return std::strerror(err);
}

bool is_vanished_errno(int err) {
    return err == EIO || err == ENXIO || err == ENODEV;
}

}  // namespace

const char* const serial_backend_name = "termios";

std::filesystem::path serial_device_path(std::string_view port) {
    std::string name(port);
    if (name.find('/') == std::string::npos) return std::filesystem::path("/dev") / name;
    return name;
}

namespace linux_serial {

unsigned standard_speed_code(int baudrate) {
    struct Rate {
        int rate;
        unsigned code;
    };
    static constexpr Rate kRates[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000},
    };
    for (const auto& r : kRates)
        if (r.rate == baudrate) return r.code;
    return 0;
}

termios2 apply_settings(const termios2& base, const SerialSettings& s) {
    const std::string& port = s.port;
    termios2 t = base;

    if (s.baudrate <= 0)
        throw SerialError("Baud rate " + std::to_string(s.baudrate) + " is not valid for " + port);
    unsigned tcflag_size = 0;
    switch (s.bytesize) {
        case 5:
            tcflag_size = CS5;
            break;
        case 6:
            tcflag_size = CS6;
            break;
        case 7:
            tcflag_size = CS7;
            break;
        case 8:
            tcflag_size = CS8;
            break;
        default:
            throw SerialError("Data bits " + std::to_string(s.bytesize) + " are not valid for " +
                              port + " (use 5, 6, 7 or 8)");
    }

    const std::string parity = trimmed_upper(s.parity);
    unsigned parity_flags = 0;
    if (parity.empty() || parity == "N" || parity == "NONE") {
        parity_flags = 0;
    } else if (parity == "E" || parity == "EVEN") {
        parity_flags = PARENB;
    } else if (parity == "O" || parity == "ODD") {
        parity_flags = PARENB | PARODD;
    } else if (parity == "M" || parity == "MARK") {
        parity_flags = PARENB | CMSPAR | PARODD;
    } else if (parity == "S" || parity == "SPACE") {
        parity_flags = PARENB | CMSPAR;
    } else {
        throw SerialError("Parity \"" + s.parity + "\" is not valid for " + port +
                          " (use N, E, O, M or S)");
    }

    const std::string stop = trimmed_upper(s.stopbits);
    bool two_stop = false;
    if (stop.empty() || stop == "1" || stop == "1.0") {
        two_stop = false;
    } else if (stop == "1.5" || stop == "2" || stop == "2.0") {
        // A UART sends 1.5 stop bits for CSTOPB with 5 data bits and 2 otherwise; termios
        // has no other way to ask for 1.5.
        two_stop = true;
    } else {
        throw SerialError("Stop bits \"" + s.stopbits + "\" are not valid for " + port +
                          " (use 1, 1.5 or 2)");
    }

    // Raw line: bytes pass unchanged in both directions.
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK | IGNPAR | IUCLC);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS |
                                        CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= CLOCAL | CREAD | tcflag_size | parity_flags;
    if (two_stop) t.c_cflag |= CSTOPB;
    // A byte with a parity error arrives as NUL rather than unchecked.
    if (parity_flags != 0) t.c_iflag |= INPCK;
    if (s.xonxoff) {
        t.c_iflag |= IXON | IXOFF;
        t.c_cc[VSTART] = 0x11;
        t.c_cc[VSTOP] = 0x13;
    }
    if (s.rtscts) t.c_cflag |= CRTSCTS;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;

    // The input speed follows the output speed (CIBAUD left 0).
    const unsigned code = standard_speed_code(s.baudrate);
    t.c_cflag |= code != 0 ? code : BOTHER;
    t.c_ispeed = t.c_ospeed = static_cast<speed_t>(s.baudrate);
    return t;
}

}  // namespace linux_serial

struct SerialPort::Impl {
    std::string name;
    std::filesystem::path path;
    bool dsrdtr = false;
    std::atomic<int> fd{-1};
    int wake = -1;  // eventfd, readable once close() began
    std::atomic<bool> closing{false};
    std::atomic<bool> lost{false};
    // Readers, writers and line changes hold it shared while they use `fd`; close() takes
    // it exclusively, after waking them, so the descriptor is never closed under a poll.
    std::shared_mutex life;
    std::mutex write_lock;  // one writer at a time: chunks of two threads never interleave

    [[noreturn]] void fail_lost(const std::string& what) {
        lost = true;
        throw SerialError(name + " " + what);
    }
    [[noreturn]] void fail_closed() { throw SerialError(name + " is closed"); }

    // Waits for `events` on the port, or a hang-up, for at most `timeout` (none: as long
    // as it takes); throws once close() began.
    short wait_for(short events, std::optional<std::chrono::milliseconds> timeout) {
        pollfd fds[2] = {{fd, events, 0}, {wake, POLLIN, 0}};
        int rc = ::poll(fds, 2, timeout ? static_cast<int>(timeout->count()) : -1);
        if (rc < 0) {
            if (errno == EINTR) return 0;
            fail_lost("failed: " + errno_text(errno));
        }
        if (fds[1].revents != 0 || closing) fail_closed();
        if (fds[0].revents & POLLNVAL) fail_lost("is no longer usable");
        return fds[0].revents;
    }

    void modem_set(bool dtr, bool rts) {
        std::shared_lock use(life);
        if (closing || fd < 0) fail_closed();
        int bits = 0;
        if (::ioctl(fd, TIOCMGET, &bits) != 0) {
            int err = errno;
            if (is_vanished_errno(err)) fail_lost("disconnected: " + errno_text(err));
            throw SerialError(name + " has no modem control lines (DTR/RTS): " + errno_text(err));
        }
        bits &= ~(TIOCM_DTR | TIOCM_RTS);
        if (dtr) bits |= TIOCM_DTR;
        if (rts) bits |= TIOCM_RTS;
        // Both lines in one call: the two-transistor circuit must never see one changed
        // without the other.
        if (::ioctl(fd, TIOCMSET, &bits) != 0) {
            int err = errno;
            if (is_vanished_errno(err)) fail_lost("disconnected: " + errno_text(err));
            throw SerialError(name + ": setting DTR/RTS failed: " + errno_text(err));
        }
    }

    struct Step {
        bool dtr, rts;
        int wait_ms;
    };
    void run_sequence(std::initializer_list<Step> steps) {
        for (const Step& s : steps) {
            modem_set(s.dtr, s.rts);
            if (s.wait_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(s.wait_ms));
            if (closing) fail_closed();
        }
    }

    bool dsr_low() {
        int bits = 0;
        // Devices without modem lines (pseudo-terminals) have no DSR to wait for.
        if (::ioctl(fd, TIOCMGET, &bits) != 0) return false;
        return (bits & TIOCM_DSR) == 0;
    }
};

SerialPort::SerialPort(const SerialSettings& settings) : m(std::make_unique<Impl>()) {
    m->name = settings.port;
    m->path = serial_device_path(settings.port);
    m->dsrdtr = settings.dsrdtr;
    if (settings.port.empty()) throw SerialError("No serial port given");

    int fd = ::open(m->path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (err == EBUSY) throw SerialError(settings.port + " is busy (opened by another program)");
        std::string text = settings.port + ": " + errno_text(err);
        if (err == EACCES) text += " (is the user in the dialout group?)";
        throw SerialError(text);
    }
    struct Closer {
        int& fd;
        ~Closer() {
            if (fd >= 0) ::close(fd);
        }
    } closer{fd};

    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        if (err == EWOULDBLOCK)
            throw SerialError(settings.port + " is busy (opened by another program)");
        // File systems without locks (some device nodes over network mounts) still get
        // TIOCEXCL below.
    }
    termios2 current{};
    if (::ioctl(fd, TCGETS2, &current) != 0) {
        int err = errno;
        if (err == ENOTTY || err == EINVAL)
            throw SerialError(settings.port + " is not a serial port");
        throw SerialError(settings.port + ": " + errno_text(err));
    }
    // Non-root openers now get EBUSY; the flock above covers root, which TIOCEXCL lets by.
    ::ioctl(fd, TIOCEXCL);

    const termios2 wanted = linux_serial::apply_settings(current, settings);
    if (::ioctl(fd, TCSETS2, &wanted) != 0) {
        int err = errno;
        throw SerialError(settings.port + " refused the settings (" +
                          std::to_string(settings.baudrate) + " bps " +
                          std::to_string(settings.bytesize) + "-" + settings.parity + "-" +
                          settings.stopbits + "): " + errno_text(err));
    }
    m->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m->wake < 0) throw SerialError(settings.port + ": " + errno_text(errno));
    m->fd = fd;
    fd = -1;  // owned by the port now
}

SerialPort::~SerialPort() {
    close();
    if (m->wake >= 0) ::close(m->wake);
}

std::string SerialPort::read(std::size_t max) {
    std::shared_lock use(m->life);
    if (m->closing || m->fd < 0) m->fail_closed();
    if (m->lost) throw SerialError(m->name + " is disconnected");
    if (max == 0) return {};
    std::string buf(max, '\0');
    for (;;) {
        // No time-out: an idle line costs no wake-ups; close() and a vanished device are
        // what end the wait (the eventfd and POLLHUP/POLLERR).
        const short rev = m->wait_for(POLLIN, std::nullopt);
        if (rev == 0) continue;  // a signal interrupted the wait
        const ssize_t n = ::read(m->fd, buf.data(), max);
        if (n > 0) {
            buf.resize(static_cast<std::size_t>(n));
            return buf;
        }
        if (n == 0) m->fail_lost("disconnected (hang-up)");
        const int err = errno;
        if (err == EAGAIN || err == EINTR) {
            // Readable with nothing to read only happens on a hang-up without data.
            if (rev & (POLLHUP | POLLERR)) m->fail_lost("disconnected (hang-up)");
            continue;
        }
        if (is_vanished_errno(err)) m->fail_lost("disconnected: " + errno_text(err));
        throw SerialError(m->name + ": read failed: " + errno_text(err));
    }
}

void SerialPort::write(std::string_view data) {
    std::lock_guard one_writer(m->write_lock);
    std::shared_lock use(m->life);
    if (m->closing || m->fd < 0) m->fail_closed();
    if (m->lost) throw SerialError(m->name + " is disconnected");
    auto last_progress = std::chrono::steady_clock::now();
    const auto stalled = [&] {
        return std::chrono::steady_clock::now() - last_progress > kWriteStall;
    };
    std::size_t done = 0;
    while (done < data.size()) {
        if (m->dsrdtr && m->dsr_low()) {
            if (stalled()) throw SerialError(m->name + ": write timed out (DSR stays low)");
            // The modem lines raise no poll event, so DSR is looked at again every 10 ms;
            // only a write held by DSR flow control waits this way.
            m->wait_for(0, std::chrono::milliseconds(10));
            continue;
        }
        ssize_t n = ::write(m->fd, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            last_progress = std::chrono::steady_clock::now();
            continue;
        }
        const int err = n < 0 ? errno : EAGAIN;
        if (err == EINTR) continue;
        if (err != EAGAIN) {
            if (is_vanished_errno(err)) m->fail_lost("disconnected: " + errno_text(err));
            throw SerialError(m->name + ": write failed: " + errno_text(err));
        }
        if (stalled())
            throw SerialError(m->name + ": write timed out (flow control holds the line)");
        // Bounded so a line that flow control holds for good is noticed (kWriteStall).
        const short rev = m->wait_for(POLLOUT, std::chrono::milliseconds(100));
        if ((rev & (POLLHUP | POLLERR)) && !(rev & POLLOUT)) m->fail_lost("disconnected (hang-up)");
    }
}

bool SerialPort::is_open() const {
    return m->fd >= 0 && !m->closing && !m->lost;
}

void SerialPort::close() {
    if (m->closing.exchange(true)) {
        // A second caller still waits until the first has finished closing.
        std::unique_lock done(m->life);
        return;
    }
    if (m->wake >= 0) {
        const std::uint64_t one = 1;
        // The eventfd counter cannot overflow from one write, and a fresh eventfd has room
        // for it: this write does not fail, and a blocked read wakes at once.
        [[maybe_unused]] auto r = ::write(m->wake, &one, sizeof one);
    }
    std::unique_lock exclusive(m->life);
    if (m->fd >= 0) {
        ::close(m->fd);  // also drops the flock
        m->fd = -1;
    }
}

long long SerialPort::handle() const {
    return m->closing ? -1 : m->fd.load();
}

const std::string& SerialPort::name() const {
    return m->name;
}

void SerialPort::set_modem_lines(bool dtr, bool rts) {
    m->modem_set(dtr, rts);
}

void SerialPort::set_baudrate(int baudrate) {
    std::shared_lock use(m->life);
    if (m->closing || m->fd < 0) m->fail_closed();
    if (baudrate <= 0)
        throw SerialError("Baud rate " + std::to_string(baudrate) + " is not valid for " + m->name);
    termios2 t{};
    if (::ioctl(m->fd, TCGETS2, &t) != 0) {
        int err = errno;
        if (is_vanished_errno(err)) m->fail_lost("disconnected: " + errno_text(err));
        throw SerialError(m->name + ": " + errno_text(err));
    }
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD);
    const unsigned code = linux_serial::standard_speed_code(baudrate);
    t.c_cflag |= code != 0 ? code : BOTHER;
    t.c_ispeed = t.c_ospeed = static_cast<speed_t>(baudrate);
    // TCSETSW2 lets the bytes already written leave at the old speed first.
    if (::ioctl(m->fd, TCSETSW2, &t) != 0) {
        int err = errno;
        if (is_vanished_errno(err)) m->fail_lost("disconnected: " + errno_text(err));
        throw SerialError(m->name + " refused " + std::to_string(baudrate) +
                          " bps: " + errno_text(err));
    }
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
