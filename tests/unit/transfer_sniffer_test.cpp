// The ZMODEM start detector: what is shown, what goes to the transfer, split headers.
#include <gtest/gtest.h>

#include "transfer/zmodem_sniffer.h"

namespace termiva {
namespace {

// What sz sends first: ZRQINIT as a hex header.
const std::string ZRQINIT = std::string("**\x18") + "B00000000000000\r\x8a\x11";

TEST(ZmodemSnifferDetects, AHeaderAtTheStartOfAChunk) {
    ZmodemSniffer sniffer;
    auto r = sniffer.feed(ZRQINIT);
    EXPECT_TRUE(r.detected);
    EXPECT_EQ(r.shown, "");
    EXPECT_EQ(r.transfer, ZRQINIT);
}

TEST(ZmodemSnifferDetects, AHeaderInsideOtherOutput) {
    ZmodemSniffer sniffer;
    auto r = sniffer.feed("$ sz file\r\nrz\r" + ZRQINIT + "more");
    EXPECT_TRUE(r.detected);
    EXPECT_EQ(r.shown, "$ sz file\r\nrz\r");
    EXPECT_EQ(r.transfer, ZRQINIT + "more");
}

TEST(ZmodemSnifferDetects, AHeaderSplitAtEveryPossiblePlace) {
    for (std::size_t cut = 1; cut < ZmodemSniffer::START.size(); ++cut) {
        ZmodemSniffer sniffer;
        auto first = sniffer.feed("text " + ZRQINIT.substr(0, cut));
        EXPECT_FALSE(first.detected) << cut;
        // Nothing is held back from the terminal while the rest is awaited.
        EXPECT_EQ(first.shown, "text " + ZRQINIT.substr(0, cut)) << cut;
        auto second = sniffer.feed(ZRQINIT.substr(cut));
        EXPECT_TRUE(second.detected) << cut;
        EXPECT_EQ(second.shown, "") << cut;
        // The transfer gets the header whole, including the part shown before.
        EXPECT_EQ(second.transfer, ZRQINIT) << cut;
    }
}

TEST(ZmodemSnifferDetects, AHeaderSplitOverThreeChunks) {
    ZmodemSniffer sniffer;
    EXPECT_FALSE(sniffer.feed("*").detected);
    EXPECT_FALSE(sniffer.feed("*\x18").detected);
    auto r = sniffer.feed(ZRQINIT.substr(3));
    EXPECT_TRUE(r.detected);
    EXPECT_EQ(r.transfer, ZRQINIT);
}

TEST(ZmodemSnifferDetects, AHeaderAfterExtraPadCharacters) {
    ZmodemSniffer sniffer;
    auto r = sniffer.feed("***" + ZRQINIT.substr(2));
    EXPECT_TRUE(r.detected);
    EXPECT_EQ(r.shown, "*");
    EXPECT_EQ(r.transfer, ZRQINIT);
}

TEST(ZmodemSnifferIgnores, OrdinaryTextWithStars) {
    ZmodemSniffer sniffer;
    for (const char* text : {"**bold** text", "** note **\r\n", "a**b", "*****", "**B00",
                             "**\x18"
                             "A00",
                             "** \x18"
                             "B00"}) {
        auto r = sniffer.feed(text);
        EXPECT_FALSE(r.detected) << text;
        EXPECT_EQ(r.shown, text);
        EXPECT_EQ(r.transfer, "");
    }
}

TEST(ZmodemSnifferIgnores, AReceiverHeaderWhichIsNotASenderStarting) {
    ZmodemSniffer sniffer;
    // ZRINIT (type 01): a receiver waiting, not a sender starting.
    std::string zrinit = std::string("**\x18") + "B0100000023be50\r\x8a\x11";
    auto r = sniffer.feed(zrinit);
    EXPECT_FALSE(r.detected);
    EXPECT_EQ(r.shown, zrinit);
}

TEST(ZmodemSnifferReset, ForgetsAPartialHeader) {
    ZmodemSniffer sniffer;
    sniffer.feed("**\x18");
    sniffer.reset();
    auto r = sniffer.feed(ZRQINIT.substr(3));
    EXPECT_FALSE(r.detected);
    EXPECT_EQ(r.shown, ZRQINIT.substr(3));
}

TEST(ZmodemSnifferReset, DetectsAgainAfterADetection) {
    ZmodemSniffer sniffer;
    EXPECT_TRUE(sniffer.feed(ZRQINIT).detected);
    sniffer.reset();
    EXPECT_FALSE(sniffer.feed("plain output").detected);
    EXPECT_TRUE(sniffer.feed("x" + ZRQINIT).detected);
}

TEST(ZmodemSnifferIgnores, EmptyChunks) {
    ZmodemSniffer sniffer;
    auto r = sniffer.feed("");
    EXPECT_FALSE(r.detected);
    EXPECT_EQ(r.shown, "");
}

// What rz prints while it waits for a sender: its ZRINIT as a hex header.
const std::string ZRINIT = std::string("**\x18") + "B0100000023be50\r\x8a\x11";

TEST(ZmodemReceiverWatchSees, RzWaitingAndTakesItsHeaderOffTheScreen) {
    ZmodemReceiverWatch watch;
    auto r = watch.feed("rz waiting to receive." + ZRINIT + "$ ");
    EXPECT_TRUE(r.waiting);
    EXPECT_EQ(r.shown, "rz waiting to receive.$ ");
    // rz asks again while it waits: seen again.
    auto again = watch.feed(ZRINIT);
    EXPECT_TRUE(again.waiting);
    EXPECT_EQ(again.shown, "");
}

TEST(ZmodemReceiverWatchSees, AHeaderWithoutXonOrWithAPlainLineFeed) {
    ZmodemReceiverWatch watch;
    const std::string plain = std::string("**\x18") + "B0100000023be50\r\n";
    auto r = watch.feed(plain + "after");
    EXPECT_TRUE(r.waiting);
    EXPECT_EQ(r.shown, "after");
}

TEST(ZmodemReceiverWatchSees, ASplitHeaderButShowsItSinceNothingIsHeldBack) {
    for (std::size_t cut = 1; cut < ZRINIT.size(); ++cut) {
        ZmodemReceiverWatch watch;
        auto first = watch.feed("x" + ZRINIT.substr(0, cut));
        auto second = watch.feed(ZRINIT.substr(cut));
        EXPECT_TRUE(first.waiting || second.waiting) << cut;
        EXPECT_FALSE(first.waiting && second.waiting) << cut;
        // Whatever was shown, in order, is a part of the input: nothing is invented or
        // moved, and the text before the header is never lost.
        const std::string shown = first.shown + second.shown;
        EXPECT_EQ(shown.substr(0, 1), "x") << cut;
        EXPECT_LE(shown.size(), ZRINIT.size() + 1) << cut;
    }
}

TEST(ZmodemReceiverWatchIgnores, ASenderOrAMangledHeaderOrPlainText) {
    ZmodemReceiverWatch watch;
    EXPECT_FALSE(watch.feed(ZRQINIT).waiting);
    EXPECT_FALSE(watch.feed("** B01 not a header **").waiting);
    // The start seen but the rest is not a header: seen, and nothing is taken away.
    const std::string odd = std::string("**\x18") + "B01zz";
    auto r = watch.feed(odd);
    EXPECT_TRUE(r.waiting);
    EXPECT_EQ(r.shown, odd);
}

}  // namespace
}  // namespace termiva
