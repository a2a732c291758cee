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

constexpr std::array<std::uint32_t, 256> make_crc32_table() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        table[i] = crc;
    }
    return table;
}

constexpr auto CRC16_TABLE = make_crc16_table();
constexpr auto CRC32_TABLE = make_crc32_table();

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
    return CRC32_TABLE[(crc ^ byte) & 0xFF] ^ (crc >> 8);
}

std::uint32_t crc32_raw(std::string_view data, std::uint32_t crc) {
    for (char c : data)
        crc = crc32_update(crc, static_cast<std::uint8_t>(c));
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
