// The Windows serial port: settings reach the DCB, and on a real COM port (a Wine COM port
// on one end of a pseudo-terminal pair, the other end another COM port) bytes pass both
// ways, a quiet line reads as nothing, and close() from another thread ends a blocked read.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <future>
#include <thread>

#include "platform/serial_port.h"
#include "platform/windows/serial_dcb.h"
#include "unit/windows_test_support.h"

namespace termiva::platform {
namespace {

using namespace std::chrono_literals;
using windows::dcb_from_settings;

DCB base_dcb() {
    DCB d{};
    d.DCBlength = sizeof d;
    d.BaudRate = 9600;
    d.ByteSize = 7;
    d.Parity = EVENPARITY;
    d.StopBits = TWOSTOPBITS;
    d.fAbortOnError = TRUE;
    d.fOutxCtsFlow = TRUE;
    d.fRtsControl = RTS_CONTROL_HANDSHAKE;
    d.fDtrControl = DTR_CONTROL_HANDSHAKE;
    d.fOutX = d.fInX = TRUE;
    return d;
}

TEST(WindowsSerialDcb, EveryCombinationReachesTheDcb) {
    const std::pair<const char*, BYTE> parities[] = {
        {"N", NOPARITY},      {"none", NOPARITY}, {"", NOPARITY},        {"E", EVENPARITY},
        {"even", EVENPARITY}, {" o ", ODDPARITY}, {"Odd", ODDPARITY},    {"M", MARKPARITY},
        {"mark", MARKPARITY}, {"S", SPACEPARITY}, {"SPACE", SPACEPARITY}};
    const char* stops[] = {"1", "1.5", "2"};
    int checked = 0;
    for (const auto& [parity, code] : parities) {
        for (const char* stop : stops) {
            for (int bits = 5; bits <= 8; ++bits) {
                for (int baud : {300, 9600, 74880, 115200, 921600, 2000000}) {
                    SerialSettings s;
                    s.port = "COM3";
                    s.baudrate = baud;
                    s.bytesize = bits;
                    s.parity = parity;
                    s.stopbits = stop;
                    const DCB d = dcb_from_settings(base_dcb(), s);
                    EXPECT_EQ(d.BaudRate, DWORD(baud));
                    EXPECT_EQ(d.ByteSize, bits);
                    EXPECT_EQ(d.Parity, code) << parity;
                    EXPECT_EQ(d.fParity, code != NOPARITY ? 1u : 0u);
                    const BYTE want_stop = std::string(stop) == "1" ? ONESTOPBIT
                                           : bits == 5              ? ONE5STOPBITS
                                                                    : TWOSTOPBITS;
                    EXPECT_EQ(d.StopBits, want_stop) << stop << " with " << bits;
                    EXPECT_TRUE(d.fBinary);
                    EXPECT_FALSE(d.fAbortOnError) << "a line error would stop all I/O";
                    // No flow control asked: none left over from the port's old state.
                    EXPECT_FALSE(d.fOutxCtsFlow);
                    EXPECT_FALSE(d.fOutxDsrFlow);
                    EXPECT_FALSE(d.fOutX);
                    EXPECT_FALSE(d.fInX);
                    EXPECT_EQ(d.fRtsControl, DWORD(RTS_CONTROL_ENABLE));
                    EXPECT_EQ(d.fDtrControl, DWORD(DTR_CONTROL_ENABLE));
                    ++checked;
                }
            }
        }
    }
    EXPECT_EQ(checked, 11 * 3 * 4 * 6);
}

TEST(WindowsSerialDcb, FlowControlChoices) {
    SerialSettings s;
    s.port = "COM3";
    s.xonxoff = true;
    DCB d = dcb_from_settings(base_dcb(), s);
    EXPECT_TRUE(d.fOutX && d.fInX);
    EXPECT_EQ(d.XonChar, 0x11);
    EXPECT_EQ(d.XoffChar, 0x13);
    EXPECT_FALSE(d.fOutxCtsFlow);
    s = SerialSettings{};
    s.port = "COM3";
    s.rtscts = true;
    d = dcb_from_settings(base_dcb(), s);
    EXPECT_TRUE(d.fOutxCtsFlow);
    EXPECT_EQ(d.fRtsControl, DWORD(RTS_CONTROL_HANDSHAKE));
    EXPECT_FALSE(d.fOutX);
    s = SerialSettings{};
    s.port = "COM3";
    s.dsrdtr = true;
    d = dcb_from_settings(base_dcb(), s);
    EXPECT_TRUE(d.fOutxDsrFlow);
    EXPECT_EQ(d.fDtrControl, DWORD(DTR_CONTROL_ENABLE));
    EXPECT_EQ(d.fRtsControl, DWORD(RTS_CONTROL_ENABLE));
}

TEST(WindowsSerialDcb, ValuesNoUartHasAreRefusedNamingThePort) {
    for (auto change : std::initializer_list<void (*)(SerialSettings&)>{
             [](SerialSettings& s) { s.baudrate = 0; }, [](SerialSettings& s) { s.baudrate = -5; },
             [](SerialSettings& s) { s.bytesize = 4; }, [](SerialSettings& s) { s.bytesize = 9; },
             [](SerialSettings& s) { s.parity = "X"; }, [](SerialSettings& s) { s.stopbits = "3"; },
             [](SerialSettings& s) { s.stopbits = "one"; }}) {
        SerialSettings s;
        s.port = "COM7";
        change(s);
        try {
            dcb_from_settings(base_dcb(), s);
            ADD_FAILURE() << "accepted";
        } catch (const SerialError& e) {
            EXPECT_NE(std::string(e.what()).find("COM7"), std::string::npos) << e.what();
        }
    }
}

TEST(WindowsSerialPort, NamesAreDevicePaths) {
    EXPECT_EQ(serial_device_path("COM3").native(), L"\\\\.\\COM3");
    EXPECT_EQ(serial_device_path(" COM12 ").native(), L"\\\\.\\COM12");
    EXPECT_EQ(serial_device_path("\\\\.\\COM4").native(), L"\\\\.\\COM4");
    EXPECT_THROW(SerialPort(SerialSettings{}), SerialError);
    try {
        SerialSettings s;
        s.port = "COM249";
        SerialPort port(s);
        ADD_FAILURE() << "opened a port that does not exist";
    } catch (const SerialError& e) {
        EXPECT_NE(std::string(e.what()).find("COM249"), std::string::npos) << e.what();
    }
}

TEST(WindowsSerialPort, TheListHoldsComPortsInNumberOrder) {
    // Wine has no SetupAPI view of its linked COM ports, so the list is usually empty
    // there; what it lists must still be COM ports in order, and an unknown port has no
    // USB identity.
    const auto ports = list_serial_ports();
    for (std::size_t i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(ports[i].device.rfind("COM", 0), 0u) << ports[i].device;
        EXPECT_FALSE(ports[i].description.empty());
        if (i > 0) {
            const int before = std::stoi(ports[i - 1].device.substr(3));
            EXPECT_LE(before, std::stoi(ports[i].device.substr(3)));
        }
    }
    EXPECT_FALSE(usb_identity_of("COM249").has_value());
    EXPECT_FALSE(find_usb_port(UsbIdentity{"10c4", "ea60", "", -1, ""}).has_value());
}

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
