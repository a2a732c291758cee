#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>

#include "app/messages/messages.h"
#include "app/termiva_app.h"
#include "support/test_support.h"

namespace termiva {
namespace {

TEST(MessageCatalog, BothLanguagesHoldTheSameKeys) {
    const auto& catalog = message_catalog();
    ASSERT_EQ(catalog.size(), 2u);
    const auto& en = catalog.at("en");
    const auto& zh = catalog.at("zh-Hant");
    std::set<std::string> en_keys, zh_keys;
    for (const auto& [k, v] : en)
        en_keys.insert(k);
    for (const auto& [k, v] : zh)
        zh_keys.insert(k);
    EXPECT_EQ(en_keys, zh_keys);
    for (const auto& [k, v] : zh)
        EXPECT_FALSE(v.empty()) << k;
}

// A key the code asks for that the catalog lacks shows the bare key to the user.
TEST(MessageCatalog, HoldsEveryKeyTheProgramLooksUp) {
    const auto& en = message_catalog().at("en");
    const std::regex lookup(R"re((?:_t|StartFailure)\(\s*"([a-z_]+\.[a-z0-9_.]+)")re");
    std::size_t seen = 0;
    for (const char* top : {"src", "tools"}) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(
                 std::filesystem::path(TERMIVA_SOURCE_DIR) / top)) {
            const auto ext = entry.path().extension();
            if (ext != ".cpp" && ext != ".h") continue;
            std::ifstream in(entry.path());
            std::string text((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
            for (std::sregex_iterator m(text.begin(), text.end(), lookup), end; m != end; ++m) {
                ++seen;
                EXPECT_TRUE(en.count((*m)[1].str())) << (*m)[1] << " in " << entry.path();
            }
        }
    }
    EXPECT_GT(seen, 0u) << "no lookups found under " << TERMIVA_SOURCE_DIR;
}

TEST(MessageCatalog, RulesUseThreeBoxDrawingCharactersOnEachSide) {
    for (const auto& [lang, table] : message_catalog()) {
        for (const char* key : {"info.connection_ended", "info.settings_applied",
                                "info.xfer_end_ok", "info.zmodem_detected"}) {
            const std::string& text = table.at(key);
            EXPECT_EQ(text.rfind("─── ", 0), 0u) << lang << " " << key;
            EXPECT_EQ(text.substr(text.size() - std::string(" ───").size()), " ───") << key;
        }
    }
    EXPECT_EQ(message_catalog().at("en").at("info.serial_connected"),
              "\r\n--- Connected to {com} @ {baud} ---\r\n");
    EXPECT_EQ(message_catalog().at("en").at("info.flag_toggled"), "─── {action} \"{label}\" ───");
}

TEST(FormatMessage, FillsNamedPlaceholdersAndUndoublesBraces) {
    EXPECT_EQ(format_message("Connecting to {host}:{port}...", {{"host", "h"}, {"port", "22"}}),
              "Connecting to h:22...");
    EXPECT_EQ(format_message("{{literal}} {x}", {{"x", "1"}}), "{literal} 1");
    EXPECT_EQ(format_message("a {x} b {x}", {{"x", "y"}}), "a y b y");
}

TEST(FormatMessage, ReturnsTheTextUnformattedWhenAValueIsMissingOrTheTextIsMalformed) {
    EXPECT_EQ(format_message("{com} @ {baud}", {{"baud", "9600"}}), "{com} @ {baud}");
    EXPECT_EQ(format_message("oops } {x}", {{"x", "1"}}), "oops } {x}");
    EXPECT_EQ(format_message("open {x", {{"x", "1"}}), "open {x");
    EXPECT_EQ(format_message("positional {} {0}", {{"x", "1"}}), "positional {} {0}");
    // Without values the stored text comes back as it is, doubled braces included.
    EXPECT_EQ(format_message("{{keep}} {err}", {}), "{{keep}} {err}");
}

class Translate : public ::testing::Test {
protected:
    testing::TempDir dir;
};

TEST_F(Translate, LooksUpTheCurrentLanguageAndFallsBackToTheKey) {
    TermivaApp app(nullptr, nullptr, dir.path());
    EXPECT_EQ(app._t("err.conn_fail", {{"err", "T"}}), "Connection failed: T");
    EXPECT_EQ(app._t("err.conn_fail"), "Connection failed: {err}");
    EXPECT_EQ(app._t("no.such.key"), "no.such.key");
    EXPECT_EQ(app._t("info.serial_reconnected", {{"baud", "9600"}}),
              "─── Reconnected to {com} @ {baud} ───");
    app.set_language("zh-Hant");
    EXPECT_EQ(app._t("err.conn_fail", {{"err", "T"}}), "連線失敗：T");
}

TEST_F(Translate, SetLanguageRefusesUnknownLanguagesAndSavesOnlyOnChange) {
    TermivaApp app(nullptr, nullptr, dir.path());
    EXPECT_EQ(app.set_language("fr"), (Json{{"ok", true}, {"language", "en"}}));
    EXPECT_FALSE(std::filesystem::exists(app.SETTINGS_FILE));  // "en" was already in force
    EXPECT_EQ(app.set_language("zh-Hant")["language"], "zh-Hant");
    auto first_write = std::filesystem::last_write_time(app.SETTINGS_FILE);
    std::filesystem::remove(app.SETTINGS_FILE);
    app.set_language("zh-Hant");
    EXPECT_FALSE(std::filesystem::exists(app.SETTINGS_FILE)) << "unchanged language saved again";
    (void)first_write;
}

TEST_F(Translate, AnUnsupportedLanguageInTheSettingsFileStartsInEnglish) {
    { std::ofstream(dir.path() / "settings.json") << R"({"language": "fr", "window_w": 1000})"; }
    TermivaApp app(nullptr, nullptr, dir.path());
    EXPECT_EQ(app.store().settings()["language"], "en");
    EXPECT_EQ(app.store().settings()["window_w"], 1000);
    EXPECT_EQ(app.store().settings()["window_h"], 720);
}

}  // namespace
}  // namespace termiva
