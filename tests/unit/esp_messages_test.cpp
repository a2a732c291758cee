// The flashing job's codes in the catalog: each worded in both languages with the same
// placeholders, so a job's line never shows a bare key, an unfilled brace or the other
// language.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "app/messages/messages.h"
#include "flashwright/messages.h"

namespace termiva {
namespace {

std::set<std::string> placeholders(const std::string& text) {
    static const std::regex name(R"(\{([a-z_]+)\})");
    std::set<std::string> out;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), name);
         it != std::sregex_iterator(); ++it)
        out.insert((*it)[1]);
    return out;
}

bool has_cjk(const std::string& text) {
    for (unsigned char c : text)
        if (c >= 0xE4 && c <= 0xE9) return true;
    return false;
}

TEST(EspMessages, EveryJobCodeIsWordedInBothLanguages) {
    const auto& en = message_catalog().at("en");
    const auto& zh = message_catalog().at("zh-Hant");
    // Texts without words: a file name, an index line, a name with its size.
    const std::set<std::string> same = {"detail_verify", "file_start", "detail_plain"};
    ASSERT_FALSE(flashwright::message_templates().empty());
    for (const auto& [code, english] : flashwright::message_templates()) {
        const std::string key = "esp.msg." + std::string(code);
        ASSERT_TRUE(en.count(key)) << key;
        ASSERT_TRUE(zh.count(key)) << key;
        EXPECT_EQ(en.at(key), english) << key;
        EXPECT_FALSE(has_cjk(en.at(key))) << key;
        if (!same.count(std::string(code))) {
            EXPECT_TRUE(has_cjk(zh.at(key))) << key;
        }
        EXPECT_EQ(placeholders(en.at(key)), placeholders(zh.at(key))) << key;
    }
}

TEST(EspMessages, TheLibraryFillsItsOwnWording) {
    flashwright::Message m{
        "verify_mismatch",
        {{"file", "app.bin"}, {"offset", "10000"}, {"actual", "aa"}, {"expected", "bb"}}};
    EXPECT_EQ(flashwright::english_text(m),
              "Verification failed: app.bin at 0x10000 reads back differently (MD5 aa, "
              "expected bb)");
    EXPECT_EQ(format_message(message_catalog().at("zh-Hant").at("esp.msg.verify_mismatch"),
                             MessageArgs(m.values.begin(), m.values.end())),
              "驗證失敗:app.bin 在 0x10000 讀回的內容不符(MD5 aa,應為 bb)");
    // A code the library does not know still says what it carries.
    EXPECT_EQ(flashwright::english_text({"no_such_code", {{"x", "1"}}}), "no_such_code x=1");
}

}  // namespace
}  // namespace termiva
