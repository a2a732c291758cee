// Every combination of line settings against the termios2 record the driver receives.
// Pseudo-terminals drop data bits and parity, so this is where those two are checked.
#include <gtest/gtest.h>

#include "platform/linux/serial_termios.h"

namespace termiva::platform {
namespace {

using linux_serial::apply_settings;

// A record as a freshly opened tty has it: cooked, echoing, 9600 bps.
termios2 cooked_base() {
    termios2 t{};
    t.c_iflag = ICRNL | IXON | BRKINT | IMAXBEL;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ICANON | ECHO | ECHOE | ECHOK | ISIG | IEXTEN;
    t.c_cflag = B9600 | CS7 | CREAD | HUPCL | PARENB | CSTOPB;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 5;
    t.c_ispeed = t.c_ospeed = 9600;
    return t;
}

struct ParityCase {
    const char* text;
    tcflag_t flags;  // PARENB | PARODD | CMSPAR part of c_cflag
};

TEST(SerialTermios, EveryCombinationReachesTheRecord) {
    const ParityCase parities[] = {
        {"N", 0},
        {"n", 0},
        {"None", 0},
        {"", 0},  // a cleared field is no parity, like a missing one
        {"E", PARENB},
        {"even", PARENB},
        {"O", PARENB | PARODD},
        {" o ", PARENB | PARODD},
        {"M", PARENB | CMSPAR | PARODD},
        {"Mark", PARENB | CMSPAR | PARODD},
        {"S", PARENB | CMSPAR},
        {"space", PARENB | CMSPAR},
    };
    const std::pair<const char*, bool> stops[] = {{"1", false}, {"1.5", true}, {"2", true}};
    const std::pair<int, tcflag_t> sizes[] = {{5, CS5}, {6, CS6}, {7, CS7}, {8, CS8}};
    const std::pair<int, tcflag_t> speeds[] = {{9600, B9600},     {115200, B115200},
                                               {921600, B921600}, {74880, BOTHER},
                                               {250000, BOTHER},  {1234567, BOTHER}};
    int checked = 0;
    for (const auto& [bits, size_flag] : sizes)
        for (const auto& parity : parities)
            for (const auto& [stop, cstopb] : stops)
                for (int flow = 0; flow < 4; ++flow)
                    for (const auto& [baud, code] : speeds) {
                        SerialSettings s;
                        s.port = "/dev/ttyTEST";
                        s.baudrate = baud;
                        s.bytesize = bits;
                        s.parity = parity.text;
                        s.stopbits = stop;
                        s.xonxoff = flow == 1;
                        s.rtscts = flow == 2;
                        s.dsrdtr = flow == 3;
                        SCOPED_TRACE(std::to_string(baud) + " " + std::to_string(bits) + "-" +
                                     parity.text + "-" + stop + " flow " + std::to_string(flow));
                        const termios2 t = apply_settings(cooked_base(), s);
                        EXPECT_EQ(t.c_cflag & CSIZE, size_flag);
                        EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), parity.flags);
                        EXPECT_EQ((t.c_iflag & INPCK) != 0, parity.flags != 0);
                        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, cstopb);
                        EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, flow == 2);
                        EXPECT_EQ((t.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF), flow == 1);
                        EXPECT_EQ(t.c_iflag & IXON, flow == 1 ? tcflag_t(IXON) : 0u);
                        EXPECT_EQ(t.c_cflag & CBAUD, code);
                        EXPECT_EQ(t.c_cflag & (CBAUD << IBSHIFT), 0u);  // input follows output
                        EXPECT_EQ(t.c_ospeed, static_cast<speed_t>(baud));
                        EXPECT_EQ(t.c_ispeed, static_cast<speed_t>(baud));
                        // Raw both ways, reads never block inside the driver.
                        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
                        EXPECT_EQ(t.c_oflag & OPOST, 0u);
                        EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | BRKINT), 0u);
                        EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
                        EXPECT_EQ(t.c_cc[VMIN], 0);
                        EXPECT_EQ(t.c_cc[VTIME], 0);
                        ++checked;
                    }
    EXPECT_EQ(checked, 4 * 12 * 3 * 4 * 6);
}

TEST(SerialTermios, ImpossibleSettingsAreRefusedNamingPortAndValue) {
    struct Bad {
        int baud, bits;
        const char *parity, *stop, *mentions;
    };
    const Bad bad[] = {
        {9600, 8, "X", "1", "\"X\""},       {9600, 8, "Q", "1", "\"Q\""},
        {9600, 8, "EO", "1", "\"EO\""},     {9600, 8, "1", "1", "\"1\""},
        {9600, 4, "N", "1", "Data bits 4"}, {9600, 9, "N", "1", "Data bits 9"},
        {9600, 8, "N", "3", "\"3\""},       {9600, 8, "N", "one", "\"one\""},
        {9600, 8, "N", "1.25", "\"1.25\""}, {0, 8, "N", "1", "Baud rate 0"},
        {-5, 8, "N", "1", "Baud rate -5"},
    };
    for (const auto& b : bad) {
        SerialSettings s;
        s.port = "/dev/ttyUSB7";
        s.baudrate = b.baud;
        s.bytesize = b.bits;
        s.parity = b.parity;
        s.stopbits = b.stop;
        try {
            apply_settings(cooked_base(), s);
            ADD_FAILURE() << "accepted " << b.mentions;
        } catch (const SerialError& e) {
            const std::string text = e.what();
            EXPECT_NE(text.find("/dev/ttyUSB7"), std::string::npos) << text;
            EXPECT_NE(text.find(b.mentions), std::string::npos) << text;
        }
    }
}

TEST(SerialTermios, StandardRatesUseTheirCodes) {
    EXPECT_EQ(linux_serial::standard_speed_code(115200), static_cast<unsigned>(B115200));
    EXPECT_EQ(linux_serial::standard_speed_code(4000000), static_cast<unsigned>(B4000000));
    EXPECT_EQ(linux_serial::standard_speed_code(74880), 0u);
    EXPECT_EQ(linux_serial::standard_speed_code(0), 0u);
}

TEST(SerialTermios, DevicePathOfBareNames) {
    EXPECT_EQ(serial_device_path("ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(serial_device_path("/dev/serial/by-id/usb-x"), "/dev/serial/by-id/usb-x");
    EXPECT_EQ(serial_device_path("./rel/tty"), "./rel/tty");
}

}  // namespace
}  // namespace termiva::platform
