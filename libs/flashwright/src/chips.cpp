#include "flashwright/chips.h"

#include <algorithm>
#include <cctype>

#include "flashwright/constants.h"

namespace flashwright {

const ChipTable CHIP_TABLE = {
    {"esp32", {"ESP32", {0x00F01D83}, CHIP_DETECT_MAGIC_REG_ADDR, 0x1000, false, true}},
    {"esp32s2", {"ESP32-S2", {0x000007C6}, CHIP_DETECT_MAGIC_REG_ADDR, 0x1000, true, true}},
    {"esp32s3", {"ESP32-S3", {0x00000009}, CHIP_DETECT_MAGIC_REG_ADDR, 0x0, true, true}},
    {"esp32c3",
     {"ESP32-C3",
      {0x6921506F, 0x1B31506F, 0x4881606F, 0x4361606F},
      CHIP_DETECT_MAGIC_REG_ADDR,
      0x0,
      true,
      true}},
    {"esp32c6", {"ESP32-C6", {0x2CE0806F}, CHIP_DETECT_MAGIC_REG_ADDR, 0x0, true, true}},
    {"esp32h2", {"ESP32-H2", {0xD7B73E80}, CHIP_DETECT_MAGIC_REG_ADDR, 0x0, true, true}},
    {"esp32p4", {"ESP32-P4", {0x00000000}, CHIP_DETECT_MAGIC_REG_ADDR, 0x2000, true, true}},
};

const std::map<std::string, std::uint32_t> FILENAME_OFFSET_HINTS = {
    {"partition-table.bin", 0x8000},
    {"partitions.bin", 0x8000},
    {"partitions_singleapp.bin", 0x8000},
    {"ota_data_initial.bin", 0xE000},
    {"app.bin", 0x10000},
    {"firmware.bin", 0x10000},
};

const ChipInfo* find_chip(std::string_view key) noexcept {
    for (const auto& [k, row] : CHIP_TABLE) {
        if (k == key) return &row;
    }
    return nullptr;
}

std::optional<std::uint32_t> guess_offset(std::string_view filename,
                                          std::optional<std::string> chip) noexcept {
    try {
        const auto cut = filename.find_last_of("/\\");
        std::string name(cut == std::string_view::npos ? filename : filename.substr(cut + 1));
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (name.find("bootloader") != std::string::npos) {
            // The second-stage boot loader sits at the chip's own offset (0x1000 on ESP32 and
            // ESP32-S2); without a known chip 0x0 is proposed and the user may edit it.
            const ChipInfo* row = chip ? find_chip(*chip) : nullptr;
            return row ? row->bootloader_offset : 0x0;
        }
        if (name.find("partition-table") != std::string::npos) return 0x8000;
        const auto it = FILENAME_OFFSET_HINTS.find(name);
        if (it == FILENAME_OFFSET_HINTS.end()) return std::nullopt;
        return it->second;
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace flashwright
