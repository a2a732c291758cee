// Bootloader entry, sync, chip detection, the stub loader and whole-flash erase against the
// simulated board.
#include <mutex>
#include <thread>

#include "esp_sim_slip.h"
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
    EXPECT_EQ(rig.run()["reason"], "Done");
    // At most the first answer is lost to the noise.
    EXPECT_LE(rig.sim.count(0x08), 2u);
}

TEST_F(SimSession, UsbJtagBoardSyncsOnlyAfterTheSwitch) {
    SimConfig config;
    config.port = Port::UsbJtag;
    SimRig rig(config);
    rig.make_job("esp-flash", {{app, 0x10000}}, {{"interface", "auto"}}, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"], "Done");
    EXPECT_TRUE(rig.events.has_log(
        "No answer after the UART reset, switching to the USB-Serial-JTAG reset"));
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
    EXPECT_EQ(rig.run()["reason"], "SYNC failed — the board did not enter download mode");
    EXPECT_TRUE(rig.events.has_log(
        "No answer after the UART reset, switching to the USB-Serial-JTAG reset"));
    EXPECT_TRUE(rig.events.has_log("USB-JTAG reset failed: boom"));
    EXPECT_EQ(rig.reset_calls(), (std::vector<std::string>{"uart", "usb"}));
}

TEST_F(SimSession, UsbJtagInterfaceNeverUsesTheUartReset) {
    SimConfig config;
    config.port = Port::UsbJtag;
    SimRig rig(config);
    rig.make_job("esp-flash", {{app, 0x10000}}, {{"interface", "usb-jtag"}}, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"], "Done");
    EXPECT_TRUE(rig.events.has_log("Entering download mode with the USB-Serial-JTAG reset"));
    EXPECT_FALSE(rig.events.has_log(
        "No answer after the UART reset, switching to the USB-Serial-JTAG reset"));
    EXPECT_EQ(rig.reset_calls(), (std::vector<std::string>{"usb", "hard"}));
}

TEST_F(SimSession, UartInterfaceNeverSwitchesAndSyncFails) {
    SimConfig config;
    config.port = Port::UsbJtag;
    SimRig rig(config);
    rig.make_job("esp-flash", {{app, 0x10000}}, {{"interface", "uart"}}, stubs, quick_sync());
    const auto done = rig.run(std::chrono::seconds(30));
    EXPECT_EQ(done["reason"], "SYNC failed — the board did not enter download mode");
    EXPECT_TRUE(rig.events.has_log("Entering download mode with the UART classic reset"));
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
              "SYNC failed — the board did not enter download mode");
    EXPECT_FALSE(rig.events.has_log(
        "No answer after the UART reset, switching to the USB-Serial-JTAG reset"));
}

TEST_F(SimSession, UnknownInterfaceStringStillUsesUartFirstAndNeverSwitches) {
    SimRig rig;
    rig.make_job("esp-flash", {{app, 0x10000}}, {{"interface", "serial"}}, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"], "Done");
    EXPECT_TRUE(rig.events.has_log("Entering download mode with the UART classic reset"));
}

TEST_F(SimSession, ForcedChipSkipsTheRegisterRead) {
    SimConfig config;
    config.chip = "esp32c3";
    SimRig rig(config);
    rig.make_job("esp-flash", {{app, 0x10000}}, {{"chip", "esp32c3"}}, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"], "Done");
    EXPECT_TRUE(rig.events.has_log("Using the chosen chip: ESP32-C3"));
    EXPECT_EQ(rig.sim.count(0x0A), 0u);
}

TEST_F(SimSession, DisplayNameIsNotAChipKeyAndFallsBackToDetection) {
    SimConfig config;
    config.chip = "esp32c3";
    SimRig rig(config);
    rig.make_job("esp-flash", {{app, 0x10000}}, {{"chip", "ESP32-C3"}}, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"], "Done");
    EXPECT_TRUE(rig.events.has_log("Unknown chip ESP32-C3, detecting it instead"));
    EXPECT_TRUE(rig.events.has_log("Detected ESP32-C3 (magic=0x1B31506F)"));
    EXPECT_EQ(rig.sim.count(0x0A), 1u);
}

TEST_F(SimSession, UnknownMagicEndsTheJob) {
    SimConfig config;
    config.magic = 0x12345678;
    SimRig rig(config);
    rig.make_job("esp-flash", {{app, 0x10000}}, nullptr, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"], "Chip detection failed");
    EXPECT_TRUE(rig.events.has_log("Unknown chip magic 0x12345678; please choose the chip"));
    EXPECT_EQ(rig.events.of_kind("log").back()["level"], "error");
    EXPECT_EQ(rig.sim.count(0x0D), 0u);
}

TEST_F(SimSession, MagicZeroIsEsp32P4) {
    SimConfig config;
    config.chip = "esp32p4";
    SimRig rig(config);
    rig.make_job("esp-flash", {{app, 0x10000}}, nullptr, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"], "Done");
    EXPECT_TRUE(rig.events.has_log("Detected ESP32-P4 (magic=0x00000000)"));
}

TEST_F(SimSession, UnparsableStubFallsBackToRomOnly) {
    SimRig rig;
    write_file(stubs / "esp32.json", "{ this is not json");
    rig.make_job("esp-flash", {{app, 0x10000}}, nullptr, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"], "Done");
    bool seen = false;
    for (const auto& e : rig.events.of_kind("log")) {
        const std::string text = e["text"];
        if (text.rfind("The stub loader file cannot be used: ", 0) == 0) {
            seen = true;
            EXPECT_EQ(e["level"], "warn");
            EXPECT_TRUE(text.ends_with("; writing through the ROM loader"));
        }
    }
    EXPECT_TRUE(seen);
    EXPECT_EQ(rig.sim.count(0x05), 0u);
    EXPECT_GT(rig.sim.count(0x11), 0u);  // compressed blocks, inflated by the ROM
}

TEST_F(SimSession, StubWithDataButNoDataStartIsUnparsable) {
    SimRig rig;
    auto doc = esp_sim::make_synthetic_stub(1, true).to_json();
    doc.erase("data_start");
    write_file(stubs / "esp32.json", doc.dump());
    rig.make_job("esp-flash", {{app, 0x10000}}, nullptr, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"], "Done");
    EXPECT_TRUE(rig.events.has_log_prefix("The stub loader file cannot be used: "));
    EXPECT_EQ(rig.sim.count(0x05), 0u);
}

TEST_F(SimSession, StubWithoutDataUploadsTextOnly) {
    SimRig rig;
    const auto stub = install_stub(stubs, "esp32", false);
    rig.make_job("esp-flash", {{app, 0x10000}}, nullptr, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"], "Done");
    EXPECT_TRUE(rig.events.has_log("Stub loader running"));
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
    EXPECT_TRUE(rig.events.has_log("The stub loader did not answer in time"));
    // The crashed board no longer answers, so the first flash command times out.
    EXPECT_EQ(done["reason"], "No answer from the board (timed out)");
}

TEST_F(SimSession, RomEraseWithoutAFlashSizeIsRefused) {
    SimRig rig;
    rig.make_job("esp-erase-flash", {}, nullptr, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"],
              "Erasing the whole flash through the ROM loader needs the flash size: choose it");
    EXPECT_EQ(rig.sim.count(0xD0), 0u);
    EXPECT_EQ(rig.sim.count(0x02), 0u);
}

// The ROM has no ERASE_FLASH; FLASH_BEGIN erases what it announces, region by region.
void expect_rom_erase_clears_everything(const std::string& chip,
                                        const std::filesystem::path& stubs) {
    SimConfig config;
    config.chip = chip;
    SimRig rig(config);
    rig.make_job("esp-erase-flash", {}, {{"flash_size", config.flash_size}}, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"], "Done") << chip;
    EXPECT_EQ(rig.sim.count(0xD0), 0u);
    EXPECT_EQ(rig.sim.count(0x03) + rig.sim.count(0x04), 0u);
    EXPECT_EQ(le32(commands_with(rig.sim, 0x0B).at(0).data, 4), config.flash_size);
    const auto flash = rig.sim.flash();
    EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](std::uint8_t b) { return b == 0xFF; }))
        << chip;
    bool erase_phase = false;
    for (const auto& e : rig.events.of_kind("phase")) {
        erase_phase |= e["name"] == "erase" && e["detail"] == "whole flash (may take minutes)";
    }
    EXPECT_TRUE(erase_phase);
    const auto progress = rig.events.of_kind("progress");
    ASSERT_GT(progress.size(), 1u);
    EXPECT_EQ(progress.back()["sent"], config.flash_size);
    EXPECT_EQ(progress.back()["total"], config.flash_size);
}

TEST_F(SimSession, RomEraseOnEsp32AndEsp32C3ClearsEveryByte) {
    expect_rom_erase_clears_everything("esp32", stubs);
    expect_rom_erase_clears_everything("esp32c3", stubs);
}

TEST_F(SimSession, TheRomDoesNotKnowEraseFlash) {
    SimConfig config;
    config.chip = "esp32s3";
    esp_sim::EspSimulator sim(config);
    std::vector<std::string> out;
    std::mutex m;
    sim.set_output([&](const std::string& b) {
        std::lock_guard lock(m);
        out.push_back(b);
    });
    sim.classic_download_reset();
    std::string sync = std::string("\x00\x08\x24\x00\x00\x00\x00\x00", 8) + "\x07\x07\x12\x20";
    sync.append(32, '\x55');
    sim.write(esp_sim::slip_frame(sync));
    sim.write(esp_sim::slip_frame(std::string("\x00\xD0\x00\x00\x00\x00\x00\x00", 8)));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (sim.count(0xD0) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard lock(m);
    const std::string last = out.back();
    // Response to 0xD0 with status 1, error 0x05 ("invalid message") in the ROM's 4 bytes.
    EXPECT_NE(last.find(std::string("\x01\xD0\x04\x00", 4)), std::string::npos);
    EXPECT_NE(last.find(std::string("\x01\x05\x00\x00\xC0", 5)), std::string::npos);
}

TEST_F(SimSession, EraseOnEsp32WithTheStubWorks) {
    SimRig rig;
    install_stub(stubs, "esp32", false);
    rig.make_job("esp-erase-flash", {}, nullptr, stubs, quick_sync());
    EXPECT_EQ(rig.run()["reason"], "Done");
    EXPECT_TRUE(commands_with(rig.sim, 0xD0).at(0).stub);
}

TEST_F(SimSession, FailingResetFunctionsAreLoggedAndTheJobGoesOn) {
    SimRig rig;
    rig.sim.classic_download_reset();  // the board is already waiting for download
    rig.make_job(
        "esp-flash", {{app, 0x10000}}, nullptr, stubs, quick_sync(),
        {.uart = true, .usb = true, .hard = true, .uart_throws = true, .hard_throws = true});
    const auto done = rig.run();
    EXPECT_EQ(done["reason"], "Done");
    EXPECT_EQ(done["ok"], true);
    EXPECT_TRUE(rig.events.has_log("Reset failed: boom"));
    EXPECT_TRUE(rig.events.has_log("Hard reset failed: boom"));
    EXPECT_FALSE(rig.events.has_log("Hard reset done, the board runs its application again"));
}

TEST_F(SimSession, MissingResetFunctionsAreSkippedSilently) {
    SimRig rig;
    rig.sim.classic_download_reset();
    rig.make_job("esp-flash", {{app, 0x10000}}, nullptr, stubs, quick_sync(),
                 {.uart = false, .usb = false, .hard = false});
    EXPECT_EQ(rig.run()["reason"], "Done");
    EXPECT_FALSE(rig.events.has_log_prefix("Reset failed: "));
    EXPECT_FALSE(rig.events.has_log("Hard reset done, the board runs its application again"));
    EXPECT_EQ(rig.events.of_kind("phase").back()["name"], "after-reset");
}

}  // namespace
}  // namespace flashwright::testing
