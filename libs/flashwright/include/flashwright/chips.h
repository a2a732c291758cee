// The supported ESP32-family chips and the flash offset guess for firmware file names.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "flashwright/export.h"

namespace flashwright {

struct ChipInfo {
    std::string name;                  // display name, e.g. "ESP32-C3"
    std::vector<std::uint32_t> magic;  // accepted values of the chip-detect register
    std::uint32_t detect_reg = 0;
    std::uint32_t bootloader_offset = 0;
    bool supports_rom_erase_region = false;
    bool rom_deflate = true;  // the ROM loader takes FLASH_DEFL_* (every ESP32-family ROM)
};

// Chip key → record, searched in this order.
using ChipTable = std::vector<std::pair<std::string, ChipInfo>>;

FLASHWRIGHT_API extern const ChipTable CHIP_TABLE;

// Exact lower-case file names → flash offset; "bootloader.bin" is absent because its offset
// depends on the chip (ChipInfo::bootloader_offset).
FLASHWRIGHT_API extern const std::map<std::string, std::uint32_t> FILENAME_OFFSET_HINTS;

// The row of CHIP_TABLE for `key`, or null.
FLASHWRIGHT_API const ChipInfo* find_chip(std::string_view key) noexcept;

// Proposed flash offset for a firmware file name (only its base name counts), or none.
// `chip` is a CHIP_TABLE key or none when the chip is not known.
FLASHWRIGHT_API std::optional<std::uint32_t> guess_offset(
    std::string_view filename, std::optional<std::string> chip = std::nullopt) noexcept;

}  // namespace flashwright
