// The checksums every frame depends on, against their published check values.
#include <gtest/gtest.h>

#include "transfer/crc.h"

namespace termiva::xfer {
namespace {

TEST(TransferChecksums, MatchTheirStandardCheckValues) {
    EXPECT_EQ(crc16("123456789"), 0x31C3);  // CRC-16/XMODEM
    EXPECT_EQ(crc32("123456789"), 0xCBF43926u);
    EXPECT_EQ(crc16(""), 0);
    EXPECT_EQ(crc32(""), 0u);
}

TEST(TransferChecksums, CanBeComputedInPieces) {
    std::string data = "The quick brown fox jumps over the lazy dog";
    std::uint16_t c16 = crc16(data.substr(0, 10));
    c16 = crc16(data.substr(10), c16);
    EXPECT_EQ(c16, crc16(data));
    std::uint32_t c32 = crc32_raw(data.substr(0, 7), 0xFFFFFFFFu);
    c32 = crc32_raw(data.substr(7), c32);
    EXPECT_EQ(~c32, crc32(data));
    EXPECT_EQ(crc32(data), 0x414FA339u);
}

TEST(TransferChecksums, BulkCrc32AgreesWithTheByteByByteRegister) {
    std::string data;
    for (int i = 0; i < 300; ++i)
        data += static_cast<char>((i * 131 + 7) & 0xFF);
    for (std::size_t length = 0; length <= data.size(); length += 13) {
        std::uint32_t bytewise = 0xFFFFFFFFu;
        for (std::size_t i = 0; i < length; ++i) {
            bytewise = crc32_update(bytewise, static_cast<std::uint8_t>(data[i]));
        }
        EXPECT_EQ(crc32_raw(data.substr(0, length), 0xFFFFFFFFu), bytewise) << length;
    }
}

TEST(TransferChecksums, ChecksumIsTheByteSumModulo256) {
    EXPECT_EQ(checksum8(""), 0);
    EXPECT_EQ(checksum8(std::string("\x01\x02\x03", 3)), 6);
    EXPECT_EQ(checksum8(std::string(3, '\xff')), 0xFD);
}

}  // namespace
}  // namespace termiva::xfer
