// ZMODEM on the wire: frame types, headers (hex, binary with CRC-16 or CRC-32), ZDLE
// escaping and data subpackets, as the sending side builds them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace termiva::xfer::zm {

constexpr std::uint8_t ZPAD = '*';
constexpr std::uint8_t ZDLE = 0x18;
constexpr std::uint8_t ZBIN = 'A';
constexpr std::uint8_t ZHEX = 'B';
constexpr std::uint8_t ZBIN32 = 'C';
constexpr std::uint8_t XON = 0x11;
constexpr std::uint8_t XOFF = 0x13;

enum FrameType : std::uint8_t {
    ZRQINIT = 0,
    ZRINIT = 1,
    ZSINIT = 2,
    ZACK = 3,
    ZFILE = 4,
    ZSKIP = 5,
    ZNAK = 6,
    ZABORT = 7,
    ZFIN = 8,
    ZRPOS = 9,
    ZDATA = 10,
    ZEOF = 11,
    ZFERR = 12,
    ZCRC = 13,
    ZCHALLENGE = 14,
    ZCOMPL = 15,
    ZCAN = 16,
    ZFREECNT = 17,
    ZCOMMAND = 18,
    ZSTDERR = 19,
};

// What follows ZDLE at the end of a data subpacket.
constexpr std::uint8_t ZCRCE = 'h';  // end of frame, a header follows
constexpr std::uint8_t ZCRCG = 'i';  // more data follows, no answer
constexpr std::uint8_t ZCRCQ = 'j';  // more data follows, answer with ZACK
constexpr std::uint8_t ZCRCW = 'k';  // end of frame, answer with ZACK
constexpr std::uint8_t ZRUB0 = 'l';  // escaped 0x7F
constexpr std::uint8_t ZRUB1 = 'm';  // escaped 0xFF

// Receiver capabilities in ZRINIT's ZF0.
constexpr std::uint8_t CANFDX = 0x01;
constexpr std::uint8_t CANOVIO = 0x02;
constexpr std::uint8_t CANBRK = 0x04;
constexpr std::uint8_t CANFC32 = 0x20;
constexpr std::uint8_t ESCCTL = 0x40;
constexpr std::uint8_t ESC8 = 0x80;

// ZFILE conversion options (ZF0).
constexpr std::uint8_t ZCBIN = 1;
constexpr std::uint8_t ZCRESUM = 3;

constexpr std::size_t MAX_SUBPACKET = 8192;

struct Header {
    std::uint8_t type = 0;
    // ZP0..ZP3 in wire order; a position is little-endian, flags are ZF0 = data[3].
    std::array<std::uint8_t, 4> data{};

    static Header at(std::uint8_t type, std::uint32_t position);
    static Header with_flags(std::uint8_t type, std::uint8_t zf0, std::uint8_t zf1 = 0,
                             std::uint8_t zf2 = 0, std::uint8_t zf3 = 0);
    std::uint32_t position() const;
    std::uint8_t zf0() const { return data[3]; }
    std::uint8_t zf1() const { return data[2]; }
};

// ZDLE escaping of everything a modem, a flow-controlled line or a Telnet hop may eat.
class Escaper {
public:
    explicit Escaper(bool escape_controls = false);
    void append(std::string& out, std::uint8_t c);
    void append(std::string& out, std::string_view data);

private:
    std::array<bool, 256> m_escape{};
    std::uint8_t m_last = 0;
};

std::string hex_header(const Header& h);
std::string binary_header(const Header& h, bool crc32, Escaper& esc);
// Appends `data`, ZDLE `end` and the CRC of both.
void append_subpacket(std::string& out, std::string_view data, std::uint8_t end, bool crc32,
                      Escaper& esc);

// What ends a session at once: eight CAN, then eight backspaces to erase them from a
// shell that might see them.
std::string abort_sequence();

}  // namespace termiva::xfer::zm
