// Protocol constants and the terminal description in 36-bit words.
#include <gtest/gtest.h>

#include <string>

#include "sixbitline/protocol.h"
#include "sixbitline/terminal_description.h"

namespace termiva {
namespace {

using P = SupdupProtocol;

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) {
        s += static_cast<char>(v);
    }
    return s;
}

TEST(SixbitlineConstants, WordsAndOptionBitsHaveTheirDocumentedValues) {
    EXPECT_EQ(P::DEFAULT_PORT, 95);
    EXPECT_EQ(P::WORDS, 68718166016u);
    EXPECT_EQ(P::TCTYP, 7u);
    EXPECT_EQ(P::TTYROL, 1u);
    // Bit numbers counted from the right of the 36-bit word.
    const std::pair<P::Word, int> bits[] = {
        {P::TOALT, 34}, {P::TOCLC, 33}, {P::TOERS, 32}, {P::TOMVB, 30},
        {P::TOSAI, 29}, {P::TOSA1, 28}, {P::TOOVR, 27}, {P::TOMVU, 26},
        {P::TOMOR, 25}, {P::TOROL, 24}, {P::TOLWR, 22}, {P::TOFCI, 21},
        {P::TOLID, 19}, {P::TOCID, 18}, {P::TPCBS, 5},  {P::TPORS, 3}};
    for (const auto& [value, bit] : bits) {
        EXPECT_EQ(value, P::Word{1} << bit) << "bit " << bit;
    }
}

TEST(SixbitlineConstants, DisplayCodesHaveTheirDocumentedValues) {
    const std::pair<int, int> codes[] = {
        {P::TDMOV, 128}, {P::TDMV1, 129}, {P::TDEOF, 130}, {P::TDEOL, 131}, {P::TDDLF, 132},
        {P::TDCRL, 135}, {P::TDNOP, 136}, {P::TDBS, 137},  {P::TDLF, 138},  {P::TDCR, 139},
        {P::TDORS, 140}, {P::TDQOT, 141}, {P::TDFS, 142},  {P::TDMV0, 143}, {P::TDCLR, 144},
        {P::TDBEL, 145}, {P::TDILP, 147}, {P::TDDLP, 148}, {P::TDICP, 149}, {P::TDDCP, 150},
        {P::TDBOW, 151}, {P::TDRST, 152}};
    for (const auto& [code, decimal] : codes) {
        EXPECT_EQ(code, decimal);
    }
    EXPECT_EQ(P::CONNECTING, 0);
    EXPECT_EQ(P::CONNECTED, 1);
    EXPECT_EQ(P::TD_TOPLEVEL, 0);
    EXPECT_EQ(P::TD_ARGS, 1);
    EXPECT_EQ(P::TD_ARGSDONE, 2);
    EXPECT_EQ(P::CHARSET_ASCII, "ascii");
    EXPECT_EQ(P::CHARSET_ITS, "its");
    EXPECT_EQ(P::CHARSET_WAITS, "waits");
}

TEST(SixbitlineWordEncoding, SplitsA36BitWordIntoSixBitBytesHighFirst) {
    // -5,,0: the left half (-5 in 18 bits, 777773) fills the first three bytes.
    EXPECT_EQ(encode_36bit_word(P::WORDS), bytes({077, 077, 073, 0, 0, 0}));
    EXPECT_EQ(encode_36bit_word(7), bytes({0, 0, 0, 0, 0, 7}));
    EXPECT_EQ(encode_36bit_word(0123456701234), bytes({012, 034, 056, 070, 012, 034}));
    EXPECT_EQ(encode_36bit_word(0), std::string(6, '\0'));
}

TEST(SixbitlineWordEncoding, EveryByteKeepsItsTopTwoBitsClear) {
    const std::string all_ones = encode_36bit_word(0777777777777);
    EXPECT_EQ(all_ones, std::string(6, '\077'));
    // Bits above the 36th are not part of the word and must not leak into the bytes.
    EXPECT_EQ(encode_36bit_word((P::Word{1} << 40) | 5), bytes({0, 0, 0, 0, 0, 5}));
}

TEST(SixbitlineTtyopt, DefaultsAskForScrollingWithoutPagePauses) {
    EXPECT_EQ(build_ttyopt("ascii", true, false), 050523000050u);
    EXPECT_EQ(build_ttyopt("ascii", false, false), 050423000050u);
}

TEST(SixbitlineTtyopt, Pdp10CharsetsAnnounceTheSailCharacters) {
    EXPECT_EQ(build_ttyopt("its", false, false), 050423000050u | P::TOSAI | P::TOSA1);
    EXPECT_EQ(build_ttyopt("waits", false, false), 050423000050u | P::TOSAI | P::TOSA1);
}

TEST(SixbitlineTtyopt, MoreProcessingAddsItsBit) {
    EXPECT_EQ(build_ttyopt("ascii", true, true), 050523000050u | P::TOMOR);
}

TEST(SixbitlineDescription, WordsComeInProtocolOrder) {
    const auto words = terminal_description_words("ascii", true, false, 24, 80);
    EXPECT_EQ(words[0], 0777773000000u);
    EXPECT_EQ(words[1], 7u);
    EXPECT_EQ(words[2], 050523000050u);
    EXPECT_EQ(words[3], 24u);
    EXPECT_EQ(words[4], 79u) << "last column stays free for the continuation mark";
    EXPECT_EQ(words[5], 1u);
}

TEST(SixbitlineDescription, NonsenseSizesAreSentAsZero) {
    const auto zero_width = terminal_description_words("ascii", true, false, 24, 0);
    EXPECT_EQ(zero_width[4], 0u);
    const auto negative = terminal_description_words("ascii", true, false, -3, -10);
    EXPECT_EQ(negative[3], 0u);
    EXPECT_EQ(negative[4], 0u);
}

}  // namespace
}  // namespace termiva
