#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include <regex>
#include <set>

#include "app/messages/messages.h"
#include "app/transfer/abort_echo.h"
#include "transfer/failure_reasons.h"
#include "transfer/zmodem_frame.h"
#include "unit/app_fixture.h"

namespace termiva {
namespace {

// Received files go to "downloads" in the test's folder, named in the settings as a user
// would, never to the user's own Downloads folder.
class XferBridge : public testing::AppFixture {
protected:
    void SetUp() override {
        AppFixture::SetUp();
        app->call_bridge("set_page_settings",
                         Json::array({{{"download_folder", (dir.path() / "downloads").string()}}}));
    }
};
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
    EXPECT_EQ(app->transfer().start(tab, "zmodem", "upload", nullptr, nullptr),
              (Json{{"ok", false}, {"reason", "direction must be send or recv"}}));
    EXPECT_EQ(app->transfer().start(tab, "ZMODEM", "upload", nullptr, nullptr)["reason"],
              "direction must be send or recv");
    EXPECT_EQ(app->transfer().start(tab, "ZMODEM", "recv", nullptr, nullptr),
              (Json{{"ok", false}, {"reason", "Unknown protocol ZMODEM"}}));
    EXPECT_EQ(app->transfer().start(tab, "kermit", "send", nullptr, nullptr)["reason"],
              "Unknown protocol kermit");
    EXPECT_EQ(app->transfer().start(tab, "zmodem", "send", Json::array(), nullptr),
              (Json{{"ok", false}, {"reason", "send requires file paths"}}));
    app->set_language("zh-Hant");
    EXPECT_EQ(app->transfer().start(tab, "zmodem", "send", nullptr, nullptr)["reason"],
              "送檔需要 file paths");
}

TEST_F(XferBridge, ReceivingWithoutAFolderUsesTheDownloadFolderOfTheSettings) {
    std::string tab = open_idle_tab();
    Json r = app->transfer().start("nosuchtab", "zmodem", "recv", nullptr, "");
    EXPECT_EQ(r["ok"], false);
    EXPECT_EQ(r["save_dir"], (dir.path() / "downloads").string());
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "downloads"));
    EXPECT_EQ(app->transfer().status(tab), (Json{{"active", false}}));
    EXPECT_FALSE(app->transfer().cancel(tab));
}

TEST_F(XferBridge, AJobOccupiesTheTabUntilItIsDoneAndItsEndIsShown) {
    std::string tab = open_idle_tab();
    // A receive with nobody sending: it runs until cancelled.
    Json r = app->transfer().start(tab, "xmodem", "recv", nullptr, nullptr);
    ASSERT_EQ(r["ok"], true);
    Json status = app->transfer().status(tab);
    EXPECT_EQ(status["active"], true);
    EXPECT_EQ(status["protocol"], "xmodem");
    EXPECT_EQ(status["direction"], "recv");
    EXPECT_EQ(app->transfer().start(tab, "zmodem", "recv", nullptr, nullptr),
              (Json{{"ok", false}, {"save_dir", (dir.path() / "downloads").string()}}));
    // While it runs, received bytes go to the job, not to the terminal.
    EXPECT_EQ(app->transfer().intercept_or_decode(tab, "peer bytes"), "");
    EXPECT_TRUE(app->transfer().cancel(tab));
    ASSERT_TRUE(wait_until([&] { return app->transfer().status(tab) == Json{{"active", false}}; }));
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
    // Text again, once what followed the abort has settled (a moment of quiet). The
    // worker may have left "peer bytes" unread: plain text, so it is shown before.
    std::string shown = app->transfer().intercept_or_decode(tab, "text again");
    EXPECT_TRUE(wait_until([&] {
        shown += app->tabs().drain_terminal(tab);
        return shown == "text again" || shown == "peer bytestext again";
    })) << shown;
}

TEST_F(XferBridge, ADoneEventShowsTheEndLineAndFreesTheSlot) {
    std::string tab = open_idle_tab();
    window->clear();
    app->transfer().on_event(tab, {{"kind", "done"}, {"ok", true}});
    app->transfer().on_event(tab, {{"kind", "done"}, {"ok", false}});
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
    std::string shown = app->transfer().intercept_or_decode(tab,
                                                            "before**\x18"
                                                            "B00000000000000\r\n");
    EXPECT_EQ(shown, "before");
    EXPECT_EQ(app->transfer().status(tab)["protocol"], "zmodem");
    EXPECT_EQ(app->transfer().status(tab)["direction"], "recv");
    EXPECT_NE(window->scripts().at(0).find("ZMODEM detected, auto-receiving"), std::string::npos);
    EXPECT_EQ(app->transfer().intercept_or_decode(tab, "more"), "");
    app->transfer().cancel(tab);
}

TEST_F(XferBridge, TextBehindATransfersEndInTheSameChunkReachesTheTerminalOnce) {
    std::string tab = open_idle_tab();
    ASSERT_EQ(app->transfer().start(tab, "xmodem", "recv", nullptr, nullptr)["ok"], true);
    // The session's last bytes and the shell's next output arrive as one chunk.
    std::string all = app->transfer().intercept_or_decode(tab, xmodem_block(1, "payload") +
                                                                   "\x04\x04"
                                                                   "AFTER-MARK\r\n$ ");
    ASSERT_TRUE(wait_until([&] {
        all += app->tabs().drain_terminal(tab);
        return all.find("$ ") != std::string::npos;
    }));
    EXPECT_TRUE(wait_until([&] { return app->transfer().status(tab) == Json{{"active", false}}; }));
    all += app->tabs().drain_terminal(tab);
    EXPECT_EQ(all, "AFTER-MARK\r\n$ ");
    EXPECT_EQ(app->transfer().intercept_or_decode(tab, "next"), "next");
    std::string expected = "payload";
    expected.resize(128, '\x1a');
    EXPECT_EQ(slurp(dir.path() / "downloads" / "xmodem-received.bin"), expected);
}

TEST_F(XferBridge, ChunksAfterAnEndedJobFollowWhatItLeftEvenBeforeItsDoneIsHandled) {
    std::string tab = open_idle_tab();
    TabPtr record = app->tabs().find_tab(tab);
    ASSERT_EQ(app->transfer().start(tab, "xmodem", "recv", nullptr, nullptr)["ok"], true);
    {
        // As the reader does for each chunk; the job's "done" waits meanwhile.
        std::lock_guard reader(record->received_order);
        std::string shown = app->transfer().intercept_or_decode(tab, xmodem_block(1, "x") +
                                                                         "\x04\x04"
                                                                         "first ");
        ASSERT_TRUE(wait_until([&] { return app->transfer().status(tab)["active"] == false; }));
        shown += app->transfer().intercept_or_decode(tab, "second");
        app->tabs().push_text(tab, shown);
    }
    EXPECT_TRUE(wait_until([&] { return app->transfer().status(tab) == Json{{"active", false}}; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(app->tabs().drain_terminal(tab), "first second");
}

TEST_F(XferBridge, AnAutoReceiveInOneChunkShowsTheTextBeforeAndAfterIt) {
    std::string tab = open_idle_tab();
    const std::string content = "auto-received\x18\x11 bytes";
    std::string all = app->transfer().intercept_or_decode(
        tab, "before " + zmodem_upload("auto.bin", content) + "OO after\r\n$ ");
    EXPECT_EQ(all, "before ");
    ASSERT_TRUE(wait_until([&] {
        all += app->tabs().drain_terminal(tab);
        return all.find("$ ") != std::string::npos;
    }));
    EXPECT_EQ(all, "before  after\r\n$ ");
    EXPECT_TRUE(wait_until([&] { return app->transfer().status(tab) == Json{{"active", false}}; }));
    EXPECT_EQ(slurp(dir.path() / "downloads" / "auto.bin"), content);
}

TEST_F(XferBridge, AFailedTransfersReasonIsWordedInTheUsersLanguage) {
    app->set_language("zh-Hant");
    std::string tab = open_idle_tab();
    window->clear();
    ASSERT_EQ(app->transfer().start(tab, "zmodem", "recv", nullptr, nullptr)["ok"], true);
    EXPECT_TRUE(app->transfer().cancel(tab));
    ASSERT_TRUE(wait_until([&] { return app->transfer().status(tab) == Json{{"active", false}}; }));
    // The page's event and the tab's end line both carry the catalog's words (page calls
    // write them as ASCII escapes).
    auto escaped = [](const std::string& text) {
        const std::string quoted = Json(text).dump(-1, ' ', true);
        return quoted.substr(1, quoted.size() - 2);
    };
    const std::string cancelled = escaped("已取消");
    bool event_worded = false;
    bool line_worded = false;
    ASSERT_TRUE(wait_until([&] {
        for (const auto& s : window->scripts()) {
            event_worded =
                event_worded || (s.find("xferOnEvent") != std::string::npos &&
                                 s.find("\"reason\":\"" + cancelled + "\"") != std::string::npos &&
                                 s.find("\"reason_code\":\"cancelled\"") != std::string::npos);
            line_worded = line_worded || (s.find("setTerminalInfo") != std::string::npos &&
                                          s.find(cancelled) != std::string::npos);
        }
        return event_worded && line_worded;
    })) << "event worded: "
        << event_worded << ", line worded: " << line_worded;
    // A reason with parts fills them in; a code the catalog lacks keeps the engine's text.
    window->clear();
    app->transfer().on_event(tab, {{"kind", "done"},
                                   {"ok", false},
                                   {"reason", "cannot open /x"},
                                   {"reason_code", "cannot_open"},
                                   {"reason_values", {{"path", "/x"}}}});
    app->transfer().on_event(tab, {{"kind", "done"},
                                   {"ok", false},
                                   {"reason", "something new"},
                                   {"reason_code", "no_such_code"}});
    const auto scripts = window->scripts();
    ASSERT_EQ(scripts.size(), 4u);
    EXPECT_NE(scripts[1].find(escaped("無法開啟 /x")), std::string::npos) << scripts[1];
    EXPECT_NE(scripts[3].find("something new"), std::string::npos) << scripts[3];
}

TEST(TransferReasons, EveryEngineReasonHasTheSameWordingPartsInBothLanguages) {
    const auto& catalog = message_catalog();
    const std::regex part("\\{[a-z_]+\\}");
    auto parts = [&](const std::string& text) {
        std::set<std::string> out;
        for (auto it = std::sregex_iterator(text.begin(), text.end(), part);
             it != std::sregex_iterator(); ++it)
            out.insert(it->str());
        return out;
    };
    for (std::string_view code : xfer::reason_codes()) {
        const std::string key = "xfer.reason." + std::string(code);
        const std::string english = xfer::reason_text(code, Json::object());
        for (const char* lang : {"en", "zh-Hant"}) {
            const auto& table = catalog.at(lang);
            auto it = table.find(key);
            ASSERT_NE(it, table.end()) << lang << " lacks " << key;
            EXPECT_EQ(parts(it->second), parts(english)) << lang << " " << key;
        }
        EXPECT_EQ(catalog.at("en").at(key), english) << key;
    }
}

TEST(AbortAftermath, TheRestOfABrokenSessionAndTheAbortsEchoAreDroppedThenTextFlows) {
    using std::chrono::milliseconds;
    const auto t0 = AbortEcho::Clock::now();
    const auto quiet = AbortEcho::QUIET;
    const std::string abort = std::string(8, '\x18') + std::string(8, '\x08');
    // Frames still on the line in several chunks (a chunk's tail may look like text), then
    // the shell's prompt: held until the line is quiet, then only the prompt is left.
    std::string frames;
    for (int i = 0; i < 600; ++i)
        frames += static_cast<char>((i * 37 + 11) & 0xFF);
    AbortEcho a;
    a.arm(abort, t0);
    EXPECT_EQ(a.filter(frames + "x[l8", t0), "");
    EXPECT_EQ(a.filter(frames + "\x18X\x01" + "\x1b[?2004h$ ", t0 + milliseconds(5)), "");
    EXPECT_FALSE(a.settle(t0 + milliseconds(5) + quiet / 2));
    EXPECT_EQ(a.settle(t0 + milliseconds(5) + quiet), "\x1b[?2004h$ ");
    EXPECT_FALSE(a.holding());
    EXPECT_EQ(a.filter("ls\r\n", t0 + milliseconds(300)), "ls\r\n");

    // A line that never goes quiet is let go by the limit; the next chunk carries it out.
    AbortEcho b;
    b.arm(abort, t0);
    for (auto at = t0; at < t0 + AbortEcho::LIMIT; at += quiet / 4)
        EXPECT_EQ(b.filter(frames, at), "");
    EXPECT_EQ(b.filter("$ ", t0 + AbortEcho::LIMIT), "$ ");

    // The abort reached an idle shell: its echo and the line editor's bells go, exactly
    // as many as were sent; more of the same is the user's.
    AbortEcho c;
    c.arm(abort, t0);
    const std::string echo = "^X^X^X^X^X^X^X^X^H^H^H^H^H^H^H^H";
    EXPECT_EQ(c.filter(echo + "\x1b[?2004h$ ", t0), "");
    EXPECT_EQ(c.filter(std::string(8, '\x07'), t0 + quiet), "\x1b[?2004h$ ");
    EXPECT_EQ(c.filter("^X\x07", t0 + quiet), "^X\x07");

    // Raw, without ECHOCTL.
    AbortEcho d;
    d.arm(abort, t0);
    EXPECT_EQ(d.filter(abort + "$ ", t0), "");
    EXPECT_EQ(d.settle(t0 + quiet), "$ ");

    // A line kill after the abort: its erasure of the columns dropped above goes, that of
    // a column the line showed (a stray byte before the abort) stays.
    AbortEcho k;
    k.arm(abort + "\x15", t0);
    EXPECT_EQ(k.settle(t0 + quiet), "");
    std::string erase_all;
    for (int column = 0; column < 33; ++column)
        erase_all += "\b \b";
    EXPECT_EQ(k.filter("?" + echo + erase_all + "$ ", t0 + quiet), "?\b \b$ ");
    EXPECT_EQ(k.filter("\b \b", t0 + quiet), "\b \b");

    // Once the window has passed, nothing is touched.
    AbortEcho e;
    e.arm(abort, t0);
    EXPECT_EQ(e.settle(t0 + quiet), "");
    EXPECT_EQ(e.filter("^X", t0 + AbortEcho::WINDOW), "^X");
    EXPECT_EQ(AbortEcho().filter("^X\x18", t0), "^X\x18");
}

}  // namespace
}  // namespace termiva
