// Every entry of the ITS and WAITS glyph tables, checked through the decoder, against the
// character sets as the PDP-10 terminals documented them.
#include <gtest/gtest.h>

#include <array>
#include <map>
#include <string>

#include "sixbitline/display_decoder.h"

namespace termiva {
namespace {

using P = SupdupProtocol;

// Codes 000 to 037 of each set; "" means the terminal shows nothing.
const std::array<const char*, 32> ITS_CONTROLS = {
    "·", "↓", "α", "β", "∧", "¬", "ε", "π", "λ", "γ", "δ", "↑", "±", "⊕", "∞", "∂",
    "⊂", "⊃", "∩", "∪", "∀", "∃", "⊗", "↔", "←", "→", "≠", "◊", "≤", "≥", "≡", "∨"};
const std::array<const char*, 32> WAITS_CONTROLS = {
    "",  "↓", "α", "β", "∧", "¬", "ε", "π", "λ", "",  "",  "",  "",  "",  "∞", "∂",
    "⊂", "⊃", "∩", "∪", "∀", "∃", "⊗", "↔", "_", "→", "~", "≠", "≤", "≥", "≡", "∨"};
// Where the printable range departs from ASCII.
const std::map<int, std::string> ITS_PRINTABLE_EXCEPTIONS = {{0177, "∫"}};
const std::map<int, std::string> WAITS_PRINTABLE_EXCEPTIONS = {
    {0136, "↑"}, {0137, "←"}, {0175, "◊"}, {0176, "}"}, {0177, ""}};

std::string expected_glyph(int code, const std::array<const char*, 32>& controls,
                           const std::map<int, std::string>& exceptions) {
    if (code < 040) {
        return controls[code];
    }
    auto found = exceptions.find(code);
    if (found != exceptions.end()) {
        return found->second;
    }
    return std::string(1, static_cast<char>(code));
}

std::string decode_one(std::string_view charset, int code) {
    SupdupDisplayDecoder decoder(charset, "");
    decoder.feed(std::string(1, static_cast<char>(P::TDNOP)));
    return decoder.feed(std::string(1, static_cast<char>(code))).output;
}

TEST(SixbitlineCharsets, ItsShowsEveryCodeAsItsGlyph) {
    for (int code = 0; code < 128; ++code) {
        const std::string want = expected_glyph(code, ITS_CONTROLS, ITS_PRINTABLE_EXCEPTIONS);
        EXPECT_EQ(std::string(P::ITS_MAP[code]), want) << "table entry 0" << std::oct << code;
        EXPECT_EQ(decode_one("its", code), want) << "decoded 0" << std::oct << code;
    }
}

TEST(SixbitlineCharsets, WaitsShowsEveryCodeAsItsGlyph) {
    for (int code = 0; code < 128; ++code) {
        const std::string want = expected_glyph(code, WAITS_CONTROLS, WAITS_PRINTABLE_EXCEPTIONS);
        EXPECT_EQ(std::string(P::WAITS_MAP[code]), want) << "table entry 0" << std::oct << code;
        EXPECT_EQ(decode_one("waits", code), want) << "decoded 0" << std::oct << code;
    }
}

TEST(SixbitlineCharsets, AsciiShowsExactlyThePrintableRange) {
    for (int code = 0; code < 128; ++code) {
        const std::string want =
            code >= 040 && code < 0177 ? std::string(1, static_cast<char>(code)) : "";
        EXPECT_EQ(decode_one("ascii", code), want) << "code 0" << std::oct << code;
    }
}

TEST(SixbitlineCharsets, EveryGlyphIsAtMostOneCharacterOfValidUtf8) {
    for (const auto* table : {&P::ITS_MAP, &P::WAITS_MAP}) {
        for (std::string_view glyph : *table) {
            ASSERT_LE(glyph.size(), 3u);
            if (glyph.empty()) {
                continue;
            }
            const auto lead = static_cast<unsigned char>(glyph[0]);
            const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : 3;
            EXPECT_EQ(glyph.size(), length) << glyph;
            for (std::size_t i = 1; i < glyph.size(); ++i) {
                EXPECT_EQ(static_cast<unsigned char>(glyph[i]) & 0xC0, 0x80) << glyph;
            }
        }
    }
}

}  // namespace
}  // namespace termiva
