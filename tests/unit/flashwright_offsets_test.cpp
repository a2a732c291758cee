// The chip table and the offset guess, through the shared library's public interface.
#include <gtest/gtest.h>

#include "flashwright/chips.h"
#include "flashwright/constants.h"

namespace flashwright {
namespace {

TEST(ChipTable, KeysNamesAndOffsetsInTableOrder) {
    const std::vector<std::string> keys = {"esp32",   "esp32s2", "esp32s3", "esp32c3",
                                           "esp32c6", "esp32h2", "esp32p4"};
    const std::vector<std::string> names = {"ESP32",    "ESP32-S2", "ESP32-S3", "ESP32-C3",
                                            "ESP32-C6", "ESP32-H2", "ESP32-P4"};
    ASSERT_EQ(CHIP_TABLE.size(), keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(CHIP_TABLE[i].first, keys[i]);
        EXPECT_EQ(CHIP_TABLE[i].second.name, names[i]);
        EXPECT_EQ(CHIP_TABLE[i].second.detect_reg, 0x40001000u);
    }
    EXPECT_EQ(find_chip("esp32")->bootloader_offset, 0x1000u);
    EXPECT_EQ(find_chip("esp32s2")->bootloader_offset, 0x1000u);
    EXPECT_EQ(find_chip("esp32p4")->bootloader_offset, 0x2000u);
    EXPECT_EQ(find_chip("esp32c3")->bootloader_offset, 0x0u);
    EXPECT_FALSE(find_chip("esp32")->supports_rom_erase_region);
    EXPECT_TRUE(find_chip("esp32s3")->supports_rom_erase_region);
    EXPECT_EQ(find_chip("esp32c3")->magic,
              (std::vector<std::uint32_t>{0x6921506F, 0x1B31506F, 0x4881606F, 0x4361606F}));
    EXPECT_EQ(find_chip("esp32p4")->magic, std::vector<std::uint32_t>{0});
    EXPECT_EQ(find_chip("ESP32-C3"), nullptr);
}

TEST(GuessOffset, NameRulesIgnoreCaseAndDirectories) {
    EXPECT_EQ(guess_offset("Bootloader.bin"), 0x0u);
    EXPECT_EQ(guess_offset("my-partition-table-v2.bin"), 0x8000u);
    EXPECT_EQ(guess_offset("ota_data_initial.bin"), 0xE000u);
    EXPECT_EQ(guess_offset("firmware.bin"), 0x10000u);
    EXPECT_EQ(guess_offset("APP.BIN"), 0x10000u);
    EXPECT_EQ(guess_offset("app.bin.bak"), std::nullopt);
    EXPECT_EQ(guess_offset("/home/u/build/partitions.bin"), 0x8000u);
    EXPECT_EQ(guess_offset("C:\\fw\\partitions_singleapp.bin"), 0x8000u);
    EXPECT_EQ(guess_offset("build/partitions/app.elf"), std::nullopt);
    EXPECT_EQ(guess_offset(""), std::nullopt);
}

TEST(GuessOffset, BootLoaderFollowsAKnownChip) {
    EXPECT_EQ(guess_offset("bootloader.bin", std::string("esp32")), 0x1000u);
    EXPECT_EQ(guess_offset("bootloader.bin", std::string("esp32p4")), 0x2000u);
    EXPECT_EQ(guess_offset("bootloader.bin", std::string("esp32c3")), 0x0u);
    EXPECT_EQ(guess_offset("bootloader.bin", std::string("nonsense")), 0x0u);
}

TEST(Constants, ProtocolValues) {
    EXPECT_EQ(SLIP_END, 0xC0);
    EXPECT_EQ(SLIP_ESC, 0xDB);
    EXPECT_EQ(ESP_ERASE_FLASH, 0xD0);
    EXPECT_EQ(ESP_FLASH_DEFL_DATA, 0x11);
    EXPECT_EQ(ESP_CHECKSUM_MAGIC, 0xEF);
    EXPECT_EQ(FLASH_WRITE_SIZE_STUB, 0x4000u);
    EXPECT_EQ(STUB_HELLO, "OHAI");
}

}  // namespace
}  // namespace flashwright
