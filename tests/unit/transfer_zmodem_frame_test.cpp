// ZMODEM framing: what the sender builds, read back by the receiving side.
#include <gtest/gtest.h>

#include "transfer/zmodem_frame.h"
#include "transfer/zmodem_reader.h"

namespace termiva::xfer::zm {
namespace {

using namespace std::chrono;

class ZmodemFraming : public ::testing::Test {
protected:
    ZmodemFraming() : ctx(link, nullptr, nullptr, options()), reader(ctx) {}

    static TransferOptions options() {
        TransferOptions o;
        o.timeout = milliseconds(200);
        o.char_timeout = milliseconds(100);
        return o;
    }

    static std::string every_byte() {
        std::string s;
        for (int c = 0; c < 256; ++c)
            s += static_cast<char>(c);
        return s + "@\r@\r\xc0\x8d";
    }

    ByteLink link;
    TransferContext ctx;
    Reader reader;
};

TEST_F(ZmodemFraming, HexHeadersMatchWhatLrzszPeersUse) {
    EXPECT_EQ(hex_header(Header::at(ZRQINIT, 0)),
              std::string("**\x18") + "B00000000000000\r\x8a\x11");
    EXPECT_EQ(hex_header(Header::with_flags(ZRINIT, CANFDX | CANOVIO | CANFC32)),
              std::string("**\x18") + "B0100000023be50\r\x8a\x11");
    // No XON after ZFIN: the peer may be leaving already.
    std::string fin = hex_header(Header::at(ZFIN, 0));
    EXPECT_NE(fin.back(), '\x11');
}

TEST_F(ZmodemFraming, PositionsAndFlagsSitWhereTheProtocolPutsThem) {
    Header pos = Header::at(ZRPOS, 0x12345678);
    EXPECT_EQ(pos.data[0], 0x78);
    EXPECT_EQ(pos.data[3], 0x12);
    EXPECT_EQ(pos.position(), 0x12345678u);
    Header flags = Header::with_flags(ZFILE, ZCBIN, 2);
    EXPECT_EQ(flags.zf0(), ZCBIN);
    EXPECT_EQ(flags.zf1(), 2);
    EXPECT_EQ(flags.data[3], ZCBIN);
}

TEST_F(ZmodemFraming, HeadersOfEveryKindReadBack) {
    Escaper esc;
    link.push("noise before **\x18 junk ");
    link.push(hex_header(Header::at(ZRPOS, 123456)));
    link.push(binary_header(Header::at(ZDATA, 0x01181113), false, esc));
    link.push(binary_header(Header::at(ZEOF, 0x7F7FFF91), true, esc));

    HeaderRead a = reader.read_header(milliseconds(200));
    ASSERT_EQ(a.status, HeaderRead::OK);
    EXPECT_EQ(a.header.type, ZRPOS);
    EXPECT_EQ(a.header.position(), 123456u);
    HeaderRead b = reader.read_header(milliseconds(200));
    ASSERT_EQ(b.status, HeaderRead::OK);
    EXPECT_EQ(b.header.type, ZDATA);
    EXPECT_EQ(b.header.position(), 0x01181113u);
    EXPECT_FALSE(b.crc32);
    HeaderRead c = reader.read_header(milliseconds(200));
    ASSERT_EQ(c.status, HeaderRead::OK);
    EXPECT_EQ(c.header.type, ZEOF);
    EXPECT_EQ(c.header.position(), 0x7F7FFF91u);
    EXPECT_TRUE(c.crc32);
    EXPECT_EQ(reader.read_header(milliseconds(20)).status, HeaderRead::TIMED_OUT);
}

TEST_F(ZmodemFraming, SubpacketsOfEveryByteValueReadBackWithBothCrcs) {
    for (bool escape_controls : {false, true}) {
        for (bool crc32 : {false, true}) {
            Escaper esc(escape_controls);
            std::string wire;
            append_subpacket(wire, every_byte(), ZCRCG, crc32, esc);
            append_subpacket(wire, "", ZCRCQ, crc32, esc);
            append_subpacket(wire, "tail", ZCRCW, crc32, esc);
            link.push(wire);
            std::string got;
            SubpacketRead r = reader.read_subpacket(got, crc32);
            ASSERT_EQ(r.status, SubpacketRead::OK);
            EXPECT_EQ(r.end, ZCRCG);
            EXPECT_EQ(got, every_byte());
            r = reader.read_subpacket(got, crc32);
            ASSERT_EQ(r.status, SubpacketRead::OK);
            EXPECT_EQ(r.end, ZCRCQ);
            EXPECT_EQ(got, "");
            r = reader.read_subpacket(got, crc32);
            ASSERT_EQ(r.status, SubpacketRead::OK);
            EXPECT_EQ(r.end, ZCRCW);
            EXPECT_EQ(got, "tail");
        }
    }
}

TEST_F(ZmodemFraming, EscapingHidesFlowControlAndTheEscapeItself) {
    for (bool escape_controls : {false, true}) {
        Escaper esc(escape_controls);
        std::string wire;
        esc.append(wire, every_byte());
        for (std::size_t i = 0; i < wire.size(); ++i) {
            auto c = static_cast<unsigned char>(wire[i]);
            EXPECT_NE(c & 0x7F, 0x11) << i;
            EXPECT_NE(c & 0x7F, 0x13) << i;
            EXPECT_NE(c & 0x7F, 0x10) << i;
            if (escape_controls && c != ZDLE) {
                EXPECT_GE(c & 0x7F, 0x20) << "raw control byte " << int(c);
            }
            if (c == ZDLE) {
                ASSERT_LT(i + 1, wire.size());
                EXPECT_EQ(static_cast<unsigned char>(wire[i + 1]) & 0x60, 0x40);
                ++i;
            }
        }
        EXPECT_EQ(wire.find("@\r"), std::string::npos);
    }
}

TEST_F(ZmodemFraming, ADamagedSubpacketIsRejected) {
    Escaper esc;
    std::string wire;
    append_subpacket(wire, std::string(300, 'a'), ZCRCE, true, esc);
    wire[150] = 'b';
    link.push(wire);
    std::string got;
    EXPECT_EQ(reader.read_subpacket(got, true).status, SubpacketRead::DAMAGED);
}

TEST_F(ZmodemFraming, ADamagedHeaderIsRejected) {
    std::string hex = hex_header(Header::at(ZRPOS, 5));
    hex[6] = '9';
    link.push(hex);
    EXPECT_EQ(reader.read_header(milliseconds(200)).status, HeaderRead::DAMAGED);
}

TEST_F(ZmodemFraming, ASubpacketLongerThanAllowedIsRejected) {
    Escaper esc;
    std::string wire;
    append_subpacket(wire, std::string(MAX_SUBPACKET + 10, 'z'), ZCRCE, true, esc);
    link.push(wire);
    std::string got;
    EXPECT_EQ(reader.read_subpacket(got, true).status, SubpacketRead::DAMAGED);
    EXPECT_LE(got.size(), MAX_SUBPACKET);
}

TEST_F(ZmodemFraming, FiveCancelsAbortTheSession) {
    link.push("**\x18");
    link.push(abort_sequence());
    EXPECT_THROW(reader.read_header(milliseconds(200)), TransferFailed);
}

TEST_F(ZmodemFraming, ATruncatedSubpacketTimesOut) {
    Escaper esc;
    std::string wire;
    append_subpacket(wire, "abcdef", ZCRCE, false, esc);
    link.push(wire.substr(0, 4));
    std::string got;
    EXPECT_EQ(reader.read_subpacket(got, false).status, SubpacketRead::TIMED_OUT);
}

}  // namespace
}  // namespace termiva::xfer::zm
