// Bootloader entry, sync, chip detection, the stub loader and whole-flash erase against the
// simulated board.
#include "flashwright_sim_support.h"

namespace flashwright::testing {
namespace {

using esp_sim::Port;
using esp_sim::SimConfig;
using esp_sim::SimRig;
using ::termiva::testing::TempDir;

// Sync attempts kept short so that 60 of them take a moment, not half a minute.
FlasherTiming quick_sync() {
    auto t = esp_sim::fast_timing();
    t.sync_flush = 0.002;
    t.sync_response_timeout = 0.02;
    t.sync_pause = 0.002;
    return t;
}

class SimSession : public ::testing::Test {
protected:
    TempDir tmp;
    std::filesystem::path stubs = tmp.path() / "stubs";
    std::string app;
    void SetUp() override {
        std::filesystem::create_directories(stubs);
        app = write_file(tmp.path() / "app.bin", esp_sim::make_firmware_image(5000, 1));
    }
};

TEST_F(SimSession, StrayFrameDelimitersInTheBootNoiseDoNotStopSync) {
    SimConfig config;
    config.boot_noise = true;  // three stray 0xC0 among the reset glitch bytes
    config.sync_extra_replies = 0;
    SimRig rig(config);
    rig.make_job("esp-flash", {{app, 0x10000}}, nullptr, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"], "完成");
    // At most the first answer is lost to the noise.
    EXPECT_LE(rig.sim.count(0x08), 2u);
}

TEST_F(SimSession, UsbJtagBoardSyncsOnlyAfterTheSwitch) {
    SimConfig config;
    config.port = Port::UsbJtag;
    SimRig rig(config);
    rig.make_job("esp-flash", {{app, 0x10000}}, {{"interface", "auto"}}, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"], "完成");
    EXPECT_TRUE(rig.events.has_log("UART reset 沒回應,切換 USB-Serial-JTAG reset"));
    EXPECT_EQ(rig.reset_calls(), (std::vector<std::string>{"uart", "usb", "hard"}));
    // The board heard only the syncs sent after its reset into download mode.
    EXPECT_EQ(rig.sim.download_resets(), 1);
    EXPECT_GE(rig.sim.count(0x08), 1u);
    EXPECT_LE(rig.sim.count(0x08), 60u - 31u);
}

TEST_F(SimSession, FailingUsbSwitchIsLoggedAndSyncGoesOn) {
    SimConfig config;
    config.port = Port::UsbJtag;
    SimRig rig(config);
    auto timing = quick_sync();
    timing.sync_retries = 35;
    rig.make_job("esp-flash", {{app, 0x10000}}, nullptr, stubs, timing,
                 {.uart = true, .usb = true, .hard = true, .usb_throws = true});
    EXPECT_EQ(rig.run()["reason"], "SYNC 失敗 — 板子沒有進入 download mode");
    EXPECT_TRUE(rig.events.has_log("UART reset 沒回應,切換 USB-Serial-JTAG reset"));
    EXPECT_TRUE(rig.events.has_log("USB-JTAG reset 失敗:boom"));
    EXPECT_EQ(rig.reset_calls(), (std::vector<std::string>{"uart", "usb"}));
}

TEST_F(SimSession, UsbJtagInterfaceNeverUsesTheUartReset) {
    SimConfig config;
    config.port = Port::UsbJtag;
    SimRig rig(config);
    rig.make_job("esp-flash", {{app, 0x10000}}, {{"interface", "usb-jtag"}}, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"], "完成");
    EXPECT_TRUE(rig.events.has_log("使用 USB-Serial-JTAG reset 進入 download mode"));
    EXPECT_FALSE(rig.events.has_log("UART reset 沒回應,切換 USB-Serial-JTAG reset"));
    EXPECT_EQ(rig.reset_calls(), (std::vector<std::string>{"usb", "hard"}));
}

TEST_F(SimSession, UartInterfaceNeverSwitchesAndSyncFails) {
    SimConfig config;
    config.port = Port::UsbJtag;
    SimRig rig(config);
    rig.make_job("esp-flash", {{app, 0x10000}}, {{"interface", "uart"}}, stubs, quick_sync());
    const auto done = rig.run(std::chrono::seconds(30));
    EXPECT_EQ(done["reason"], "SYNC 失敗 — 板子沒有進入 download mode");
    EXPECT_TRUE(rig.events.has_log("使用 UART classic reset 進入 download mode"));
    EXPECT_EQ(rig.reset_calls(), std::vector<std::string>{"uart"});
    EXPECT_EQ(rig.sim.download_resets(), 0);
}

TEST_F(SimSession, AutoWithoutUsbResetRunsAllAttemptsWithoutSwitching) {
    SimConfig config;
    config.port = Port::UsbJtag;
    SimRig rig(config);
    rig.make_job("esp-flash", {{app, 0x10000}}, nullptr, stubs, quick_sync(),
                 {.uart = true, .usb = false, .hard = true});
    EXPECT_EQ(rig.run(std::chrono::seconds(30))["reason"],
              "SYNC 失敗 — 板子沒有進入 download mode");
    EXPECT_FALSE(rig.events.has_log("UART reset 沒回應,切換 USB-Serial-JTAG reset"));
}

TEST_F(SimSession, UnknownInterfaceStringStillUsesUartFirstAndNeverSwitches) {
    SimRig rig;
    rig.make_job("esp-flash", {{app, 0x10000}}, {{"interface", "serial"}}, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"], "完成");
    EXPECT_TRUE(rig.events.has_log("自動模式:先嘗試 UART reset"));
}

TEST_F(SimSession, ForcedChipSkipsTheRegisterRead) {
    SimConfig config;
    config.chip = "esp32c3";
    SimRig rig(config);
    rig.make_job("esp-flash", {{app, 0x10000}}, {{"chip", "esp32c3"}}, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"], "完成");
    EXPECT_TRUE(rig.events.has_log("使用指定晶片:ESP32-C3"));
    EXPECT_EQ(rig.sim.count(0x0A), 0u);
}

TEST_F(SimSession, DisplayNameIsNotAChipKeyAndFallsBackToDetection) {
    SimConfig config;
    config.chip = "esp32c3";
    SimRig rig(config);
    rig.make_job("esp-flash", {{app, 0x10000}}, {{"chip", "ESP32-C3"}}, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"], "完成");
    EXPECT_TRUE(rig.events.has_log("未知 chip 字串:ESP32-C3,改自動偵測"));
    EXPECT_TRUE(rig.events.has_log("偵測到 ESP32-C3(magic=0x1B31506F)"));
    EXPECT_EQ(rig.sim.count(0x0A), 1u);
}

TEST_F(SimSession, UnknownMagicEndsTheJob) {
    SimConfig config;
    config.magic = 0x12345678;
    SimRig rig(config);
    rig.make_job("esp-flash", {{app, 0x10000}}, nullptr, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"], "晶片偵測失敗");
    EXPECT_TRUE(rig.events.has_log("無法識別 chip magic 0x12345678;請手動指定晶片"));
    EXPECT_EQ(rig.events.of_kind("log").back()["level"], "error");
    EXPECT_EQ(rig.sim.count(0x0D), 0u);
}

TEST_F(SimSession, MagicZeroIsEsp32P4) {
    SimConfig config;
    config.chip = "esp32p4";
    SimRig rig(config);
    rig.make_job("esp-flash", {{app, 0x10000}}, nullptr, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"], "完成");
    EXPECT_TRUE(rig.events.has_log("偵測到 ESP32-P4(magic=0x00000000)"));
}

TEST_F(SimSession, UnparsableStubFallsBackToRomOnly) {
    SimRig rig;
    write_file(stubs / "esp32.json", "{ this is not json");
    rig.make_job("esp-flash", {{app, 0x10000}}, nullptr, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"], "完成");
    bool seen = false;
    for (const auto& e : rig.events.of_kind("log")) {
        const std::string text = e["text"];
        if (text.rfind("解析 stub blob 失敗:", 0) == 0) {
            seen = true;
            EXPECT_EQ(e["level"], "warn");
            EXPECT_TRUE(text.ends_with(",退到 ROM-only"));
        }
    }
    EXPECT_TRUE(seen);
    EXPECT_EQ(rig.sim.count(0x05), 0u);
    EXPECT_GT(rig.sim.count(0x03), 0u);  // uncompressed ROM blocks
}

TEST_F(SimSession, StubWithDataButNoDataStartIsUnparsable) {
    SimRig rig;
    auto doc = esp_sim::make_synthetic_stub(1, true).to_json();
    doc.erase("data_start");
    write_file(stubs / "esp32.json", doc.dump());
    rig.make_job("esp-flash", {{app, 0x10000}}, nullptr, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"], "完成");
    EXPECT_TRUE(rig.events.has_log_prefix("解析 stub blob 失敗:"));
    EXPECT_EQ(rig.sim.count(0x05), 0u);
}

TEST_F(SimSession, StubWithoutDataUploadsTextOnly) {
    SimRig rig;
    const auto stub = install_stub(stubs, "esp32", false);
    rig.make_job("esp-flash", {{app, 0x10000}}, nullptr, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"], "完成");
    EXPECT_TRUE(rig.events.has_log("Stub loader 上線"));
    EXPECT_EQ(rig.sim.count(0x05), 1u);
    EXPECT_EQ(rig.sim.count(0x07), 3u);  // 6144 + 6144 + 785 bytes
    const auto end = commands_with(rig.sim, 0x06).at(0);
    EXPECT_EQ(le32(end.data, 0), 0u);
    EXPECT_EQ(le32(end.data, 4), stub.entry);
    EXPECT_EQ(rig.sim.ram_at(stub.text_start, stub.text.size()), stub.text);
}

TEST_F(SimSession, StubThatNeverGreetsLeavesTheJobInRomOnlyMode) {
    SimRig rig;
    auto stub = esp_sim::make_synthetic_stub(2, false);
    stub.entry += 4;  // points past the marker: the board crashes instead of greeting
    write_file(stubs / "esp32.json", stub.to_json().dump());
    auto timing = quick_sync();
    timing.ohai_timeout = 0.2;
    timing.cmd_timeout = 0.2;
    timing.flash_begin_timeout = 0.2;
    rig.make_job("esp-flash", {{app, 0x10000}}, nullptr, stubs, timing);
    const auto done = rig.run();
    EXPECT_TRUE(rig.events.has_log("等 stub OHAI 超時"));
    // The crashed board no longer answers, so the first flash command times out.
    EXPECT_EQ(done["reason"], "例外:等不到 SLIP packet");
}

TEST_F(SimSession, EraseOnEsp32RomOnlyIsRefused) {
    SimRig rig;
    rig.make_job("esp-erase-flash", {}, nullptr, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"],
              "協定錯誤:ESP32 的 ROM 不支援 erase_flash,需要 stub blob 才能全清");
    EXPECT_EQ(rig.sim.count(0xD0), 0u);
}

TEST_F(SimSession, EraseOnEsp32S3RomOnlyIsSent) {
    SimConfig config;
    config.chip = "esp32s3";
    SimRig rig(config);
    rig.make_job("esp-erase-flash", {}, nullptr, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"], "完成");
    EXPECT_EQ(rig.sim.count(0xD0), 1u);
    const auto flash = rig.sim.flash();
    EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](std::uint8_t b) { return b == 0xFF; }));
    bool erase_phase = false;
    for (const auto& e : rig.events.of_kind("phase")) {
        erase_phase |= e["name"] == "erase" && e["detail"] == "整顆 flash(可能需要數分鐘)";
    }
    EXPECT_TRUE(erase_phase);
}

TEST_F(SimSession, EraseOnEsp32WithTheStubWorks) {
    SimRig rig;
    install_stub(stubs, "esp32", false);
    rig.make_job("esp-erase-flash", {}, nullptr, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"], "完成");
    EXPECT_TRUE(commands_with(rig.sim, 0xD0).at(0).stub);
}

TEST_F(SimSession, UnknownModeEndsAfterTheStubStepWithoutReset) {
    SimRig rig;
    rig.make_job("esp-bogus", {}, nullptr, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"], "未知 mode esp-bogus");
    EXPECT_EQ(rig.reset_calls(), std::vector<std::string>{"uart"});
}

TEST_F(SimSession, FailingResetFunctionsAreLoggedAndTheJobGoesOn) {
    SimRig rig;
    rig.sim.classic_download_reset();  // the board is already waiting for download
    rig.make_job(
        "esp-flash", {{app, 0x10000}}, nullptr, stubs, quick_sync(),
        {.uart = true, .usb = true, .hard = true, .uart_throws = true, .hard_throws = true});
    const auto done = rig.run();
    EXPECT_EQ(done["reason"], "完成");
    EXPECT_EQ(done["ok"], true);
    EXPECT_TRUE(rig.events.has_log("reset 失敗:boom"));
    EXPECT_TRUE(rig.events.has_log("hard-reset 失敗:boom"));
    EXPECT_FALSE(rig.events.has_log("已 hard-reset,板子重新進入應用程式"));
}

TEST_F(SimSession, MissingResetFunctionsAreSkippedSilently) {
    SimRig rig;
    rig.sim.classic_download_reset();
    rig.make_job("esp-flash", {{app, 0x10000}}, nullptr, stubs, quick_sync(),
                 {.uart = false, .usb = false, .hard = false});
    EXPECT_EQ(rig.run()["reason"], "完成");
    EXPECT_FALSE(rig.events.has_log_prefix("reset 失敗:"));
    EXPECT_FALSE(rig.events.has_log("已 hard-reset,板子重新進入應用程式"));
    EXPECT_EQ(rig.events.of_kind("phase").back()["name"], "after-reset");
}

}  // namespace
}  // namespace flashwright::testing
