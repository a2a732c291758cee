#include <gtest/gtest.h>

#include "unit/app_fixture.h"

namespace termiva {
namespace {

using DataPath = testing::AppFixture;

// Text through the tab's data path, as the page drains it.
std::string through(TermivaApp& app, const std::string& id, const std::string& text) {
    app.tabs().push_text(id, text);
    return app.tabs().drain_terminal(id);
}

TEST_F(DataPath, LfHasCrAddsCarriageReturnsButNeverDoublesASplitPair) {
    std::string id = open_idle_tab({{"lfhascr", true}});
    auto tab = app->tabs().find_tab(id);
    EXPECT_EQ(through(*app, id, "a\nb"), "a\r\nb");
    EXPECT_EQ(through(*app, id, "a\r\nb"), "a\r\nb");
    EXPECT_EQ(through(*app, id, "a\r"), "a\r");
    EXPECT_EQ(through(*app, id, "\nb"), "\nb");  // CR came in the last chunk
}

TEST_F(DataPath, CrHasLfAddsLineFeedsAndBothFlagsTurnCrLfIntoCrLfLf) {
    std::string id = open_idle_tab({{"crhaslf", true}});
    auto tab = app->tabs().find_tab(id);
    EXPECT_EQ(through(*app, id, "a\rb"), "a\r\nb");

    std::string both = open_idle_tab({{"name", "both"}, {"crhaslf", true}, {"lfhascr", true}});
    auto tab2 = app->tabs().find_tab(both);
    EXPECT_EQ(through(*app, both, "a\r\nb"), "a\r\n\nb");
}

TEST_F(DataPath, WithoutFlagsTextPassesUnchangedAndTheCarriageReturnStateIsUntouched) {
    std::string id = open_idle_tab();
    auto tab = app->tabs().find_tab(id);
    tab->eol_prev_cr = true;
    EXPECT_EQ(through(*app, id, "x\r\ny\n"), "x\r\ny\n");
    EXPECT_TRUE(tab->eol_prev_cr);
}

TEST_F(DataPath, DrainReturnsEverythingBufferedOnceThenNothing) {
    std::string id = open_idle_tab();
    app->tabs().push_text(id, "one ");
    app->tabs().push_text(id, "two");
    EXPECT_EQ(app->tabs().drain_terminal(id), "one two");
    EXPECT_EQ(app->tabs().drain_terminal(id), "");
    EXPECT_EQ(app->tabs().drain_terminal("nosuchid"), "");
}

TEST_F(DataPath, OutputArrivingWhileReadingIsOffIsDropped) {
    std::string id = open_idle_tab();
    EXPECT_EQ(*app->call_bridge("get_tab_reading", Json::array({id})), (Json{{"reading", true}}));
    EXPECT_EQ(*app->call_bridge("toggle_tab_reading", Json::array({id})),
              (Json{{"reading", false}}));
    app->tabs().push_text(id, "hidden");
    EXPECT_EQ(*app->call_bridge("toggle_tab_reading", Json::array({id})),
              (Json{{"reading", true}}));
    app->tabs().push_text(id, "shown");
    EXPECT_EQ(app->tabs().drain_terminal(id), "shown");
    EXPECT_EQ(*app->call_bridge("toggle_tab_reading", Json::array({"nosuchid"})),
              (Json{{"reading", false}}));
    EXPECT_EQ(*app->call_bridge("get_tab_reading", Json::array({"nosuchid"})),
              (Json{{"reading", false}}));
}

TEST_F(DataPath, TheBufferDropsWholeOldChunksAboveTwoMillionCharacters) {
    std::string id = open_idle_tab();
    app->tabs().push_text(id, std::string(1'500'000, 'a'));
    app->tabs().push_text(id, std::string(600'000, 'b'));
    EXPECT_EQ(app->tabs().drain_terminal(id), std::string(600'000, 'b'));

    // A single chunk above the limit stays whole.
    app->tabs().push_text(id, std::string(3'000'000, 'c'));
    EXPECT_EQ(app->tabs().drain_terminal(id).size(), 3'000'000u);

    // The limit counts characters, not bytes: 1,000,000 three-byte characters fit.
    std::string cjk;
    for (int i = 0; i < 1'000'000; ++i)
        cjk += "\xE4\xB8\xAD";
    app->tabs().push_text(id, cjk);
    app->tabs().push_text(id, std::string(900'000, 'd'));
    EXPECT_EQ(app->tabs().drain_terminal(id).size(), cjk.size() + 900'000);
}

TEST_F(DataPath, SetTabEncodingAcceptsKnownCodecsOnly) {
    std::string id = open_idle_tab();
    EXPECT_EQ(*app->call_bridge("set_tab_encoding", Json::array({id, "Big5"})), true);
    EXPECT_EQ(app->tabs().find_tab(id)->encoding, "Big5");  // stored as given
    EXPECT_EQ(*app->call_bridge("set_tab_encoding", Json::array({id, "klingon"})), false);
    EXPECT_EQ(app->tabs().find_tab(id)->encoding, "Big5");
    EXPECT_EQ(*app->call_bridge("set_tab_encoding", Json::array({"nosuchid", "utf-8"})), false);
    EXPECT_EQ(app->transfer().intercept_or_decode(id, "\xA4\xA4"), "\xE4\xB8\xAD");
}

TEST_F(DataPath, InputAndResizeOnATabWithoutBackendAreRefused) {
    std::string id = open_idle_tab();
    EXPECT_FALSE(app->tabs().send_input(id, "x"));
    EXPECT_FALSE(app->tabs().resize_pty(id, 24, 80));
    EXPECT_FALSE(app->tabs().send_input("nosuchid", "x"));
    EXPECT_FALSE(app->tabs().resize_pty("nosuchid", 24, 80));
}

TEST_F(DataPath, StatusLinesAreScriptCallsWithJsonArguments) {
    std::string id = open_idle_tab();
    window->clear();
    app->tabs().push_info(id, "say \"hi\"\n", true);
    app->tabs().push_connected(id);
    auto scripts = window->scripts();
    ASSERT_EQ(scripts.size(), 2u);
    EXPECT_EQ(scripts[0], "setTerminalInfo(\"" + id + "\", \"say \\\"hi\\\"\\n\", true)");
    EXPECT_EQ(scripts[1], "terminalConnected(\"" + id + "\")");
}

}  // namespace
}  // namespace termiva
