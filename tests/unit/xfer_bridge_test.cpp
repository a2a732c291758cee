#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "transfer/zmodem_frame.h"
#include "unit/app_fixture.h"

namespace termiva {
namespace {

using XferBridge = testing::AppFixture;
namespace zm = xfer::zm;

std::string slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// One XMODEM block with the arithmetic checksum, as a sender puts it on the wire.
std::string xmodem_block(std::uint8_t seq, std::string data) {
    data.resize(128, '\x1a');
    std::string block{'\x01', static_cast<char>(seq), static_cast<char>(0xFF - seq)};
    block += data;
    unsigned sum = 0;
    for (unsigned char c : data)
        sum += c;
    block += static_cast<char>(sum & 0xFF);
    return block;
}

// A ZMODEM sender's whole upload of one small file, from its ZRQINIT to its ZFIN.
std::string zmodem_upload(const std::string& name, const std::string& content) {
    zm::Escaper esc;
    auto size = static_cast<std::uint32_t>(content.size());
    std::string s = zm::hex_header(zm::Header::at(zm::ZRQINIT, 0));
    s += zm::binary_header(zm::Header::with_flags(zm::ZFILE, zm::ZCBIN), true, esc);
    std::string info = name + '\0' + std::to_string(size) + " 0 644";
    info += '\0';
    zm::append_subpacket(s, info, zm::ZCRCW, true, esc);
    s += zm::binary_header(zm::Header::at(zm::ZDATA, 0), true, esc);
    zm::append_subpacket(s, content, zm::ZCRCE, true, esc);
    s += zm::binary_header(zm::Header::at(zm::ZEOF, size), true, esc);
    s += zm::hex_header(zm::Header::at(zm::ZFIN, 0));
    return s;
}

TEST_F(XferBridge, RequestsAreCheckedInOrderAndRefusedWithAReason) {
    std::string tab = open_idle_tab();
    EXPECT_EQ(app->xfer_start(tab, "zmodem", "upload", nullptr, nullptr),
              (Json{{"ok", false}, {"reason", "direction must be send or recv"}}));
    EXPECT_EQ(app->xfer_start(tab, "ZMODEM", "upload", nullptr, nullptr)["reason"],
              "direction must be send or recv");
    EXPECT_EQ(app->xfer_start(tab, "ZMODEM", "recv", nullptr, nullptr),
              (Json{{"ok", false}, {"reason", "Unknown protocol ZMODEM"}}));
    EXPECT_EQ(app->xfer_start(tab, "kermit", "send", nullptr, nullptr)["reason"],
              "Unknown protocol kermit");
    EXPECT_EQ(app->xfer_start(tab, "zmodem", "send", Json::array(), nullptr),
              (Json{{"ok", false}, {"reason", "send requires file paths"}}));
    app->set_language("zh-Hant");
    EXPECT_EQ(app->xfer_start(tab, "zmodem", "send", nullptr, nullptr)["reason"],
              "送檔需要 file paths");
}

TEST_F(XferBridge, ReceivingWithoutAFolderUsesTheDownloadsFolder) {
    std::string tab = open_idle_tab();
    Json r = app->xfer_start("nosuchtab", "zmodem", "recv", nullptr, "");
    EXPECT_EQ(r["ok"], false);
    EXPECT_EQ(r["save_dir"], (dir.path() / "downloads").string());
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "downloads"));
    EXPECT_EQ(app->xfer_status(tab), (Json{{"active", false}}));
    EXPECT_FALSE(app->xfer_cancel(tab));
}

TEST_F(XferBridge, AJobOccupiesTheTabUntilItIsDoneAndItsEndIsShown) {
    std::string tab = open_idle_tab();
    // A receive with nobody sending: it runs until cancelled.
    Json r = app->xfer_start(tab, "xmodem", "recv", nullptr, nullptr);
    ASSERT_EQ(r["ok"], true);
    Json status = app->xfer_status(tab);
    EXPECT_EQ(status["active"], true);
    EXPECT_EQ(status["protocol"], "xmodem");
    EXPECT_EQ(status["direction"], "recv");
    EXPECT_EQ(app->xfer_start(tab, "zmodem", "recv", nullptr, nullptr),
              (Json{{"ok", false}, {"save_dir", (dir.path() / "downloads").string()}}));
    // While it runs, received bytes go to the job, not to the terminal.
    EXPECT_EQ(app->_intercept_or_decode(tab, "peer bytes"), "");
    EXPECT_TRUE(app->xfer_cancel(tab));
    ASSERT_TRUE(wait_until([&] { return app->xfer_status(tab) == Json{{"active", false}}; }));
    EXPECT_TRUE(wait_until([&] {
        for (const auto& s : window->scripts()) {
            if (s.find("File transfer failed") != std::string::npos &&
                s.rfind(", true)") != std::string::npos) {
                return true;
            }
        }
        return false;
    }));
    bool saw_event = false;
    for (const auto& s : window->scripts()) {
        if (s.rfind("if(window.xferOnEvent) xferOnEvent(\"" + tab + "\", {", 0) == 0)
            saw_event = true;
    }
    EXPECT_TRUE(saw_event);
    EXPECT_EQ(app->_intercept_or_decode(tab, "text again"), "text again");
}

TEST_F(XferBridge, ADoneEventShowsTheEndLineAndFreesTheSlot) {
    std::string tab = open_idle_tab();
    window->clear();
    app->_xfer_on_event(tab, {{"kind", "done"}, {"ok", true}});
    app->_xfer_on_event(tab, {{"kind", "done"}, {"ok", false}});
    auto scripts = window->scripts();
    ASSERT_EQ(scripts.size(), 4u);
    EXPECT_EQ(scripts[0], "if(window.xferOnEvent) xferOnEvent(\"" + tab +
                              "\", {\"kind\":\"done\",\"ok\":true})");
    EXPECT_NE(scripts[1].find("\\u2500\\u2500\\u2500 File transfer ended"), std::string::npos);
    EXPECT_NE(scripts[1].find(", false)"), std::string::npos);
    EXPECT_NE(scripts[3].find("File transfer failed:  \\u2500"), std::string::npos);
    EXPECT_NE(scripts[3].find(", true)"), std::string::npos);
}

TEST_F(XferBridge, AZmodemStartInTheOutputStartsAReceiveAndShowsOnlyWhatCameBefore) {
    std::string tab = open_idle_tab();
    window->clear();
    std::string shown = app->_intercept_or_decode(tab,
                                                  "before**\x18"
                                                  "B00000000000000\r\n");
    EXPECT_EQ(shown, "before");
    EXPECT_EQ(app->xfer_status(tab)["protocol"], "zmodem");
    EXPECT_EQ(app->xfer_status(tab)["direction"], "recv");
    EXPECT_NE(window->scripts().at(0).find("ZMODEM detected, auto-receiving"), std::string::npos);
    EXPECT_EQ(app->_intercept_or_decode(tab, "more"), "");
    app->xfer_cancel(tab);
}

TEST_F(XferBridge, TextBehindATransfersEndInTheSameChunkReachesTheTerminalOnce) {
    std::string tab = open_idle_tab();
    ASSERT_EQ(app->xfer_start(tab, "xmodem", "recv", nullptr, nullptr)["ok"], true);
    // The session's last bytes and the shell's next output arrive as one chunk.
    std::string all = app->_intercept_or_decode(tab, xmodem_block(1, "payload") +
                                                         "\x04\x04"
                                                         "AFTER-MARK\r\n$ ");
    ASSERT_TRUE(wait_until([&] {
        all += app->drain_terminal(tab);
        return all.find("$ ") != std::string::npos;
    }));
    EXPECT_TRUE(wait_until([&] { return app->xfer_status(tab) == Json{{"active", false}}; }));
    all += app->drain_terminal(tab);
    EXPECT_EQ(all, "AFTER-MARK\r\n$ ");
    EXPECT_EQ(app->_intercept_or_decode(tab, "next"), "next");
    std::string expected = "payload";
    expected.resize(128, '\x1a');
    EXPECT_EQ(slurp(dir.path() / "downloads" / "xmodem-received.bin"), expected);
}

TEST_F(XferBridge, ChunksAfterAnEndedJobFollowWhatItLeftEvenBeforeItsDoneIsHandled) {
    std::string tab = open_idle_tab();
    TabPtr record = app->find_tab(tab);
    ASSERT_EQ(app->xfer_start(tab, "xmodem", "recv", nullptr, nullptr)["ok"], true);
    {
        // As the reader does for each chunk; the job's "done" waits meanwhile.
        std::lock_guard reader(record->_received_order);
        std::string shown = app->_intercept_or_decode(tab, xmodem_block(1, "x") +
                                                               "\x04\x04"
                                                               "first ");
        ASSERT_TRUE(wait_until([&] { return app->xfer_status(tab)["active"] == false; }));
        shown += app->_intercept_or_decode(tab, "second");
        app->_push_to_term(tab, shown);
    }
    EXPECT_TRUE(wait_until([&] { return app->xfer_status(tab) == Json{{"active", false}}; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(app->drain_terminal(tab), "first second");
}

TEST_F(XferBridge, AnAutoReceiveInOneChunkShowsTheTextBeforeAndAfterIt) {
    std::string tab = open_idle_tab();
    const std::string content = "auto-received\x18\x11 bytes";
    std::string all = app->_intercept_or_decode(
        tab, "before " + zmodem_upload("auto.bin", content) + "OO after\r\n$ ");
    EXPECT_EQ(all, "before ");
    ASSERT_TRUE(wait_until([&] {
        all += app->drain_terminal(tab);
        return all.find("$ ") != std::string::npos;
    }));
    EXPECT_EQ(all, "before  after\r\n$ ");
    EXPECT_TRUE(wait_until([&] { return app->xfer_status(tab) == Json{{"active", false}}; }));
    EXPECT_EQ(slurp(dir.path() / "downloads" / "auto.bin"), content);
}

}  // namespace
}  // namespace termiva
