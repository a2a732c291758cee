// Flash jobs against the simulated board: images land byte for byte, block and begin
// parameters, progress, per-file rules and the event sequence.
#include <zlib.h>

#include "flashwright_sim_support.h"

namespace flashwright::testing {
namespace {

using esp_sim::SimConfig;
using esp_sim::SimRig;
using ::termiva::testing::TempDir;

std::string zlib9(const std::string& raw) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &size,
              reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()), 9);
    out.resize(size);
    return out;
}

// Old flash contents with the given images written over erased sectors, as the board must
// end up.
std::vector<std::uint8_t> expected_flash(
    const SimConfig& config, const std::vector<std::pair<std::uint32_t, std::string>>& images,
    std::size_t erase_granule) {
    esp_sim::FlashModel model(config.flash_size, config.seed);
    std::vector<std::uint8_t> out = model.bytes();
    for (const auto& [offset, data] : images) {
        const std::size_t erased =
            (data.size() + erase_granule - 1) / erase_granule * erase_granule;
        std::fill(out.begin() + offset, out.begin() + offset + erased, 0xFF);
        std::copy(data.begin(), data.end(), out.begin() + offset);
    }
    return out;
}

class SimFlash : public ::testing::Test {
protected:
    TempDir tmp;
    std::filesystem::path stubs = tmp.path() / "stubs";
    void SetUp() override { std::filesystem::create_directories(stubs); }
};

TEST_F(SimFlash, TwoImagesRomOnlyLandByteForByte) {
    SimConfig config;
    config.chip = "esp32";
    SimRig rig(config);
    const std::string boot = esp_sim::make_firmware_image(20000, 1);
    const std::string app = esp_sim::make_firmware_image(70001, 2);
    const auto boot_path = write_file(tmp.path() / "bootloader.bin", boot);
    const auto app_path = write_file(tmp.path() / "app.bin", app);
    rig.make_job("esp-flash", {{boot_path, 0x1000}, {app_path, 0x10000}}, nullptr, stubs,
                 esp_sim::fast_timing());
    const auto done = rig.run();
    ASSERT_FALSE(done.is_null());
    EXPECT_EQ(done["reason"], "Done");
    EXPECT_TRUE(done["ok"].get<bool>());

    EXPECT_EQ(rig.sim.flash(), expected_flash(config, {{0x1000, boot}, {0x10000, app}}, 4096));
    EXPECT_TRUE(rig.events.has_log("No stub loader (esp32.json), writing through the ROM loader"));
    // The ESP32 ROM inflates by itself: compressed blocks of the ROM's size, no end command
    // (it would start the application), every image read back.
    EXPECT_FALSE(rig.events.has_log_prefix("The ESP32 ROM loader takes no compressed"));
    EXPECT_EQ(rig.sim.count(0x02) + rig.sim.count(0x03) + rig.sim.count(0x04), 0u);
    EXPECT_EQ(rig.sim.count(0x12), 0u);
    EXPECT_EQ(rig.sim.count(0x13), 2u);
    EXPECT_EQ(rig.sim.count(0x0B), 1u);

    const auto begins = commands_with(rig.sim, 0x10);
    ASSERT_EQ(begins.size(), 2u);
    EXPECT_EQ(le32(begins[0].data, 0), 20480u);  // erase size: whole sectors
    EXPECT_EQ(le32(begins[0].data, 8), 1024u);
    EXPECT_EQ(le32(begins[0].data, 4),
              commands_with(rig.sim, 0x11).size() - (le32(begins[1].data, 4)));
    EXPECT_EQ(le32(begins[0].data, 8), 1024u);
    EXPECT_EQ(le32(begins[0].data, 12), 0x1000u);
    EXPECT_EQ(le32(begins[1].data, 0), 73728u);
    EXPECT_EQ(le32(begins[1].data, 4), (zlib9(app).size() + 1023) / 1024);
    for (const auto& block : commands_with(rig.sim, 0x11))
        EXPECT_LE(block.data.size(), 16u + 1024u);
    EXPECT_EQ(rig.sim.count(0x0D), 1u);  // SPI attach, once, to the ROM
}

TEST_F(SimFlash, TwoImagesWithStubAndCompressionLandByteForByte) {
    SimConfig config;
    config.chip = "esp32s3";
    SimRig rig(config);
    const auto stub = install_stub(stubs, "esp32s3", true);
    const std::string boot = esp_sim::make_firmware_image(30000, 3);
    const std::string app = esp_sim::make_firmware_image(200000, 4);
    const auto boot_path = write_file(tmp.path() / "bootloader.bin", boot);
    const auto app_path = write_file(tmp.path() / "firmware.bin", app);
    rig.make_job("esp-flash", {{boot_path, 0x0}, {app_path, 0x10000}}, {{"compress", true}}, stubs,
                 esp_sim::fast_timing());
    const auto done = rig.run();
    ASSERT_FALSE(done.is_null());
    EXPECT_EQ(done["reason"], "Done");
    EXPECT_TRUE(rig.events.has_log("Stub loader running"));
    EXPECT_EQ(commands_with(rig.sim, 0x11).at(0).stub, true);
    EXPECT_EQ(rig.sim.ram_at(stub.text_start, stub.text.size()), stub.text);
    EXPECT_EQ(rig.sim.ram_at(stub.data_start, stub.data.size()), stub.data);

    EXPECT_EQ(rig.sim.flash(), expected_flash(config, {{0x0, boot}, {0x10000, app}}, 4096));
    EXPECT_EQ(rig.sim.count(0x02) + rig.sim.count(0x03), 0u);
    const auto begins = commands_with(rig.sim, 0x10);
    ASSERT_EQ(begins.size(), 2u);
    const std::string packed = zlib9(app);
    EXPECT_EQ(le32(begins[1].data, 0), app.size());  // uncompressed size announced
    EXPECT_EQ(le32(begins[1].data, 4), (packed.size() + 0x3FFF) / 0x4000);
    EXPECT_EQ(le32(begins[1].data, 8), 0x4000u);
    EXPECT_EQ(rig.sim.count(0x11),
              (zlib9(boot).size() + 0x3FFF) / 0x4000 + le32(begins[1].data, 4));
    EXPECT_EQ(rig.sim.count(0x0D), 1u);

    bool detail_seen = false;
    for (const auto& e : rig.events.of_kind("phase")) {
        detail_seen |= e["detail"] == "firmware.bin (compressed 200000 → " +
                                          std::to_string(packed.size()) + " bytes)";
    }
    EXPECT_TRUE(detail_seen);
}

TEST_F(SimFlash, SuccessfulTwoImageJobEmitsEventsInOrder) {
    SimConfig config;
    config.chip = "esp32s3";
    SimRig rig(config);
    install_stub(stubs, "esp32s3", false);
    const std::string a = esp_sim::make_firmware_image(40000, 5);
    const std::string b = esp_sim::make_firmware_image(5000, 6);
    const auto a_path = write_file(tmp.path() / "a.bin", a);
    const auto b_path = write_file(tmp.path() / "b.bin", b);
    rig.make_job("esp-flash", {{a_path, 0x0}, {b_path, 0x20000}}, {{"interface", "auto"}}, stubs,
                 esp_sim::fast_timing());
    ASSERT_EQ(rig.run()["reason"], "Done");

    const auto blocks = [](const std::string& raw) {
        return (zlib9(raw).size() + 0x3FFF) / 0x4000;
    };
    std::vector<std::string> expected = {"phase:reset",
                                         "log:Auto mode: trying the UART reset first",
                                         "phase:sync",
                                         "phase:detect",
                                         "log:Detected ESP32-S3 (magic=0x00000009)",
                                         "phase:stub",
                                         "log:Stub loader running",
                                         "log:Flash size 4 MB, as the header of a.bin states",
                                         "log:[1/2] a.bin → 0x0",
                                         "phase:flash"};
    for (std::size_t i = 0; i < blocks(a); ++i)
        expected.push_back("progress:a.bin");
    expected.insert(expected.end(),
                    {"phase:verify", "log:a.bin verified (MD5 " + md5_hex(a) + ")",
                     "file_done:a.bin", "log:[2/2] b.bin → 0x20000", "phase:flash"});
    for (std::size_t i = 0; i < blocks(b); ++i)
        expected.push_back("progress:b.bin");
    expected.insert(expected.end(),
                    {"phase:verify", "log:b.bin verified (MD5 " + md5_hex(b) + ")",
                     "file_done:b.bin", "phase:after-reset",
                     "log:Hard reset done, the board runs its application again", "done:Done"});
    const auto events = rig.events.all();
    EXPECT_EQ(event_outline(events), expected);

    // Progress is scaled to raw bytes and ends at the file size; file_done names the path.
    std::uint64_t last = 0;
    for (const auto& e : rig.events.of_kind("progress")) {
        if (e["filename"] != "a.bin") continue;
        EXPECT_GE(e["sent"].get<std::uint64_t>(), last);
        last = e["sent"].get<std::uint64_t>();
        EXPECT_EQ(e["total"], 40000);
    }
    EXPECT_EQ(last, 40000u);
    EXPECT_EQ(rig.events.of_kind("file_done")[0]["saved_path"], a_path);
    EXPECT_EQ(rig.events.of_kind("done")[0]["ok"], true);
    EXPECT_EQ(rig.reset_calls(), (std::vector<std::string>{"uart", "hard"}));
    EXPECT_EQ(rig.sim.app_boots(), 1);
}

TEST_F(SimFlash, OneByteImageThroughTheRomIsOnePaddedBlock) {
    SimRig rig;
    const auto path = write_file(tmp.path() / "one.bin", "\x5A");
    rig.make_job("esp-flash", {{path, 0x20000}}, {{"compress", false}}, stubs,
                 esp_sim::fast_timing());
    ASSERT_EQ(rig.run()["reason"], "Done");
    const auto begin = commands_with(rig.sim, 0x02).at(0);
    EXPECT_EQ(le32(begin.data, 0), 4096u);
    EXPECT_EQ(le32(begin.data, 4), 1u);
    EXPECT_EQ(le32(begin.data, 8), 1024u);
    EXPECT_EQ(le32(begin.data, 12), 0x20000u);
    const auto data = commands_with(rig.sim, 0x03).at(0).data;
    EXPECT_EQ(data.substr(16), "\x5A" + std::string(1023, '\xFF'));
    const auto progress = rig.events.of_kind("progress");
    ASSERT_EQ(progress.size(), 1u);
    EXPECT_EQ(progress[0]["sent"], 1);
    EXPECT_EQ(progress[0]["total"], 1);
    EXPECT_FALSE(rig.events.has_log_prefix("The ESP32 ROM loader takes no compressed"));
    EXPECT_EQ(rig.sim.flash()[0x20000], 0x5A);
    EXPECT_EQ(rig.sim.flash()[0x20001], 0xFF);
}

TEST_F(SimFlash, OneByteImageWithTheStubIsOneUnpaddedCompressedBlock) {
    SimRig rig;
    install_stub(stubs, "esp32", false);
    const auto path = write_file(tmp.path() / "one.bin", "\x5A");
    rig.make_job("esp-flash", {{path, 0x20000}}, nullptr, stubs, esp_sim::fast_timing());
    ASSERT_EQ(rig.run()["reason"], "Done");
    const auto begin = commands_with(rig.sim, 0x10).at(0);
    EXPECT_EQ(le32(begin.data, 0), 1u);
    EXPECT_EQ(le32(begin.data, 4), 1u);
    EXPECT_EQ(le32(begin.data, 8), 0x4000u);
    const auto block = commands_with(rig.sim, 0x11);
    ASSERT_EQ(block.size(), 1u);
    EXPECT_EQ(block[0].data.substr(16), zlib9("\x5A"));
    EXPECT_EQ(rig.sim.flash()[0x20000], 0x5A);
}

TEST_F(SimFlash, SixteenKiBWithTheStubUncompressedIsOneBlock) {
    SimRig rig;
    install_stub(stubs, "esp32", false);
    const std::string image = esp_sim::make_firmware_image(16384, 8);
    const auto path = write_file(tmp.path() / "app.bin", image);
    rig.make_job("esp-flash", {{path, 0x10000}}, {{"compress", false}}, stubs,
                 esp_sim::fast_timing());
    ASSERT_EQ(rig.run()["reason"], "Done");
    const auto begin = commands_with(rig.sim, 0x02).at(0);
    EXPECT_EQ(le32(begin.data, 0), 16384u);
    EXPECT_EQ(le32(begin.data, 4), 1u);
    const auto blocks = commands_with(rig.sim, 0x03);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(le32(blocks[0].data, 4), 0u);
    EXPECT_TRUE(blocks[0].stub);
    const auto flash = rig.sim.flash();
    EXPECT_EQ(std::string(flash.begin() + 0x10000, flash.begin() + 0x14000), image);
}

TEST_F(SimFlash, MisalignedOffsetFailsBeforeAnythingIsSentForThatFile) {
    SimRig rig;
    const std::string first = esp_sim::make_firmware_image(3000, 9);
    const auto a = write_file(tmp.path() / "a.bin", first);
    const auto b = write_file(tmp.path() / "b.bin", "payload");
    rig.make_job("esp-flash", {{a, 0x8000}, {b, 0x1001}}, nullptr, stubs, esp_sim::fast_timing());
    const auto done = rig.run();
    EXPECT_EQ(done["reason"], "Protocol error: b.bin offset 0x1001 is not aligned to 4 KB");
    EXPECT_EQ(done["ok"], false);
    EXPECT_EQ(rig.sim.count(0x10), 1u);
    const auto flash = rig.sim.flash();
    EXPECT_EQ(std::string(flash.begin() + 0x8000, flash.begin() + 0x8000 + 3000), first);
    for (const auto& e : rig.events.of_kind("phase"))
        EXPECT_NE(e["name"], "after-reset");
    EXPECT_EQ(rig.sim.app_boots(), 0);
}

TEST_F(SimFlash, EmptyImageIsSkippedWithAWarning) {
    SimRig rig;
    const auto empty = write_file(tmp.path() / "empty.bin", "");
    const auto app = write_file(tmp.path() / "app.bin", "abc");
    rig.make_job("esp-flash", {{empty, 0x0}, {app, 0x10000}}, nullptr, stubs,
                 esp_sim::fast_timing());
    EXPECT_EQ(rig.run()["reason"], "Done");
    EXPECT_TRUE(rig.events.has_log("Skipped the empty file empty.bin"));
    const auto done_files = rig.events.of_kind("file_done");
    ASSERT_EQ(done_files.size(), 1u);
    EXPECT_EQ(done_files[0]["filename"], "app.bin");
    EXPECT_EQ(rig.sim.count(0x10), 1u);
}

TEST_F(SimFlash, MissingFileAndNoFilesAreProtocolErrors) {
    {
        SimRig rig;
        const std::string missing = (tmp.path() / "nope.bin").string();
        rig.make_job("esp-flash", {{missing, 0x0}}, nullptr, stubs, esp_sim::fast_timing());
        EXPECT_EQ(rig.run()["reason"], "Protocol error: file not found: " + missing);
    }
    {
        SimRig rig;
        rig.make_job("esp-flash", {}, nullptr, stubs, esp_sim::fast_timing());
        EXPECT_EQ(rig.run()["reason"], "Protocol error: no file to write was given");
    }
}

TEST_F(SimFlash, NoAfterResetWhenSwitchedOff) {
    SimRig rig;
    const auto app = write_file(tmp.path() / "app.bin", "abc");
    rig.make_job("esp-flash", {{app, 0x10000}}, {{"auto_reset_after", false}}, stubs,
                 esp_sim::fast_timing());
    EXPECT_EQ(rig.run()["reason"], "Done");
    for (const auto& e : rig.events.of_kind("phase"))
        EXPECT_NE(e["name"], "after-reset");
    EXPECT_EQ(rig.reset_calls(), std::vector<std::string>{"uart"});
    EXPECT_EQ(rig.sim.app_boots(), 0);
}

TEST_F(SimFlash, BoardThatGoesSilentEndsWithTheTimeOutReason) {
    SimConfig config;
    config.silent_after_blocks = 2;
    SimRig rig(config);
    const auto app = write_file(tmp.path() / "app.bin", esp_sim::make_firmware_image(8000, 3));
    auto timing = esp_sim::fast_timing();
    timing.flash_block_timeout = 0.3;
    rig.make_job("esp-flash", {{app, 0x10000}}, {{"compress", false}}, stubs, timing);
    const auto done = rig.run();
    EXPECT_EQ(done["reason"], "No answer from the board (timed out)");
    EXPECT_EQ(done["ok"], false);
    EXPECT_EQ(rig.events.of_kind("progress").size(), 2u);
}

}  // namespace
}  // namespace flashwright::testing
