#include <gtest/gtest.h>

#include <stdexcept>

#include "text/codec.h"
#include "text/utf8.h"

namespace termiva::text {
namespace {

const std::string FFFD = "\xEF\xBF\xBD";

TEST(Codec, KnowsTheNamesUsersTypeAndRefusesOthers) {
    for (const char* name : {"utf-8", "UTF-8", "utf8", "big5", "cp950", "gbk", "shift_jis",
                             "euc-kr", "latin-1", "ascii", "cp1252", "koi8-r"}) {
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

TEST(Codec, DoubleByteTextCutAtEveryByteGivesTheSameText) {
    const std::string big5 = "a\xA4\xA4\xA4\xE5z";  // a中文z
    const std::string text = "a\xE4\xB8\xAD\xE6\x96\x87z";
    for (std::size_t cut1 = 0; cut1 <= big5.size(); ++cut1) {
        for (std::size_t cut2 = cut1; cut2 <= big5.size(); ++cut2) {
            Decoder d("big5");
            std::string out = d.decode(big5.substr(0, cut1));
            out += d.decode(big5.substr(cut1, cut2 - cut1));
            out += d.decode(big5.substr(cut2));
            EXPECT_EQ(out, text) << cut1 << "," << cut2;
        }
    }
}

TEST(Codec, ABadTrailByteCostsOneReplacementAndKeepsTheAsciiAfterIt) {
    Decoder big5("big5");
    EXPECT_EQ(big5.decode("\xA4 x"), FFFD + " x");
    EXPECT_EQ(big5.decode("ok\xA4\xA4"), "ok\xE4\xB8\xAD");
}

TEST(Codec, Gb18030FourByteCharactersOrAnUnknownName) {
    if (!codec_known("gb18030")) {
        // A system without the code page (Wine) must not decode it as something else: the
        // name is unknown, so the tab falls back to UTF-8.
        EXPECT_EQ(decoder_or_utf8("gb18030")->decode("\xE4\xB8\xAD"), "\xE4\xB8\xAD");
        EXPECT_THROW(Decoder("gb18030"), std::invalid_argument);
        GTEST_SKIP() << "this system has no GB18030 code page (Wine lacks it)";
    }
    Decoder gb("gb18030");
    std::string out;
    for (char c : std::string("\x81\x30\x81\x30"))
        out += gb.decode(std::string(1, c));
    EXPECT_EQ(out, "\xC2\x80");                        // U+0080, the first four-byte character
    EXPECT_EQ(gb.decode("\xD6\xD0"), "\xE4\xB8\xAD");  // 中, two bytes
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

// A peer's refusal of five megabytes once became one status line of five million
// characters: lines are cut at 1 KiB, on a character boundary, with a mark.
TEST(StatusLine, LongLinesAreCutOnACharacterBoundaryWithAMark) {
    EXPECT_EQ(text::cut_status_line("Permission denied."), "Permission denied.");
    const std::string exact(text::STATUS_LINE_MAX, 'a');
    EXPECT_EQ(text::cut_status_line(exact), exact);

    const std::string flood = "\x01" + std::string(5'000'000, 'z');
    const std::string cut = text::cut_status_line(flood);
    EXPECT_EQ(cut, flood.substr(0, text::STATUS_LINE_MAX) + std::string(text::CUT_MARK));

    // "\u4e2d" is three bytes: a limit falling inside one keeps the whole character out.
    std::string wide;
    for (int i = 0; i < 400; ++i)
        wide += "\u4e2d";
    const std::string cut_wide = text::cut_status_line(wide);
    EXPECT_EQ(cut_wide, wide.substr(0, 1023) + std::string(text::CUT_MARK));
    std::string decoded;
    text::Utf8Sanitizer check;
    check.decode(cut_wide, decoded);
    check.finish(decoded);
    EXPECT_EQ(decoded, cut_wide) << "the cut left a broken character";
}

TEST(Utf8Sanitizer, CountsCodePointsNotBytes) {
    EXPECT_EQ(count_code_points("a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"), 4u);
    EXPECT_EQ(count_code_points(""), 0u);
}

}  // namespace
}  // namespace termiva::text
