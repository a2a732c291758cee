// The UTF-8 <-> UTF-16 helper and path_from_utf8 on Windows: text that is not what it
// should be costs a character, never the text, and a non-ASCII folder name reaches the
// file system as itself.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/utf8_path.h"
#include "platform/windows/wide_text.h"

namespace {

using termiva::platform::path_for_narrow_api;
using termiva::platform::path_from_utf8;
using termiva::platform::path_to_utf8;
using termiva::platform::windows::to_utf16;
using termiva::platform::windows::to_utf8;

const std::string kTemplates = "\xe6\xa0\xbc\xe5\xbc\x8f\xe7\xaf\x84\xe6\x9c\xac";  // 格式範本
const std::wstring kTemplatesWide = L"\u683c\u5f0f\u7bc4\u672c";
const std::string kReplacement = "\xef\xbf\xbd";

TEST(WideText, ConvertsBothWaysWithoutLoss) {
    EXPECT_EQ(to_utf16(""), L"");
    EXPECT_EQ(to_utf16("COM3"), L"COM3");
    EXPECT_EQ(to_utf16(kTemplates), kTemplatesWide);
    EXPECT_EQ(to_utf8(kTemplatesWide), kTemplates);
    // A character outside the BMP is a surrogate pair in UTF-16 and four bytes in UTF-8.
    const std::string grinning = "\xf0\x9f\x98\x80";
    const std::wstring pair = to_utf16(grinning);
    ASSERT_EQ(pair.size(), 2u);
    EXPECT_EQ(pair[0], 0xD83D);
    EXPECT_EQ(pair[1], 0xDE00);
    EXPECT_EQ(to_utf8(pair), grinning);
    // An embedded NUL is a character like any other, not the end of the text.
    EXPECT_EQ(to_utf16(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
}

TEST(WideText, InvalidUtf8BecomesReplacementCharacters) {
    EXPECT_EQ(to_utf16("a\xff"
                       "b"),
              L"a\uFFFDb");
    // A sequence cut short by the next character: the character after it survives.
    const std::wstring cut = to_utf16(
        "\xe6\xa0"
        "b");
    ASSERT_FALSE(cut.empty());
    EXPECT_EQ(cut.back(), L'b');
    EXPECT_EQ(cut.find_first_not_of(L'\uFFFD'), cut.size() - 1);
    // Overlong forms and encoded surrogates are not UTF-8 either.
    for (const char* bad : {"\xc0\xaf", "\xed\xa0\x80", "\xf8\x88\x80\x80\x80"}) {
        const std::wstring got = to_utf16(bad);
        ASSERT_FALSE(got.empty()) << bad;
        EXPECT_EQ(got.find_first_not_of(L'\uFFFD'), std::wstring::npos) << bad;
    }
    // A text ending in the middle of a character keeps what came before.
    EXPECT_EQ(to_utf16(kTemplates.substr(0, 4)).substr(0, 1), kTemplatesWide.substr(0, 1));
}

TEST(WideText, UnpairedSurrogatesBecomeReplacementCharacters) {
    EXPECT_EQ(to_utf8(std::wstring{L'a', wchar_t(0xD800), L'b'}), "a" + kReplacement + "b");
    EXPECT_EQ(to_utf8(std::wstring{wchar_t(0xDC00)}), kReplacement);
    // Low before high is two unpaired halves, not a pair.
    EXPECT_EQ(to_utf8(std::wstring{wchar_t(0xDE00), wchar_t(0xD83D)}), kReplacement + kReplacement);
    EXPECT_EQ(to_utf8(std::wstring{L'x', wchar_t(0xD83D)}), "x" + kReplacement);
}

TEST(Utf8Path, NamesTheFolderTheTextNames) {
    const std::filesystem::path path = path_from_utf8(kTemplates);
    EXPECT_EQ(path.native(), kTemplatesWide);
    EXPECT_EQ(path_to_utf8(path), kTemplates);

    wchar_t temp[MAX_PATH + 1];
    ASSERT_GT(::GetTempPathW(MAX_PATH + 1, temp), 0u);
    const std::filesystem::path base =
        std::filesystem::path(temp) / (L"termiva-wide-" + std::to_wstring(::GetCurrentProcessId()));
    const std::filesystem::path folder = base / path_from_utf8(kTemplates + "/logo.txt");
    std::filesystem::create_directories(folder.parent_path());
    { std::ofstream(folder) << "x"; }
    // Looked up through the wide API by its own name: not a code-page guess of it.
    const std::wstring wide = base.native() + L"\\" + kTemplatesWide + L"\\logo.txt";
    EXPECT_NE(::GetFileAttributesW(wide.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(path_to_utf8(folder.parent_path().filename()), kTemplates);
    std::filesystem::remove_all(base);
}

// What a C library's fopen makes of the narrow name: the same file, whether or not the
// folder's name fits the ANSI code page (an emoji fits none but UTF-8's).
TEST(Utf8Path, ANarrowNameOpensTheSameFileThroughFopen) {
    wchar_t temp[MAX_PATH + 1];
    ASSERT_GT(::GetTempPathW(MAX_PATH + 1, temp), 0u);
    const std::filesystem::path base =
        std::filesystem::path(temp) /
        (L"termiva-narrow-" + std::to_wstring(::GetCurrentProcessId()));
    for (const std::string& folder_name :
         {std::string("plain"), kTemplates + " \xF0\x9F\x99\x82"}) {
        const std::filesystem::path folder = base / path_from_utf8(folder_name);
        std::filesystem::create_directories(folder);
        const std::filesystem::path file = folder / L"known_hosts";
        { std::ofstream(file, std::ios::binary) << "recorded " << folder_name; }
        const std::string narrow = path_for_narrow_api(file);
        ASSERT_FALSE(narrow.empty()) << folder_name;
        std::FILE* f = std::fopen(narrow.c_str(), "rb");
        ASSERT_NE(f, nullptr) << folder_name << " as " << narrow;
        char buf[256] = {};
        const std::size_t n = std::fread(buf, 1, sizeof buf, f);
        std::fclose(f);
        EXPECT_EQ(std::string(buf, n), "recorded " + folder_name);

        // A file not made yet: named through its folder, and fopen makes it there.
        const std::filesystem::path fresh = folder / L"fresh";
        const std::string fresh_narrow = path_for_narrow_api(fresh);
        ASSERT_FALSE(fresh_narrow.empty()) << folder_name;
        std::FILE* made = std::fopen(fresh_narrow.c_str(), "ab");
        ASSERT_NE(made, nullptr) << folder_name << " as " << fresh_narrow;
        std::fclose(made);
        EXPECT_TRUE(std::filesystem::exists(fresh)) << fresh_narrow;
    }
    std::filesystem::remove_all(base);
}

}  // namespace
