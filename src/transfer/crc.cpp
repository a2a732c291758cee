#include "transfer/crc.h"

#include <array>

namespace termiva::xfer {
namespace {

constexpr std::array<std::uint16_t, 256> make_crc16_table() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t crc = static_cast<std::uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<std::uint16_t>(crc << 1);
        }
        table[i] = crc;
    }
    return table;
}

// Four tables: tables[k][b] is the CRC register after byte b and k zero bytes, so four
// bytes fold in per step ("slicing by four").
constexpr std::array<std::array<std::uint32_t, 256>, 4> make_crc32_tables() {
    std::array<std::array<std::uint32_t, 256>, 4> tables{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        tables[0][i] = crc;
    }
    for (std::uint32_t i = 0; i < 256; ++i) {
        for (int k = 1; k < 4; ++k) {
            std::uint32_t prev = tables[k - 1][i];
            tables[k][i] = (prev >> 8) ^ tables[0][prev & 0xFF];
        }
    }
    return tables;
}

constexpr auto CRC16_TABLE = make_crc16_table();
constexpr auto CRC32_TABLES = make_crc32_tables();

}  // namespace

std::uint16_t crc16_update(std::uint16_t crc, std::uint8_t byte) {
    return static_cast<std::uint16_t>((crc << 8) ^ CRC16_TABLE[((crc >> 8) ^ byte) & 0xFF]);
}

std::uint16_t crc16(std::string_view data, std::uint16_t crc) {
    for (char c : data)
        crc = crc16_update(crc, static_cast<std::uint8_t>(c));
    return crc;
}

std::uint32_t crc32_update(std::uint32_t crc, std::uint8_t byte) {
    return CRC32_TABLES[0][(crc ^ byte) & 0xFF] ^ (crc >> 8);
}

std::uint32_t crc32_raw(std::string_view data, std::uint32_t crc) {
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    std::size_t n = data.size();
    while (n >= 4) {
        crc ^= static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
               static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
        crc = CRC32_TABLES[3][crc & 0xFF] ^ CRC32_TABLES[2][(crc >> 8) & 0xFF] ^
              CRC32_TABLES[1][(crc >> 16) & 0xFF] ^ CRC32_TABLES[0][crc >> 24];
        p += 4;
        n -= 4;
    }
    while (n-- > 0)
        crc = crc32_update(crc, *p++);
    return crc;
}

std::uint32_t crc32(std::string_view data) {
    return ~crc32_raw(data, 0xFFFFFFFFu);
}

std::uint8_t checksum8(std::string_view data) {
    unsigned sum = 0;
    for (char c : data)
        sum += static_cast<std::uint8_t>(c);
    return static_cast<std::uint8_t>(sum & 0xFF);
}

}  // namespace termiva::xfer
