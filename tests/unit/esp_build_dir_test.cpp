// A build folder as ESP-IDF leaves it, read into the firmware table's files and offsets.
#include <gtest/gtest.h>

#include <fstream>

#include "app/esp/esp_tools.h"
#include "support/test_support.h"

namespace termiva {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

void write(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
}

TEST(EspBuildDir, FlasherArgsJsonListsImagesInOffsetOrder) {
    testing::TempDir dir;
    write(dir.path() / "bootloader/bootloader.bin", "b");
    write(dir.path() / "partition_table/partition-table.bin", "p");
    write(dir.path() / "hello.bin", "a");
    write(dir.path() / "flasher_args.json", R"({"write_flash_args": ["--flash_mode", "dio"],
        "flash_files": {"0x10000": "hello.bin", "0x0": "bootloader/bootloader.bin",
                        "0x8000": "partition_table/partition-table.bin"},
        "extra_esptool_args": {"chip": "esp32s3"}})");
    const json got = EspTools::esp_files_from_build_dir(dir.path().string());
    ASSERT_EQ(got["ok"], true) << got.dump();
    EXPECT_EQ(
        got["files"],
        (json::array(
            {{{"path", (dir.path() / "bootloader/bootloader.bin").string()}, {"offset", "0x0"}},
             {{"path", (dir.path() / "partition_table/partition-table.bin").string()},
              {"offset", "0x8000"}},
             {{"path", (dir.path() / "hello.bin").string()}, {"offset", "0x10000"}}})));
}

TEST(EspBuildDir, FlashArgsTextSkipsTheOptionsLine) {
    testing::TempDir dir;
    write(dir.path() / "bootloader/bootloader.bin", "b");
    write(dir.path() / "app.bin", "a");
    write(dir.path() / "flash_args",
          "--flash_mode dio --flash_freq 80m --flash_size 2MB\n0x1000 "
          "bootloader/bootloader.bin\n0x10000 app.bin\n");
    const json got = EspTools::esp_files_from_build_dir(dir.path().string());
    ASSERT_EQ(got["ok"], true) << got.dump();
    ASSERT_EQ(got["files"].size(), 2u);
    EXPECT_EQ(got["files"][0]["offset"], "0x1000");
    EXPECT_EQ(got["files"][1],
              (json{{"path", (dir.path() / "app.bin").string()}, {"offset", "0x10000"}}));
}

TEST(EspBuildDir, WhatCannotBeUsedIsSaid) {
    testing::TempDir dir;
    json got = EspTools::esp_files_from_build_dir(dir.path().string());
    EXPECT_EQ(got["ok"], false);
    EXPECT_NE(got["reason"].get<std::string>().find("flash_args"), std::string::npos);

    write(dir.path() / "flash_args", "0x10000 gone.bin\n");
    got = EspTools::esp_files_from_build_dir(dir.path().string());
    EXPECT_EQ(got["ok"], false);
    EXPECT_NE(got["reason"].get<std::string>().find("gone.bin"), std::string::npos);

    write(dir.path() / "flash_args", "zz app.bin\n");
    got = EspTools::esp_files_from_build_dir(dir.path().string());
    EXPECT_EQ(got["ok"], false);
    EXPECT_NE(got["reason"].get<std::string>().find("zz app.bin"), std::string::npos);

    write(dir.path() / "flasher_args.json", "{not json");
    got = EspTools::esp_files_from_build_dir(dir.path().string());
    EXPECT_EQ(got["ok"], false);
}

}  // namespace
}  // namespace termiva
