// Checksums of the X/Y/ZMODEM family: CRC-16/XMODEM (polynomial 0x1021, no reflection)
// and the reflected CRC-32 of ZMODEM's 32-bit frames.
#pragma once

#include <cstdint>
#include <string_view>

namespace termiva::xfer {

std::uint16_t crc16_update(std::uint16_t crc, std::uint8_t byte);
std::uint16_t crc16(std::string_view data, std::uint16_t crc = 0);

// Raw register update: start with 0xFFFFFFFF and complement the final value.
std::uint32_t crc32_update(std::uint32_t crc, std::uint8_t byte);
std::uint32_t crc32_raw(std::string_view data, std::uint32_t crc);
// The finished CRC-32 of `data` (initial all ones, final complement).
std::uint32_t crc32(std::string_view data);

// XMODEM's 8-bit arithmetic sum.
std::uint8_t checksum8(std::string_view data);

}  // namespace termiva::xfer
