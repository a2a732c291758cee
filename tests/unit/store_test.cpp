#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "unit/app_fixture.h"

namespace termiva {
namespace {

using Store = testing::AppFixture;

Json read_file(const std::filesystem::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return Json::parse(s.str());
}

TEST_F(Store, ANewSessionGetsA32DigitIdAndSavingAgainReplacesItInPlace) {
    Json first = app->save_session({{"name", "one"}});
    Json second = app->save_session({{"name", "two"}, {"custom_field", {1, 2}}});
    std::string id = first["id"];
    EXPECT_EQ(id.size(), 32u);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
    Json again = app->save_session({{"id", id}, {"name", "one renamed"}});
    ASSERT_EQ(again["sessions"].size(), 2u);
    EXPECT_EQ(again["sessions"][0]["name"], "one renamed");
    EXPECT_EQ(again["sessions"][1]["custom_field"], Json({1, 2}));
    // A record whose id is not in the list is appended with that id.
    Json foreign = app->save_session({{"id", "abc"}, {"name", "three"}});
    EXPECT_EQ(foreign["id"], "abc");
    EXPECT_EQ(foreign["sessions"][2]["id"], "abc");
    (void)second;
}

TEST_F(Store, SessionsAndSettingsSurviveARestartWithUnknownKeysKept) {
    app->save_session({{"name", "kept"}, {"zzz_unknown", "value"}});
    { std::ofstream(app->SETTINGS_FILE) << R"({"language":"zh-Hant","extra":{"a":1}})"; }
    app.reset();
    start();
    Json sessions = app->get_initial_state()["sessions"];
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0]["zzz_unknown"], "value");
    app->set_language("en");
    Json settings = read_file(app->SETTINGS_FILE);
    EXPECT_EQ(settings["extra"], (Json{{"a", 1}}));
    EXPECT_EQ(settings["language"], "en");
}

TEST_F(Store, FilesAreWrittenWithTwoSpaceIndentAndNonAsciiAsItself) {
    app->save_session({{"name", "中文"}});
    std::ifstream in(app->SESSIONS_FILE);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("中文"), std::string::npos);
    EXPECT_NE(text.str().find("\n  \"sessions\""), std::string::npos);
    // Nothing but the two files is left in the folder (no temporary files).
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        EXPECT_TRUE(entry.path().filename() == "sessions.json") << entry.path();
    }
}

TEST_F(Store, BrokenFilesAreLoggedAndReplacedByDefaults) {
    app.reset();
    { std::ofstream(dir.path() / "sessions.json") << "{}"; }
    { std::ofstream(dir.path() / "settings.json") << "[1, 2]"; }
    ::testing::internal::CaptureStderr();
    start();
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("load_sessions:"), std::string::npos);
    EXPECT_NE(log.find("load_settings:"), std::string::npos);
    EXPECT_TRUE(app->get_initial_state()["sessions"].empty());
    EXPECT_EQ(app->store().settings()["window_w"], 1280);

    app.reset();
    { std::ofstream(dir.path() / "sessions.json") << R"({"sessions": []})"; }
    { std::ofstream(dir.path() / "settings.json") << "not json"; }
    ::testing::internal::CaptureStderr();
    start();
    log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.find("load_sessions:"), std::string::npos);
    EXPECT_NE(log.find("load_settings:"), std::string::npos);
    EXPECT_TRUE(app->get_initial_state()["sessions"].empty());
}

TEST_F(Store, InitialStateReportsSessionsFileAndLanguage) {
    Json state = app->get_initial_state();
    EXPECT_EQ(state["sessions_file"], app->SESSIONS_FILE.string());
    EXPECT_EQ(state["language"], "en");
    EXPECT_TRUE(state["puttygen_path"].is_string());
}

// The message of the last status line shown.
std::string last_info(testing::RecordingWindow& w) {
    auto scripts = w.scripts();
    if (scripts.empty()) return "";
    const std::string& s = scripts.back();
    auto open = s.find('(');
    Json args = Json::parse("[" + s.substr(open + 1, s.size() - open - 2) + "]");
    return args[1].get<std::string>();
}

TEST_F(Store, ChangingOnlyTheNameOfAnOpenSessionAppliesAtOnce) {
    std::string id = open_idle_tab({{"name", "old"}, {"port", 22}});
    Json rec = app->tabs().find_tab(id)->session->stored;
    rec["name"] = "new";
    app->save_session(rec);
    EXPECT_NE(last_info(*window).find("─── Connection settings applied ───"), std::string::npos);
    EXPECT_EQ(app->tabs().get_runtime_state()["tabs"][0]["display"], "new");

    rec["port"] = 2222;
    app->save_session(rec);
    EXPECT_NE(last_info(*window).find("some connection-level fields require reconnect"),
              std::string::npos);
}

TEST_F(Store, TheFlashingToolsRememberedChoicesChangeNothingTheTabSays) {
    std::string id = open_idle_tab({{"name", "board"}, {"esp_chip", "esp32"}});
    Json rec = app->tabs().find_tab(id)->session->stored;
    auto status_lines = [&] {
        auto scripts = window->scripts();
        return std::count_if(scripts.begin(), scripts.end(), [](const std::string& s) {
            return s.find("setTerminalInfo") != std::string::npos;
        });
    };
    const auto lines = status_lines();
    rec["esp_chip"] = "esp32s3";
    rec["esp_flash_baud"] = 921600;
    app->save_session(rec);
    EXPECT_EQ(status_lines(), lines) << last_info(*window);
    EXPECT_EQ(app->tabs().find_tab(id)->session->stored["esp_chip"], "esp32s3");
    // Anything else in the same save is still told.
    rec["esp_chip"] = "esp32c3";
    rec["name"] = "board 2";
    app->save_session(rec);
    EXPECT_NE(last_info(*window).find("settings applied"), std::string::npos);
}

TEST_F(Store, FalseLikeValuesCountAsAbsentWhenComparingConnectionFields) {
    std::string id = open_idle_tab({{"name", "t"}});
    Json rec = app->tabs().find_tab(id)->session->stored;
    rec["terminal_type"] = "";
    rec["compression"] = false;
    rec["port_forwards"] = Json::array();
    app->save_session(rec);
    EXPECT_NE(last_info(*window).find("settings applied"), std::string::npos);
    rec["terminal_type"] = "vt100";
    app->save_session(rec);
    EXPECT_NE(last_info(*window).find("settings updated"), std::string::npos);
    rec["terminal_type"] = "xterm";
    app->save_session(rec);
    EXPECT_NE(last_info(*window).find("settings updated"), std::string::npos);
}

TEST_F(Store, ANewCodePageSwitchesTheDecoderAndAnUnknownOneIsLeftAlone) {
    std::string id = open_idle_tab({{"name", "enc"}});
    Json rec = app->tabs().find_tab(id)->session->stored;
    rec["line_code_page"] = "BIG5";
    app->save_session(rec);
    EXPECT_EQ(app->tabs().find_tab(id)->encoding, "big5");
    EXPECT_EQ(app->transfer().intercept_or_decode(id, "\xA4\xA4"), "\xE4\xB8\xAD");
    rec["line_code_page"] = "klingon";
    ::testing::internal::CaptureStderr();
    app->save_session(rec);
    EXPECT_NE(
        ::testing::internal::GetCapturedStderr().find("[apply_session] encoding lookup failed:"),
        std::string::npos);
    EXPECT_EQ(app->tabs().find_tab(id)->encoding, "big5");
}

TEST_F(Store, DeletingASessionKeepsItsTabAndSavingItAgainRelinksIt) {
    std::string id = open_idle_tab({{"name", "gone"}});
    Json rec = app->tabs().find_tab(id)->session->stored;
    Json after = app->delete_session(rec["id"]);
    EXPECT_TRUE(after["sessions"].empty());
    EXPECT_EQ(app->tabs().get_runtime_state()["tabs"].size(), 1u);
    rec["name"] = "back";
    app->save_session(rec);
    EXPECT_EQ(app->tabs().get_runtime_state()["tabs"][0]["display"], "back");
    EXPECT_EQ(app->tabs().connect_session(rec["id"])["existing"], true);
}

}  // namespace
}  // namespace termiva
