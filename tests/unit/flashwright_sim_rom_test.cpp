// The ROM-only path as the ESP32-family ROM loader allows it: a faster line for the writes,
// compressed blocks, every image read back as an MD5, and the line's own speed afterwards.
#include "flashwright_sim_support.h"

namespace flashwright::testing {
namespace {

using esp_sim::SimConfig;
using esp_sim::SimRig;
using ::termiva::testing::TempDir;

class SimRom : public ::testing::Test {
protected:
    TempDir tmp;
    std::filesystem::path stubs = tmp.path() / "stubs";
    std::string boot = esp_sim::make_firmware_image(24000, 21);
    std::string app = esp_sim::make_firmware_image(150000, 22);
    std::string boot_path, app_path;
    void SetUp() override {
        std::filesystem::create_directories(stubs);
        boot_path = write_file(tmp.path() / "bootloader.bin", boot);
        app_path = write_file(tmp.path() / "app.bin", app);
    }
    std::string flash_at(const SimRig& rig, std::uint32_t offset, std::size_t size) {
        const auto flash = rig.sim.flash();
        return std::string(flash.begin() + offset, flash.begin() + offset + size);
    }
};

TEST_F(SimRom, TwoImagesAtAFasterLineCompressedAndVerified) {
    SimConfig config;
    config.chip = "esp32c3";
    SimRig rig(config);
    rig.make_job("esp-flash", {{boot_path, 0x0}, {app_path, 0x10000}},
                 {{"flash_baud", 921600}, {"chip", "esp32c3"}}, stubs, esp_sim::fast_timing());
    const auto done = rig.run();
    ASSERT_EQ(done["reason"], "Done") << done.dump();
    EXPECT_EQ(flash_at(rig, 0x0, boot.size()), boot);
    EXPECT_EQ(flash_at(rig, 0x10000, app.size()), app);

    // The ROM was told the new speed with 0 as the old one, the port followed, and went back.
    const auto change = commands_with(rig.sim, 0x0F);
    ASSERT_EQ(change.size(), 1u);
    EXPECT_EQ(le32(change[0].data, 0), 921600u);
    EXPECT_EQ(le32(change[0].data, 4), 0u);
    EXPECT_EQ(rig.baud_calls(), (std::vector<std::uint32_t>{921600, 115200}));
    EXPECT_EQ(rig.host_baud(), 115200);
    // Every data block went at the new speed, compressed.
    for (const auto& block : commands_with(rig.sim, 0x11))
        EXPECT_EQ(block.baud, 921600);
    EXPECT_EQ(rig.sim.count(0x03), 0u);
    const auto md5 = commands_with(rig.sim, 0x13);
    ASSERT_EQ(md5.size(), 2u);
    EXPECT_EQ(le32(md5[1].data, 0), 0x10000u);
    EXPECT_EQ(le32(md5[1].data, 4), app.size());
    EXPECT_TRUE(rig.events.has_log("app.bin verified (MD5 " + md5_hex(app) + ")"));
    // The board restarted into its application at the line's speed, which the port is at.
    EXPECT_EQ(rig.sim.baud(), 115200);
    EXPECT_EQ(rig.sim.app_boots(), 1);
}

TEST_F(SimRom, ABoardThatKeepsItsSpeedIsFlashedAtTheLinesSpeed) {
    SimConfig config;
    config.ignore_baud_change = true;
    SimRig rig(config);
    rig.make_job("esp-flash", {{app_path, 0x10000}}, {{"flash_baud", 921600}}, stubs,
                 esp_sim::fast_timing());
    const auto done = rig.run();
    ASSERT_EQ(done["reason"], "Done") << done.dump();
    EXPECT_TRUE(
        rig.events.has_log("The board did not answer at 921600 bit/s; going on at 115200 bit/s"));
    EXPECT_EQ(flash_at(rig, 0x10000, app.size()), app);
    EXPECT_EQ(rig.baud_calls(), (std::vector<std::uint32_t>{921600, 115200}));
    for (const auto& block : commands_with(rig.sim, 0x11))
        EXPECT_EQ(block.baud, 115200);
    // Nothing was sent at the new speed but the few re-sync attempts the board never heard.
    EXPECT_EQ(rig.host_baud(), 115200);
}

TEST_F(SimRom, AHashThatDoesNotMatchFailsNamingTheFileAndOffset) {
    SimConfig config;
    config.corrupt_md5 = true;
    SimRig rig(config);
    rig.make_job("esp-flash", {{boot_path, 0x1000}, {app_path, 0x10000}}, nullptr, stubs,
                 esp_sim::fast_timing());
    const auto done = rig.run();
    EXPECT_EQ(done["ok"], false);
    EXPECT_EQ(done["code"], "verify_mismatch");
    const std::string reason = done["reason"];
    EXPECT_EQ(reason.rfind("Verification failed: bootloader.bin at 0x1000", 0), 0u) << reason;
    EXPECT_EQ(done["values"]["expected"], md5_hex(boot));
    // The job stopped at the first image and did not restart the board.
    EXPECT_EQ(rig.sim.count(0x13), 1u);
    EXPECT_EQ(rig.sim.app_boots(), 0);
}

TEST_F(SimRom, VerifySwitchedOffSendsNoHash) {
    SimRig rig;
    rig.make_job("esp-flash", {{app_path, 0x10000}}, {{"verify", false}}, stubs,
                 esp_sim::fast_timing());
    EXPECT_EQ(rig.run()["reason"], "Done");
    EXPECT_EQ(rig.sim.count(0x13), 0u);
    EXPECT_EQ(flash_at(rig, 0x10000, app.size()), app);
}

TEST_F(SimRom, TheFlashSizeComesFromTheChoiceOrTheBootLoadersHeader) {
    {
        SimRig rig;  // ESP32: the boot loader at 0x1000 declares 4 MB (header byte 3 = 0x20)
        rig.make_job("esp-flash", {{boot_path, 0x1000}}, nullptr, stubs, esp_sim::fast_timing());
        EXPECT_EQ(rig.run()["reason"], "Done");
        EXPECT_EQ(le32(commands_with(rig.sim, 0x0B).at(0).data, 4), 4u << 20);
    }
    {
        SimRig rig;
        rig.make_job("esp-flash", {{app_path, 0x10000}}, {{"flash_size", 2u << 20}}, stubs,
                     esp_sim::fast_timing());
        EXPECT_EQ(rig.run()["reason"], "Done");
        EXPECT_EQ(le32(commands_with(rig.sim, 0x0B).at(0).data, 4), 2u << 20);
    }
}

}  // namespace
}  // namespace flashwright::testing
