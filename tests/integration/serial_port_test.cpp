// The serial line against a socat pty pair standing in for the cable: data both ways,
// settings as the driver holds them, exclusive use, unplugging, closing under a reader.
#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "platform/serial_port.h"
#include "support/socat_link.h"
#include "support/test_support.h"

namespace termiva::platform {
namespace {

using namespace std::chrono_literals;
using termiva::testing::SocatLink;
using termiva::testing::TempDir;
using termiva::testing::TtyEnd;

// Closes the port when `limit` has passed, unless destroyed first: the bound on a test's
// wait for a read that has no time-out of its own.
class CloseAfter {
public:
    CloseAfter(SerialPort& port, std::chrono::milliseconds limit)
        : m_thread([&port, limit, this](std::stop_token stop) {
              std::unique_lock lock(m_lock);
              if (!m_cv.wait_for(lock, stop, limit, [] { return false; })) {
                  if (!stop.stop_requested()) port.close();
              }
          }) {}

private:
    std::mutex m_lock;
    std::condition_variable_any m_cv;
    std::jthread m_thread;  // last: stopped and joined before the lock goes
};

// Voluntary context switches of one thread so far: how often it went to sleep.
long sleeps_of(pid_t tid) {
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
            return std::stol(line.substr(line.find(':') + 1));
    }
    return -1;
}

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto socat = termiva::testing::find_program("socat");
        if (!socat) {
            if (termiva::testing::peers_required()) FAIL() << "missing socat";
            GTEST_SKIP() << "peer program socat not installed";
        }
        link = std::make_unique<SocatLink>(*socat, tmp.path() / "ttyA", tmp.path() / "ttyB");
        ASSERT_TRUE(link->start());
    }

    SerialSettings settings(int baud = 115200) const {
        SerialSettings s;
        s.port = link->a().string();
        s.baudrate = baud;
        return s;
    }

    // Reads from the port until `count` bytes came; reads wait without a time-out, so
    // when the time runs out the port is closed under the read, which ends it.
    static std::string read_port(SerialPort& port, std::size_t count,
                                 std::chrono::milliseconds limit) {
        CloseAfter watchdog(port, limit);
        std::string got;
        try {
            while (got.size() < count)
                got += port.read(4096);
        } catch (const SerialError&) {
            // closed by the watchdog: what came so far is the answer
        }
        return got;
    }

    TempDir tmp;
    std::unique_ptr<SocatLink> link;
};

// `stty -a` run on an already open descriptor of the tab's end (a new open would be
// refused while the port holds it exclusively).
std::string stty_of(int fd) {
    int out[2];
    if (::pipe(out) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fd, STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::execlp("stty", "stty", "-a", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    std::string text;
    char buf[1024];
    ssize_t n;
    while ((n = ::read(out[0], buf, sizeof buf)) > 0)
        text.append(buf, static_cast<std::size_t>(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return text;
}

bool has_word(const std::string& text, const std::string& word) {
    std::size_t pos = 0;
    while ((pos = text.find(word, pos)) != std::string::npos) {
        const bool start =
            pos == 0 || text[pos - 1] == ' ' || text[pos - 1] == '\n' || text[pos - 1] == ';';
        const std::size_t end = pos + word.size();
        const bool stop =
            end == text.size() || text[end] == ' ' || text[end] == '\n' || text[end] == ';';
        if (start && stop) return true;
        pos = end;
    }
    return false;
}

TEST_F(SerialPortTest, BytesCrossBothWaysUnchanged) {
    SerialPort port(settings());
    TtyEnd board(link->b());
    ASSERT_TRUE(board.is_open());
    EXPECT_TRUE(port.is_open());
    EXPECT_GE(port.handle(), 0);

    // Every byte value, CR/LF and XON/XOFF included: nothing translated on the way.
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    port.write(all + "\r\n");
    EXPECT_EQ(board.read_some(258, 3s), all + "\r\n");
    ASSERT_TRUE(board.write_all(all));
    EXPECT_EQ(read_port(port, 256, 3s), all);
    // Nothing more to read: the read waits rather than answering empty, until the next
    // byte comes.
    std::string next;
    std::thread reader([&] { next = read_port(port, 1, 10s); });
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(next, "");
    ASSERT_TRUE(board.write_all("z"));
    reader.join();
    EXPECT_EQ(next, "z");
}

TEST_F(SerialPortTest, IdleReadSleepsUntilCloseWakesIt) {
    SerialPort port(settings());
    TtyEnd board(link->b());
    CloseAfter watchdog(port, 20s);
    std::atomic<pid_t> tid{0};
    std::atomic<bool> ended{false};
    std::string error;
    std::thread reader([&] {
        tid = ::gettid();
        try {
            port.read(4096);
            error = "read returned on an idle line";
        } catch (const SerialError& e) {
            error = e.what();
        }
        ended = true;
    });
    while (tid == 0)
        std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(100ms);
    // Asleep in one wait for the whole idle second: a read with a time-out (or a loop
    // around one) would wake every few dozen milliseconds.
    const long before = sleeps_of(tid);
    std::this_thread::sleep_for(1s);
    const long after = sleeps_of(tid);
    EXPECT_FALSE(ended.load());
    ASSERT_GE(before, 0);
    EXPECT_LE(after - before, 2) << "the idle reader woke " << (after - before) << " times";

    const auto t0 = std::chrono::steady_clock::now();
    port.close();
    reader.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    EXPECT_NE(error.find("is closed"), std::string::npos) << error;
    EXPECT_FALSE(port.is_open());
}

TEST_F(SerialPortTest, ConcurrentReaderAndTwoWritersLoseNothing) {
    SerialPort port(settings(921600));
    TtyEnd board(link->b());
    std::mt19937 rng(7);
    std::string incoming(200000, '\0');
    for (char& c : incoming)
        c = static_cast<char>(rng());

    std::string received;
    std::thread reader([&] { received = read_port(port, incoming.size(), 20s); });
    std::thread feeder([&] { board.write_all(incoming, 20s); });
    // Keystrokes and a job's frames come from different threads; each write stays whole.
    const std::string a(30000, 'a'), b(30000, 'b');
    std::thread w1([&] {
        for (int i = 0; i < 4; ++i)
            port.write(a);
    });
    std::thread w2([&] {
        for (int i = 0; i < 4; ++i)
            port.write(b);
    });
    const std::string out = board.read_some(240000, 20s);
    w1.join();
    w2.join();
    feeder.join();
    reader.join();
    EXPECT_EQ(received.size(), incoming.size());
    EXPECT_TRUE(received == incoming);
    ASSERT_EQ(out.size(), 240000u);
    for (std::size_t i = 0; i < out.size(); i += 30000)
        EXPECT_EQ(out.substr(i, 30000).find_first_not_of(out[i]), std::string::npos)
            << "chunk at " << i;
}

TEST_F(SerialPortTest, SettingsReachTheDevice) {
    // Opened before the port takes the line exclusively, to look at it from outside.
    const int probe = ::open(link->a().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0);
    {
        auto s = settings(115200);
        s.stopbits = "2";
        s.rtscts = true;
        SerialPort port(s);
        const std::string text = stty_of(probe);
        EXPECT_NE(text.find("speed 115200 baud"), std::string::npos) << text;
        EXPECT_TRUE(has_word(text, "cstopb")) << text;
        EXPECT_TRUE(has_word(text, "crtscts")) << text;
        EXPECT_TRUE(has_word(text, "-ixon")) << text;
        EXPECT_TRUE(has_word(text, "-icanon")) << text;
        EXPECT_TRUE(has_word(text, "-echo")) << text;
        EXPECT_TRUE(has_word(text, "-opost")) << text;
    }
    {
        auto s = settings(9600);
        s.xonxoff = true;
        SerialPort port(s);
        const std::string text = stty_of(probe);
        EXPECT_NE(text.find("speed 9600 baud"), std::string::npos) << text;
        EXPECT_TRUE(has_word(text, "-cstopb")) << text;
        EXPECT_TRUE(has_word(text, "-crtscts")) << text;
        EXPECT_TRUE(has_word(text, "ixon")) << text;
        EXPECT_TRUE(has_word(text, "ixoff")) << text;
    }
    // Rates without a Bxxx code: stty of this C library prints them as 0, so the driver's
    // own record is read.
    for (int baud : {74880, 250000, 1234567}) {
        SerialPort port(settings(baud));
        termios2 t{};
        ASSERT_EQ(::ioctl(probe, TCGETS2, &t), 0);
        EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER)) << baud;
        EXPECT_EQ(t.c_ospeed, static_cast<speed_t>(baud));
        EXPECT_EQ(t.c_ispeed, static_cast<speed_t>(baud));
    }
    ::close(probe);
}

TEST_F(SerialPortTest, SecondOpenIsRefusedAsBusyNamingThePort) {
    auto first = std::make_unique<SerialPort>(settings());
    try {
        SerialPort second(settings());
        FAIL() << "opened twice";
    } catch (const SerialError& e) {
        const std::string text = e.what();
        EXPECT_NE(text.find(link->a().string()), std::string::npos) << text;
        EXPECT_NE(text.find("busy"), std::string::npos) << text;
    }
    // Through the device's own name, not the link, it is just as busy.
    const std::string real = std::filesystem::canonical(link->a()).string();
    auto s = settings();
    s.port = real;
    EXPECT_THROW(SerialPort{s}, SerialError);
    // The refused opens took nothing away: the first still works, and once it is closed
    // the port opens again.
    TtyEnd board(link->b());
    first->write("still");
    EXPECT_EQ(board.read_some(5, 3s), "still");
    first.reset();
    EXPECT_NO_THROW(SerialPort{settings()});
}

TEST_F(SerialPortTest, RefusedOpensSayWhy) {
    auto s = settings();
    s.parity = "Z";
    try {
        SerialPort port(s);
        FAIL() << "parity Z accepted";
    } catch (const SerialError& e) {
        EXPECT_NE(std::string(e.what()).find("\"Z\""), std::string::npos) << e.what();
    }
    // The failed open left the port free.
    EXPECT_NO_THROW(SerialPort{settings()});

    s = settings();
    s.port = (tmp.path() / "no-such-tty").string();
    try {
        SerialPort port(s);
        FAIL();
    } catch (const SerialError& e) {
        EXPECT_NE(std::string(e.what()).find("no-such-tty: No such file"), std::string::npos)
            << e.what();
    }
    s.port = "/dev/null";
    try {
        SerialPort port(s);
        FAIL();
    } catch (const SerialError& e) {
        EXPECT_EQ(std::string(e.what()), "/dev/null is not a serial port");
    }
}

TEST_F(SerialPortTest, UnpluggedCableFailsReadsAndWritesQuickly) {
    SerialPort port(settings());
    std::atomic<bool> failed{false};
    std::thread reader([&] {
        // Closed after 10 s at the latest; closing is not a failure from the device.
        CloseAfter watchdog(port, 10s);
        try {
            for (;;)
                port.read(4096);
        } catch (const SerialError& e) {
            failed = std::string(e.what()).find("is closed") == std::string::npos;
        }
    });
    std::this_thread::sleep_for(100ms);
    const auto t0 = std::chrono::steady_clock::now();
    link->stop();
    reader.join();
    EXPECT_TRUE(failed.load());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
    EXPECT_FALSE(port.is_open());
    EXPECT_THROW(port.write("x"), SerialError);
    EXPECT_THROW(port.read(16), SerialError);
    port.close();
    port.close();
}

TEST_F(SerialPortTest, CloseFromAnotherThreadEndsBlockedReadAndStalledWrite) {
    auto s = settings();
    s.rtscts = false;
    SerialPort port(s);
    // Nobody drains the other end, so a big write stalls once the buffers are full.
    std::atomic<int> ended{0};
    std::thread writer([&] {
        try {
            port.write(std::string(4 << 20, 'w'));
        } catch (const SerialError&) {
            // closed under it: the expected end
        }
        ++ended;
    });
    std::thread reader([&] {
        try {
            for (;;)
                port.read(4096);
        } catch (const SerialError&) {
            // closed under it: the expected end
        }
        ++ended;
    });
    std::this_thread::sleep_for(300ms);
    const auto t0 = std::chrono::steady_clock::now();
    port.close();
    writer.join();
    reader.join();
    EXPECT_EQ(ended.load(), 2);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    EXPECT_FALSE(port.is_open());
    EXPECT_EQ(port.handle(), -1);
    // Closed means free for the next program.
    EXPECT_NO_THROW(SerialPort{settings()});
}

TEST_F(SerialPortTest, ModemLinesOnALineWithoutThemGiveAClearError) {
    SerialPort port(settings());
    // Pseudo-terminals have no DTR/RTS: each sequence fails with the port's name, and the
    // data path is unharmed.
    for (auto call : {&SerialPort::hard_reset, &SerialPort::enter_bootloader,
                      &SerialPort::enter_bootloader_usb_jtag}) {
        try {
            (port.*call)();
            ADD_FAILURE() << "a pty accepted TIOCMSET";
        } catch (const SerialError& e) {
            EXPECT_NE(std::string(e.what()).find(link->a().string()), std::string::npos)
                << e.what();
            EXPECT_NE(std::string(e.what()).find("DTR/RTS"), std::string::npos) << e.what();
        }
    }
    EXPECT_TRUE(port.is_open());
    TtyEnd board(link->b());
    port.write("ok");
    EXPECT_EQ(board.read_some(2, 3s), "ok");
}

}  // namespace
}  // namespace termiva::platform
