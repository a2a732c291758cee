#include <gtest/gtest.h>

#include <stdexcept>

#include "text/codec.h"
#include "text/utf8.h"

namespace termiva::text {
namespace {

const std::string FFFD = "\xEF\xBF\xBD";

TEST(Codec, KnowsTheNamesUsersTypeAndRefusesOthers) {
    for (const char* name : {"utf-8", "UTF-8", "utf8", "big5", "cp950", "gbk", "gb18030",
                             "shift_jis", "euc-kr", "latin-1", "ascii", "cp1252", "koi8-r"}) {
        EXPECT_TRUE(codec_known(name)) << name;
    }
    EXPECT_FALSE(codec_known("no-such-codec"));
    EXPECT_FALSE(codec_known(""));
    EXPECT_THROW(Decoder("no-such-codec"), std::invalid_argument);
}

TEST(Codec, EncodingSubstitutesQuestionMarksForWhatTheCodePageCannotHold) {
    EXPECT_EQ(encode("ascii", "caf\xC3\xA9!"), "caf?!");
    EXPECT_EQ(encode("latin-1", "caf\xC3\xA9"), "caf\xE9");
    EXPECT_EQ(encode("big5", "\xE4\xB8\xAD"), "\xA4\xA4");  // 中
    EXPECT_EQ(encode("latin-1", "\xE4\xB8\xAD x"), "? x");
    EXPECT_EQ(encode("utf-8", "\xE4\xB8\xAD"), "\xE4\xB8\xAD");
}

TEST(Codec, AMultiByteCharacterSplitAcrossChunksIsCompletedByTheNextChunk) {
    Decoder big5("big5");
    EXPECT_EQ(big5.decode("a\xA4"), "a");
    EXPECT_EQ(big5.decode("\xA4"
                          "b"),
              "\xE4\xB8\xAD"
              "b");  // 中b

    Decoder utf8("utf-8");
    EXPECT_EQ(utf8.decode("x\xE4"), "x");
    EXPECT_EQ(utf8.decode("\xB8"), "");
    EXPECT_EQ(utf8.decode("\xAD"
                          "y"),
              "\xE4\xB8\xAD"
              "y");
}

TEST(Codec, InvalidInputBecomesReplacementCharacters) {
    Decoder utf8("utf-8");
    EXPECT_EQ(utf8.decode("a\xFF"
                          "b"),
              "a" + FFFD + "b");
    // A truncated sequence followed by ASCII is one replacement, then the ASCII.
    EXPECT_EQ(utf8.decode("\xE4\xB8"
                          "c"),
              FFFD + "c");
    // Overlong and surrogate encodings are invalid.
    EXPECT_EQ(utf8.decode("\xC0\xAF"), FFFD + FFFD);
    EXPECT_EQ(utf8.decode("\xED\xA0\x80"), FFFD + FFFD + FFFD);

    Decoder ascii("ascii");
    EXPECT_EQ(ascii.decode("ok\x80"), "ok" + FFFD);
}

TEST(Utf8Sanitizer, SplittingAValidTextAtEveryByteGivesTheSameText) {
    const std::string text = "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z";
    for (std::size_t cut1 = 0; cut1 <= text.size(); ++cut1) {
        for (std::size_t cut2 = cut1; cut2 <= text.size(); ++cut2) {
            Utf8Sanitizer s;
            std::string out;
            s.decode(text.substr(0, cut1), out);
            s.decode(text.substr(cut1, cut2 - cut1), out);
            s.decode(text.substr(cut2), out);
            EXPECT_EQ(out, text) << cut1 << "," << cut2;
        }
    }
}

TEST(Utf8Sanitizer, CountsCodePointsNotBytes) {
    EXPECT_EQ(count_code_points("a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"), 4u);
    EXPECT_EQ(count_code_points(""), 0u);
}

}  // namespace
}  // namespace termiva::text
