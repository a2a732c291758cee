// The Windows serial port on real COM ports: a Wine COM port on one end of a pseudo-terminal
// pair, the other end another COM port. Bytes pass both ways, a quiet line reads as nothing
// until its first byte, and close() from another thread ends a blocked read. Every test opens
// the same two ports, so ctest runs them one at a time (RESOURCE_LOCK).
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <future>
#include <thread>

#include "platform/serial_port.h"
#include "unit/windows_test_support.h"

namespace termiva::platform {
namespace {

using namespace std::chrono_literals;

// Two COM ports joined like a null-modem cable, from TERMIVA_TEST_COM_PAIR ("COM41,COM42").
class WindowsComPair : public ::testing::Test {
protected:
    void SetUp() override {
        char pair[64] = {};
        if (::GetEnvironmentVariableA("TERMIVA_TEST_COM_PAIR", pair, sizeof pair) == 0)
            GTEST_SKIP() << "no COM port pair: tests/support/wine_com_pair.sh sets "
                            "TERMIVA_TEST_COM_PAIR to two Wine COM ports on a socat pty pair";
        const std::string text(pair);
        const auto comma = text.find(',');
        ASSERT_NE(comma, std::string::npos) << text;
        a.port = text.substr(0, comma);
        b.port = text.substr(comma + 1);
        a.baudrate = b.baudrate = 115200;
    }
    SerialSettings a, b;
};

std::string read_exactly(SerialPort& port, std::size_t n) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (got.size() < n && std::chrono::steady_clock::now() < deadline)
        got += port.read(n - got.size());
    return got;
}

TEST_F(WindowsComPair, BytesPassBothWaysUnchanged) {
    SerialPort left(a), right(b);
    std::string all(256, '\0');
    for (int i = 0; i < 256; ++i)
        all[static_cast<std::size_t>(i)] = static_cast<char>(i);
    left.write(all);
    EXPECT_EQ(read_exactly(right, all.size()), all);
    std::string big(100000, 'q');
    for (std::size_t i = 0; i < big.size(); i += 101)
        big[i] = static_cast<char>('0' + i % 10);
    auto reader = std::async(std::launch::async, [&] { return read_exactly(left, big.size()); });
    right.write(big);
    EXPECT_EQ(reader.get(), big);
    left.set_modem_lines(true, false);
    left.set_modem_lines(false, false);
}

TEST_F(WindowsComPair, AQuietLineReadWaitsForItsFirstByte) {
    SerialPort left(a), right(b);
    // A read has no time-out: nothing comes back from a quiet line until a byte arrives.
    auto reader = std::async(std::launch::async, [&] { return left.read(4096); });
    EXPECT_EQ(reader.wait_for(300ms), std::future_status::timeout);
    right.write("q");
    if (reader.wait_for(5s) != std::future_status::ready) {
        left.close();  // ends the read, so the test ends too
        FAIL() << "the byte sent did not end the read";
    }
    EXPECT_EQ(reader.get(), "q");
    EXPECT_TRUE(left.is_open());
}

TEST_F(WindowsComPair, CloseFromAnotherThreadEndsABlockedRead) {
    SerialPort left(a), right(b);
    std::promise<std::string> outcome;
    std::thread reader([&] {
        try {
            for (;;)
                if (!left.read(4096).empty()) break;
            outcome.set_value("data");
        } catch (const SerialError& e) {
            outcome.set_value(e.what());
        }
    });
    std::this_thread::sleep_for(300ms);
    const auto start = std::chrono::steady_clock::now();
    left.close();
    auto result = outcome.get_future();
    ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
    reader.join();
    EXPECT_NE(result.get().find("is closed"), std::string::npos);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_FALSE(left.is_open());
    EXPECT_THROW(left.write("x"), SerialError);
    left.close();  // again: harmless
}

TEST_F(WindowsComPair, ASecondOpenerIsRefused) {
    SerialPort first(a);
    if (!test::wine_version().empty())
        GTEST_SKIP() << "Wine lets a second program open a COM port that is already open";
    try {
        SerialPort second(a);
        ADD_FAILURE() << "opened twice";
    } catch (const SerialError& e) {
        EXPECT_NE(std::string(e.what()).find("busy"), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace termiva::platform
