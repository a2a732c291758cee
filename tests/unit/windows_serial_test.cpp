// The Windows serial port: settings reach the DCB, names become device paths, the port list
// holds COM ports in order. The ports themselves: windows_com_pair_test.cpp.
#include <gtest/gtest.h>
#include <windows.h>

#include "platform/serial_port.h"
#include "platform/windows/serial_dcb.h"

namespace termiva::platform {
namespace {

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

}  // namespace
}  // namespace termiva::platform
