#include <gtest/gtest.h>

#include "unit/app_fixture.h"

namespace termiva {
namespace {

using XferBridge = testing::AppFixture;

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

}  // namespace
}  // namespace termiva
