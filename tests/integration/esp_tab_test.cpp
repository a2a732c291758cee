// Flashing and erasing through a serial tab of the real termiva-host, with the simulated
// board on the far end of a socat pty pair. Pseudo-terminals have no modem lines, so the
// test plays the board's auto-reset circuit and puts it into download mode itself; the
// job's own reset attempts fail with a warning and it goes on to sync. The board reads the
// speed the tab's port is set to from beside it, so a job that changes the speed must really
// change the port's, and set it back.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <set>

#include "esp_sim.h"
#include "esp_sim_firmware.h"
#include "esp_sim_pty.h"
#include "esp_sim_tty_speed.h"
#include "support/host_process.h"
#include "support/socat_link.h"
#include "support/test_support.h"

namespace termiva {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

class EspTab : public ::testing::Test {
protected:
    void SetUp() override {
        auto socat = testing::find_program("socat");
        if (!socat) {
            if (testing::peers_required()) FAIL() << "missing socat";
            GTEST_SKIP() << "peer program socat not installed";
        }
        link = std::make_unique<testing::SocatLink>(*socat, dir.path() / "ttyHost",
                                                    dir.path() / "ttyBoard");
        port = std::make_unique<testing::HostSerialPort>(link->a());
        ASSERT_TRUE(link->start());
        // Before the tab opens the port: it takes it exclusively.
        host_speed = esp_sim::tty_speed_probe(link->a());
        board = std::make_unique<esp_sim::PtyEndpoint>(link->b(), [this](const std::string& b) {
            std::lock_guard lock(sim_mutex);
            if (sim) sim->write(b);
        });
        ASSERT_TRUE(board->is_open());
        esp_sim::SimConfig config;
        config.chip = "esp32s3";
        replace_board(config);

        json saved = host.call("save_session", {json{{"name", "devkit"},
                                                     {"protocol", "serial"},
                                                     {"host", port->name()},
                                                     {"port", 115200}}});
        session_id = saved["id"];
        tab = host.call("connect_session", {saved["id"]})["tab_id"];
        ASSERT_TRUE(host.wait_for_call(
            [&](const json& c) {
                return testing::HostProcess::is_call(c, "terminalConnected", tab);
            },
            5s));
        host.drain_until(tab, "---\r\n", 5s);
    }
    void TearDown() override {
        if (sim) sim->set_output(nullptr);
        board.reset();
    }
    // Another board on the same cable (a different chip or a faulty one).
    void replace_board(esp_sim::SimConfig config) {
        config.flash_size = 2u << 20;
        config.host_baud = host_speed;
        auto fresh = std::make_unique<esp_sim::EspSimulator>(config);
        fresh->set_output([this](const std::string& b) { board->write_all(b); });
        std::unique_ptr<esp_sim::EspSimulator> old;
        {
            std::lock_guard lock(sim_mutex);
            old = std::exchange(sim, std::move(fresh));
        }
        if (old) old->set_output(nullptr);
    }

    fs::path image(const std::string& name, std::size_t size, std::uint32_t seed) {
        const std::string bytes = esp_sim::make_firmware_image(size, seed);
        std::ofstream(dir.path() / name, std::ios::binary) << bytes;
        images[name] = bytes;
        return dir.path() / name;
    }
    std::vector<json> events() {
        std::vector<json> out;
        for (const auto& c : host.page_calls())
            if (testing::HostProcess::is_call(c, "xferOnEvent", tab))
                out.push_back(testing::HostProcess::arg(c, 1));
        return out;
    }
    // The `nth` "done" event of this tab, waiting at most `limit` for it.
    std::optional<json> wait_done(std::chrono::milliseconds limit, std::size_t nth = 1) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        do {
            std::size_t seen = 0;
            for (const auto& e : events())
                if (e["kind"] == "done" && ++seen == nth) return e;
            std::this_thread::sleep_for(50ms);
        } while (std::chrono::steady_clock::now() < deadline);
        return std::nullopt;
    }
    std::string flash_at(std::uint32_t offset, std::size_t size) {
        const auto flash = sim->flash();
        return std::string(flash.begin() + offset, flash.begin() + offset + size);
    }
    json start(const std::string& mode, json files, json options = json::object()) {
        return host.call("esp_flash_start", {tab, mode, std::move(files), std::move(options)});
    }
    // The console after a job: bytes from the board reach the terminal of the same tab.
    void expect_console_works() {
        sim->set_output(nullptr);
        ASSERT_TRUE(board->write_all("I (312) app: hello again\r\n"));
        EXPECT_NE(host.drain_until(tab, "hello again\r\n", 5s).find("I (312) app: hello again\r\n"),
                  std::string::npos);
        for (const auto& line : host.info_lines(tab))
            EXPECT_EQ(line.find("disconnected"), std::string::npos)
                << "the job must not cost the port: " << line;
    }

    testing::TempDir dir;
    testing::HostProcess host{dir.path()};
    std::unique_ptr<testing::SocatLink> link;
    std::unique_ptr<testing::HostSerialPort> port;  // the host's name for the tab's end
    std::function<std::optional<double>()> host_speed;
    std::mutex sim_mutex;
    std::unique_ptr<esp_sim::EspSimulator> sim;
    std::unique_ptr<esp_sim::PtyEndpoint> board;
    std::map<std::string, std::string> images;
    json session_id;
    std::string tab;
};

TEST_F(EspTab, TwoImagesLandAtTheirOffsetsAndTheConsoleCarriesOn) {
    const auto boot = image("bootloader.bin", 12345, 3);
    // A name outside ASCII: the image is opened by its own name on every system.
    const auto app = image("應用 app.bin", 40000, 4);
    EXPECT_EQ(host.call("esp_get_session_prefs", {tab}), (json{{"esp_interface", "auto"},
                                                               {"esp_chip", "auto"},
                                                               {"esp_flash_baud", 460800},
                                                               {"esp_verify", true},
                                                               {"esp_flash_size", 0}}));
    sim->classic_download_reset();
    const json result = start(
        "esp-flash",
        json::array({{{"path", testing::host_path(boot)}, {"offset", "0x0"}},
                     {{"path", testing::host_path(app)}, {"offset", 65536}}}),
        {{"chip", "esp32s3"}, {"interface", "uart"}, {"compress", true}, {"flash_baud", 460800}});
    ASSERT_EQ(result, (json{{"ok", true}}));
    // While it runs the slot is taken.
    EXPECT_EQ(start("esp-erase-flash", json::array())["reason"],
              "Another file transfer is in progress");

    const auto done = wait_done(60s);
    ASSERT_TRUE(done);
    EXPECT_EQ((*done)["ok"], true) << done->dump();
    EXPECT_EQ(flash_at(0, 12345), images["bootloader.bin"]);
    EXPECT_EQ(flash_at(0x10000, 40000), images["應用 app.bin"]);

    // The page saw the job from its first phase to "done", each file finished in order.
    const auto all = events();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front()["kind"], "phase");
    EXPECT_EQ(all.back()["kind"], "done");
    std::vector<json> files_done;
    int progress = 0;
    for (const auto& e : all) {
        if (e["kind"] == "file_done") files_done.push_back(e);
        progress += e["kind"] == "progress";
    }
    EXPECT_GT(progress, 0);
    ASSERT_EQ(files_done.size(), 2u);
    EXPECT_NE(files_done[0].dump().find("bootloader.bin"), std::string::npos)
        << files_done[0].dump();
    EXPECT_NE(files_done[1].dump().find("app.bin"), std::string::npos) << files_done[1].dump();
    EXPECT_TRUE(host.wait_for_call(
        [&](const json& c) {
            return testing::HostProcess::is_call(c, "setTerminalInfo", tab) &&
                   testing::HostProcess::arg(c, 1) == "─── File transfer ended ───";
        },
        5s));

    // The choices are remembered with the session, on disk too.
    EXPECT_EQ(host.call("esp_get_session_prefs", {tab}), (json{{"esp_interface", "uart"},
                                                               {"esp_chip", "esp32s3"},
                                                               {"esp_flash_baud", 460800},
                                                               {"esp_verify", true},
                                                               {"esp_flash_size", 0}}));
    bool saved = false;
    const json sessions = host.call("get_initial_state")["sessions"];
    for (const auto& s : sessions)
        if (s["id"] == session_id)
            saved = s.value("esp_interface", "") == "uart" && s.value("esp_chip", "") == "esp32s3";
    EXPECT_TRUE(saved) << sessions.dump();
    expect_console_works();
}

TEST_F(EspTab, EraseThenRefusalsNamingTheProblem) {
    // Without a loader program the size of the flash must be known to erase all of it.
    EXPECT_EQ(start("esp-erase-flash", json::array(), {{"interface", "uart"}})["reason"],
              "Erasing the whole flash needs its size: choose the flash size first");
    EXPECT_EQ(start("esp-bogus", json::array())["reason"], "Unknown mode esp-bogus");
    EXPECT_TRUE(sim->commands().empty()) << "a refusal sent something to the board";
    sim->classic_download_reset();
    ASSERT_EQ(
        start("esp-erase-flash", json::array(), {{"interface", "uart"}, {"flash_size", 2u << 20}}),
        (json{{"ok", true}}));
    const auto done = wait_done(60s);
    ASSERT_TRUE(done);
    EXPECT_EQ((*done)["ok"], true) << done->dump();
    const auto flash = sim->flash();
    EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](std::uint8_t b) { return b == 0xFF; }));

    const auto app = image("app.bin", 5000, 9);
    auto reason = [&](json files, json options = json::object()) {
        return start("esp-flash", std::move(files), std::move(options)).value("reason", "");
    };
    EXPECT_EQ(reason(json::array({{{"path", testing::host_path(app)}, {"offset", "zz"}}})),
              "Invalid offset for app.bin: zz");
    EXPECT_EQ(reason(json::array({{{"path", testing::host_path(app)}, {"offset", "0x"}}})),
              "Invalid offset for app.bin: 0x");
    EXPECT_EQ(reason(json::array({{{"path", testing::host_path(app)}, {"offset", nullptr}}})),
              "Invalid offset for app.bin: null");
    EXPECT_EQ(reason(json::array()), "ESP flash requires at least one file");
    EXPECT_EQ(reason(json::array({{{"path", testing::host_path(app)}, {"offset", 0}}}),
                     {{"chip", "ESP32-C3"}}),
              "Unknown chip ESP32-C3");
    EXPECT_EQ(host.call("esp_flash_start",
                        {"nope", "esp-flash", json::array(), json::object()})["reason"],
              "Target tab not found");
    // A misaligned offset is refused by the job itself, naming the file.
    sim->classic_download_reset();
    ASSERT_EQ(
        start("esp-flash", json::array({{{"path", testing::host_path(app)}, {"offset", "0x1001"}}}),
              {{"interface", "uart"}}),
        (json{{"ok", true}}));
    const auto refused = wait_done(60s, 2);
    ASSERT_TRUE(refused);
    EXPECT_EQ((*refused)["ok"], false);
    EXPECT_NE((*refused)["reason"].get<std::string>().find("app.bin"), std::string::npos)
        << refused->dump();
    expect_console_works();
}

TEST_F(EspTab, CancelMidWriteStopsTheJobAndFreesTheSlot) {
    const auto big = image("big.bin", 1 << 20, 5);
    sim->classic_download_reset();
    ASSERT_EQ(start("esp-flash",
                    json::array({{{"path", testing::host_path(big)}, {"offset", "0x10000"}}}),
                    {{"interface", "uart"}, {"compress", false}}),
              (json{{"ok", true}}));
    ASSERT_TRUE(host.wait_for_call(
        [&](const json& c) {
            return testing::HostProcess::is_call(c, "xferOnEvent", tab) &&
                   testing::HostProcess::arg(c, 1).value("kind", "") == "progress";
        },
        60s));
    EXPECT_EQ(host.call("xfer_cancel", {tab}), true);
    const auto done = wait_done(30s);
    ASSERT_TRUE(done);
    EXPECT_EQ((*done)["ok"], false);
    EXPECT_NE(flash_at(0x10000, 1 << 20), images["big.bin"])
        << "cancelled, yet the whole image was written";
    // The slot is free again.
    EXPECT_EQ(start("esp-flash", json::array())["reason"], "ESP flash requires at least one file");
    expect_console_works();
}

TEST_F(EspTab, TwoImagesAtAFasterSpeedVerifiedThenTheConsoleAtTheTabsSpeed) {
    const auto boot = image("bootloader.bin", 23000, 31);
    const auto app = image("app.bin", 300000, 32);
    sim->classic_download_reset();
    ASSERT_EQ(
        start(
            "esp-flash",
            json::array({{{"path", testing::host_path(boot)}, {"offset", "0x0"}},
                         {{"path", testing::host_path(app)}, {"offset", "0x10000"}}}),
            {{"chip", "esp32s3"}, {"interface", "uart"}, {"flash_baud", 921600}, {"verify", true}}),
        (json{{"ok", true}}));
    const auto done = wait_done(60s);
    ASSERT_TRUE(done);
    EXPECT_EQ((*done)["ok"], true) << done->dump();
    EXPECT_EQ(flash_at(0, 23000), images["bootloader.bin"]);
    EXPECT_EQ(flash_at(0x10000, 300000), images["app.bin"]);
    std::size_t compressed = 0, hashes = 0;
    for (const auto& c : sim->commands()) {
        if (c.op == 0x11) {
            ++compressed;
            EXPECT_EQ(c.baud, 921600);
        }
        hashes += c.op == 0x13;
        EXPECT_NE(c.op, 0x03) << "an uncompressed block";
    }
    EXPECT_GT(compressed, 0u);
    EXPECT_EQ(hashes, 2u);
    EXPECT_EQ(host_speed(), 115200) << "the port stayed at the flashing speed";
    // The board's boot text after the job's reset is read at the tab's speed.
    sim->hard_reset();
    EXPECT_NE(host.drain_until(tab, "I (31) boot", 5s).find("(SPI_FAST_FLASH_BOOT)"),
              std::string::npos);
    expect_console_works();
    EXPECT_EQ(host.call("esp_get_session_prefs", {tab})["esp_flash_baud"], 921600);
}

TEST_F(EspTab, ABoardThatIgnoresTheNewSpeedIsFlashedAtTheTabsSpeed) {
    esp_sim::SimConfig config;
    config.chip = "esp32s3";
    config.ignore_baud_change = true;
    replace_board(config);
    const auto app = image("app.bin", 20000, 33);
    sim->classic_download_reset();
    ASSERT_EQ(start("esp-flash",
                    json::array({{{"path", testing::host_path(app)}, {"offset", "0x10000"}}}),
                    {{"interface", "uart"}, {"flash_baud", 921600}}),
              (json{{"ok", true}}));
    const auto done = wait_done(60s);
    ASSERT_TRUE(done);
    EXPECT_EQ((*done)["ok"], true) << done->dump();
    EXPECT_EQ(flash_at(0x10000, 20000), images["app.bin"]);
    bool fallback = false;
    for (const auto& e : events())
        fallback |= e["kind"] == "log" && e["code"] == "baud_fallback" &&
                    e["text"] ==
                        "The board did not answer at 921600 bit/s; going on at 115200 "
                        "bit/s";
    EXPECT_TRUE(fallback);
    EXPECT_EQ(host_speed(), 115200);
    expect_console_works();
}

TEST_F(EspTab, AReadBackMismatchFailsNamingTheFileInEitherLanguage) {
    esp_sim::SimConfig config;
    config.chip = "esp32s3";
    config.corrupt_md5 = true;
    replace_board(config);
    const auto app = image("app.bin", 9000, 34);
    const json files = json::array({{{"path", testing::host_path(app)}, {"offset", "0x10000"}}});
    sim->classic_download_reset();
    ASSERT_EQ(start("esp-flash", files, {{"interface", "uart"}}), (json{{"ok", true}}));
    const auto english = wait_done(60s);
    ASSERT_TRUE(english);
    EXPECT_EQ((*english)["ok"], false);
    const std::string en_reason = (*english)["reason"];
    EXPECT_EQ(en_reason.rfind("Verification failed: app.bin at 0x10000", 0), 0u) << en_reason;
    // Nothing of the other language in an English interface, the terminal's line included.
    auto has_cjk = [](const std::string& text) {
        // UTF-8 lead bytes of U+4000 to U+9FFF, where the Chinese texts live.
        return std::any_of(text.begin(), text.end(), [](char c) {
            const auto b = static_cast<unsigned char>(c);
            return b >= 0xE4 && b <= 0xE9;
        });
    };
    std::set<std::string> en_titles;
    for (const auto& e : events()) {
        EXPECT_FALSE(has_cjk(e.dump())) << "non-English text: " << e.dump();
        if (e["kind"] == "phase") en_titles.insert(e.value("title", ""));
    }
    EXPECT_TRUE(en_titles.count("Writing") && en_titles.count("Verifying"));
    for (const auto& line : host.info_lines(tab))
        EXPECT_FALSE(has_cjk(line)) << line;
    EXPECT_TRUE(host.wait_for_call(
        [&](const json& c) {
            return testing::HostProcess::is_call(c, "setTerminalInfo", tab) &&
                   testing::HostProcess::arg(c, 1).get<std::string>().find(
                       "Verification failed: app.bin") != std::string::npos;
        },
        5s));

    ASSERT_EQ(host.call("set_language", json::array({"zh-Hant"}))["language"], "zh-Hant");
    sim->classic_download_reset();
    ASSERT_EQ(start("esp-flash", files, {{"interface", "uart"}}), (json{{"ok", true}}));
    const auto chinese = wait_done(60s, 2);
    ASSERT_TRUE(chinese);
    const std::string zh_reason = (*chinese)["reason"];
    EXPECT_EQ(zh_reason.rfind("驗證失敗:app.bin 在 0x10000", 0), 0u) << zh_reason;
    bool auto_log = false;
    std::size_t dones = 0, zh_phases = 0;
    for (const auto& e : events()) {
        auto_log |= e["kind"] == "log" && e["text"] == "使用 UART classic reset 進入 download mode";
        dones += e["kind"] == "done";
        // Every phase of the Chinese job is titled in Chinese, not with the library's name.
        if (dones == 1 && e["kind"] == "phase") {
            ++zh_phases;
            EXPECT_TRUE(has_cjk(e.value("title", ""))) << e.dump();
        }
    }
    EXPECT_TRUE(auto_log);
    EXPECT_GE(zh_phases, 4u);
}

TEST_F(EspTab, ResetButtonsAndTheReadOnlyHelpers) {
    // Dispatched (the pty then refuses the modem lines, in the log only).
    EXPECT_EQ(host.call("hard_reset_esp", {tab}), true);
    EXPECT_EQ(host.call("enter_bootloader_esp", {tab}), true);
    EXPECT_TRUE(host.wait_for_stderr("[esp_reset:hard_reset]", 3s));
    EXPECT_EQ(host.call("hard_reset_esp", {"nope"}), false);
    EXPECT_EQ(host.call("esp_get_session_prefs", {"nope"}), json::object());

    EXPECT_EQ(host.call("esp_guess_offset", {"partitions.bin", "auto"}), 0x8000);
    EXPECT_EQ(host.call("esp_guess_offset", {"bootloader.bin", "esp32"}), 0x1000);
    EXPECT_EQ(host.call("esp_guess_offset", {"readme.txt", ""}), nullptr);
    const auto app = image("app.bin", 777, 1);
    EXPECT_EQ(host.call("esp_file_size", {testing::host_path(app)}), 777);
    EXPECT_EQ(host.call("esp_file_size", {testing::host_path(dir.path())}), -1);
    EXPECT_EQ(host.call("esp_file_size", {""}), -1);
    const json chips = host.call("esp_chip_list");
    ASSERT_TRUE(chips.is_array());
    EXPECT_EQ(chips.at(0), (json{{"key", "esp32"}, {"name", "ESP32"}}));
    bool c3 = false;
    for (const auto& c : chips)
        c3 = c3 || c == json{{"key", "esp32c3"}, {"name", "ESP32-C3"}};
    EXPECT_TRUE(c3);
}

}  // namespace
}  // namespace termiva
