// Wire constants of the ESP serial bootloader protocol and the flashing job's fixed sizes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace flashwright {

// SLIP framing bytes.
inline constexpr std::uint8_t SLIP_END = 0xC0;
inline constexpr std::uint8_t SLIP_ESC = 0xDB;
inline constexpr std::uint8_t SLIP_ESC_END = 0xDC;
inline constexpr std::uint8_t SLIP_ESC_ESC = 0xDD;

// Command opcodes of the published protocol (not all of them are sent by this library).
inline constexpr std::uint8_t ESP_FLASH_BEGIN = 0x02;
inline constexpr std::uint8_t ESP_FLASH_DATA = 0x03;
inline constexpr std::uint8_t ESP_FLASH_END = 0x04;
inline constexpr std::uint8_t ESP_MEM_BEGIN = 0x05;
inline constexpr std::uint8_t ESP_MEM_END = 0x06;
inline constexpr std::uint8_t ESP_MEM_DATA = 0x07;
inline constexpr std::uint8_t ESP_SYNC = 0x08;
inline constexpr std::uint8_t ESP_WRITE_REG = 0x09;
inline constexpr std::uint8_t ESP_READ_REG = 0x0A;
inline constexpr std::uint8_t ESP_SPI_SET_PARAMS = 0x0B;
inline constexpr std::uint8_t ESP_SPI_ATTACH = 0x0D;
inline constexpr std::uint8_t ESP_CHANGE_BAUDRATE = 0x0F;
inline constexpr std::uint8_t ESP_FLASH_DEFL_BEGIN = 0x10;
inline constexpr std::uint8_t ESP_FLASH_DEFL_DATA = 0x11;
inline constexpr std::uint8_t ESP_FLASH_DEFL_END = 0x12;
inline constexpr std::uint8_t ESP_SPI_FLASH_MD5 = 0x13;
inline constexpr std::uint8_t ESP_ERASE_FLASH = 0xD0;
inline constexpr std::uint8_t ESP_ERASE_REGION = 0xD1;
inline constexpr std::uint8_t ESP_READ_FLASH = 0xD2;
inline constexpr std::uint8_t ESP_RUN_USER_CODE = 0xD3;

// Seed of the block payload checksum.
inline constexpr std::uint8_t ESP_CHECKSUM_MAGIC = 0xEF;

// Response time-out of every command that does not name its own, in seconds.
inline constexpr double CMD_TIMEOUT = 3.0;

inline constexpr int SYNC_RETRIES = 60;
inline constexpr std::size_t MEM_WRITE_SIZE = 6144;
inline constexpr std::string_view STUB_HELLO = "OHAI";
inline constexpr std::size_t FLASH_WRITE_SIZE_ROM = 1024;
inline constexpr std::size_t FLASH_WRITE_SIZE_STUB = 0x4000;

// Address of the chip-detect magic register, the same on every supported chip.
inline constexpr std::uint32_t CHIP_DETECT_MAGIC_REG_ADDR = 0x40001000;

}  // namespace flashwright
