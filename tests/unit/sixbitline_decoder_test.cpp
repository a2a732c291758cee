// The SUPDUP display decoder: greeting phase, every %TD code, arguments across chunks,
// replies owed to the server, and the location timing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sixbitline/display_decoder.h"

namespace termiva {
namespace {

using P = SupdupProtocol;
using Kind = ServerReply::Kind;

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) {
        s += static_cast<char>(v);
    }
    return s;
}

const std::string ESC = "\x1b";

// A decoder whose greeting is over and whose location has gone out already, so that
// replies seen afterwards belong to the bytes under test.
SupdupDisplayDecoder connected_decoder(std::string_view charset = "ascii") {
    SupdupDisplayDecoder decoder(charset, "Here");
    decoder.feed(bytes({P::TDNOP, P::TDNOP}));
    return decoder;
}

std::vector<Kind> kinds(const std::vector<ServerReply>& replies) {
    std::vector<Kind> out;
    for (const auto& r : replies) {
        out.push_back(r.kind);
    }
    return out;
}

// --- greeting -------------------------------------------------------------------------

TEST(SixbitlineDecoderGreeting, PassesGreetingTextThroughUntilTdnop) {
    SupdupDisplayDecoder decoder("ascii", "Termiva");
    const std::string greeting = "MIT AI ITS.1648\r\nWelcome\x07";
    DecodedChunk first = decoder.feed(greeting + "\x01");
    EXPECT_EQ(first.output, greeting);
    EXPECT_TRUE(first.replies.empty());
    EXPECT_EQ(decoder.state()._state, P::CONNECTING);

    DecodedChunk nop = decoder.feed(bytes({P::TDNOP}));
    EXPECT_EQ(nop.output, "");
    EXPECT_TRUE(nop.replies.empty()) << "the location must not go out on the TDNOP itself";
    EXPECT_EQ(decoder.state()._state, P::CONNECTED);
    EXPECT_EQ(decoder.state()._tdstate, P::TD_TOPLEVEL);
}

TEST(SixbitlineDecoderGreeting, TranslatesOnlyAfterTheGreetingEnds) {
    SupdupDisplayDecoder decoder("ascii", "Termiva");
    // Before TDNOP a display code byte is greeting text; after it, it is a command.
    DecodedChunk chunk = decoder.feed(bytes({'h', 'i', P::TDCLR, P::TDNOP, P::TDCLR, 'x'}));
    EXPECT_EQ(chunk.output, "hi" + ESC + "[2J" + ESC + "[Hx");
}

// The greeting is the server's text: it may not drive the terminal (a title, the
// clipboard through OSC 52, a C1 CSI) nor put bytes on it that are not UTF-8.
TEST(SixbitlineDecoderGreeting, EscapesControlsAndNonAsciiBytesNeverReachTheTerminal) {
    SupdupDisplayDecoder decoder("its", "Termiva");
    const std::string hostile = ESC + "]52;c;cHduZWQ=\x07" + ESC +
                                "]0;title\x07\x9b"
                                "6n\xc2\x9b" +
                                "\xff\xfe ok\r\n";
    EXPECT_EQ(decoder.feed(hostile).output,
              "]52;c;cHduZWQ=\x07]0;title\x07"
              "6n ok\r\n");
}

// A quoted character is shown, never obeyed: in ASCII only plain text passes, in the
// PDP-10 character sets a control code shows its glyph.
TEST(SixbitlineDecoderCommands, QuotedEscapeAndHighBytesAreNotPassedOn) {
    SupdupDisplayDecoder ascii = connected_decoder();
    EXPECT_EQ(ascii.feed(bytes({P::TDQOT, 033, ']', P::TDQOT, 0233, P::TDQOT, 0302, 'x'})).output,
              "]x");
    SupdupDisplayDecoder its("its", "Termiva");
    its.feed(bytes({P::TDNOP, 'a'}));
    EXPECT_EQ(its.feed(bytes({P::TDQOT, 033, P::TDQOT, 0233})).output, "◊");
}

// --- location -------------------------------------------------------------------------

TEST(SixbitlineDecoderLocation, GoesOutAfterTheFirstByteFollowingTheGreetingInOneChunk) {
    SupdupDisplayDecoder decoder("ascii", "Lab 7");
    DecodedChunk chunk = decoder.feed(bytes({'O', 'K', P::TDNOP, 'A', 'B'}));
    EXPECT_EQ(chunk.output, "OKAB");
    ASSERT_EQ(chunk.replies.size(), 2u);
    EXPECT_EQ(chunk.replies[0].kind, Kind::LocationMarker);
    EXPECT_EQ(chunk.replies[0].bytes, bytes({0300, 0302}));
    EXPECT_EQ(chunk.replies[1].kind, Kind::LocationText);
    EXPECT_EQ(chunk.replies[1].bytes, std::string("Lab 7") + '\0');
    EXPECT_TRUE(decoder.state()._sent_location);
}

TEST(SixbitlineDecoderLocation, WaitsForTheNextChunkWhenTheGreetingEndsAChunk) {
    SupdupDisplayDecoder decoder("ascii", "Termiva");
    EXPECT_TRUE(decoder.feed(bytes({'G', P::TDNOP})).replies.empty());
    EXPECT_FALSE(decoder.state()._sent_location);
    DecodedChunk next = decoder.feed(bytes({P::TDNOP}));
    EXPECT_EQ(kinds(next.replies), (std::vector<Kind>{Kind::LocationMarker, Kind::LocationText}));
}

TEST(SixbitlineDecoderLocation, IsSentOnceAndFollowsAnOutputResetReplyOfTheSameByte) {
    SupdupDisplayDecoder decoder("ascii", "");
    decoder.feed(bytes({P::TDNOP}));
    DecodedChunk chunk = decoder.feed(bytes({P::TDORS, P::TDORS}));
    EXPECT_EQ(kinds(chunk.replies), (std::vector<Kind>{Kind::OutputResetAck, Kind::LocationMarker,
                                                       Kind::LocationText, Kind::OutputResetAck}));
    EXPECT_EQ(chunk.replies[2].bytes, std::string(1, '\0')) << "empty location: just the end";
    EXPECT_TRUE(decoder.feed("more text").replies.empty());
}

TEST(SixbitlineDecoderLocation, GoesOutOnTheCodeByteOfAnIncompleteCommand) {
    SupdupDisplayDecoder decoder("ascii", "X");
    decoder.feed(bytes({P::TDNOP}));
    DecodedChunk chunk = decoder.feed(bytes({P::TDMOV, 1}));
    EXPECT_EQ(chunk.output, "");
    EXPECT_EQ(chunk.replies.size(), 2u);
}

// --- display commands -----------------------------------------------------------------

struct CommandCase {
    const char* name;
    std::string input;
    std::string expected;
};

class SixbitlineDecoderCommand : public ::testing::TestWithParam<CommandCase> {};

TEST_P(SixbitlineDecoderCommand, TranslatesToTheAnsiEquivalent) {
    SupdupDisplayDecoder decoder = connected_decoder();
    DecodedChunk chunk = decoder.feed(GetParam().input);
    EXPECT_EQ(chunk.output, GetParam().expected);
    EXPECT_EQ(decoder.state()._tdstate, P::TD_TOPLEVEL);
}

INSTANTIATE_TEST_SUITE_P(
    EveryTdCode, SixbitlineDecoderCommand,
    ::testing::Values(
        CommandCase{"TDMOV", bytes({P::TDMOV, 0, 0, 4, 9}), ESC + "[5;10H"},
        CommandCase{"TDMOV_uses_new_position", bytes({P::TDMOV, 7, 7, 0, 0}), ESC + "[1;1H"},
        CommandCase{"TDMV1", bytes({P::TDMV1, 23, 79}), ESC + "[24;80H"},
        CommandCase{"TDMV0", bytes({P::TDMV0, 0, 0}), ESC + "[1;1H"},
        CommandCase{"TDMV0_full_byte_args", bytes({P::TDMV0, 0377, 0200}), ESC + "[256;129H"},
        CommandCase{"TDEOF", bytes({P::TDEOF}), ESC + "[J"},
        CommandCase{"TDEOL", bytes({P::TDEOL}), ESC + "[K"},
        CommandCase{"TDDLF", bytes({P::TDDLF}), ESC + "[X"},
        CommandCase{"TDCRL", bytes({P::TDCRL}), "\r\n" + ESC + "[K"},
        CommandCase{"TDNOP", bytes({P::TDNOP, 'a'}), "a"},
        CommandCase{"TDBS", bytes({P::TDBS}), "\b"}, CommandCase{"TDLF", bytes({P::TDLF}), "\n"},
        CommandCase{"TDCR", bytes({P::TDCR}), "\r"},
        CommandCase{"TDORS", bytes({P::TDORS, 'b'}), "b"},
        CommandCase{"TDQOT_control", bytes({P::TDQOT, 012}), "\n"},
        CommandCase{"TDQOT_display_code_is_not_a_command", bytes({P::TDQOT, P::TDCLR, 'q'}), "q"},
        CommandCase{"TDFS", bytes({P::TDFS}), ESC + "[C"},
        CommandCase{"TDCLR", bytes({P::TDCLR}), ESC + "[2J" + ESC + "[H"},
        CommandCase{"TDBEL", bytes({P::TDBEL}), "\a"},
        CommandCase{"TDILP", bytes({P::TDILP, 3}), ESC + "[3L"},
        CommandCase{"TDDLP", bytes({P::TDDLP, 12}), ESC + "[12M"},
        CommandCase{"TDICP", bytes({P::TDICP, 200}), ESC + "[200@"},
        CommandCase{"TDDCP", bytes({P::TDDCP, 0}), ESC + "[0P"},
        CommandCase{"TDBOW", bytes({P::TDBOW, 'c'}), "c"},
        CommandCase{"TDRST", bytes({P::TDRST, 'd'}), "d"},
        CommandCase{"argument_bytes_are_not_commands", bytes({P::TDILP, P::TDNOP, 'e'}),
                    ESC + "[136Le"}),
    [](const ::testing::TestParamInfo<CommandCase>& info) { return info.param.name; });

TEST(SixbitlineDecoderCommands, OutputResetIsAcknowledgedWithCursorAtOrigin) {
    SupdupDisplayDecoder decoder = connected_decoder();
    DecodedChunk chunk = decoder.feed(bytes({P::TDORS}));
    ASSERT_EQ(chunk.replies.size(), 1u);
    EXPECT_EQ(chunk.replies[0].kind, Kind::OutputResetAck);
    EXPECT_EQ(chunk.replies[0].bytes, bytes({034, 020, 0, 0}));
    EXPECT_EQ(chunk.output, "");
}

TEST(SixbitlineDecoderCommands, UnknownCodesAreIgnoredAndLeaveTheTopLevel) {
    std::vector<int> unknown = {0205, 0206, 0222};
    for (int code = 0231; code <= 0377; ++code) {
        unknown.push_back(code);
    }
    for (int code : unknown) {
        SupdupDisplayDecoder decoder = connected_decoder();
        DecodedChunk chunk = decoder.feed(bytes({code, 'z'}));
        EXPECT_EQ(chunk.output, "z") << "code 0" << std::oct << code;
        EXPECT_EQ(decoder.state()._tdstate, P::TD_TOPLEVEL);
        EXPECT_TRUE(chunk.replies.empty());
    }
}

TEST(SixbitlineDecoderCommands, PartialCommandWaitsInTheArgumentState) {
    SupdupDisplayDecoder decoder = connected_decoder();
    EXPECT_EQ(decoder.feed(bytes({P::TDMV0, 5})).output, "");
    EXPECT_EQ(decoder.state()._tdstate, P::TD_ARGS);
    EXPECT_EQ(decoder.state()._td_code, P::TDMV0);
    EXPECT_EQ(decoder.state()._td_argcount, 2);
    EXPECT_EQ(decoder.state()._td_args, bytes({5}));
}

TEST(SixbitlineDecoderCommands, TdmovSplitAnywhereProducesItsSequenceOnTheLastByte) {
    const std::string whole = bytes({P::TDMOV, 0, 0, 4, 9});
    for (std::size_t split = 1; split < whole.size(); ++split) {
        SupdupDisplayDecoder decoder = connected_decoder();
        DecodedChunk first = decoder.feed(whole.substr(0, split));
        EXPECT_EQ(first.output, "") << "split at " << split;
        EXPECT_EQ(decoder.state()._tdstate, P::TD_ARGS);
        DecodedChunk second = decoder.feed(whole.substr(split) + "!");
        EXPECT_EQ(second.output, ESC + "[5;10H!") << "split at " << split;
    }
}

TEST(SixbitlineDecoderCommands, TdmovDeliveredOneByteAtATime) {
    SupdupDisplayDecoder decoder = connected_decoder();
    const std::string whole = bytes({P::TDMOV, 1, 2, 3, 4});
    std::string output;
    for (char c : whole) {
        EXPECT_EQ(output, "");
        output += decoder.feed(std::string(1, c)).output;
    }
    EXPECT_EQ(output, ESC + "[4;5H");
}

TEST(SixbitlineDecoderCommands, ArgumentOverflowReturnsToTopLevelAndDropsTheByte) {
    SupdupDisplayDecoder decoder = connected_decoder();
    SupdupDisplayDecoder::State full = decoder.state();
    full._tdstate = P::TD_ARGS;
    full._td_code = P::TDMOV;
    full._td_argcount = 6;  // more than any command takes: the list fills up first
    full._td_args = bytes({1, 2, 3, 4});
    decoder.set_state(full);

    DecodedChunk chunk = decoder.feed(bytes({'Q'}));
    EXPECT_EQ(chunk.output, "") << "the overflowing byte is dropped, not printed";
    EXPECT_EQ(decoder.state()._tdstate, P::TD_TOPLEVEL);
    EXPECT_EQ(decoder.feed("ok").output, "ok");
}

TEST(SixbitlineDecoderCommands, NewCommandClearsArgumentsOfThePreviousOne) {
    SupdupDisplayDecoder decoder = connected_decoder();
    decoder.feed(bytes({P::TDMOV, 9, 9, 9, 9}));
    EXPECT_EQ(decoder.feed(bytes({P::TDMV1, 2})).output, "");
    EXPECT_EQ(decoder.state()._td_args, bytes({2}));
    EXPECT_EQ(decoder.feed(bytes({3})).output, ESC + "[3;4H");
}

// --- plain characters -----------------------------------------------------------------

TEST(SixbitlineDecoderAscii, PrintsPrintablesAndDropsControls) {
    SupdupDisplayDecoder decoder = connected_decoder("ascii");
    EXPECT_EQ(decoder.feed("\r\nAb~ \x7f\x01\x1b").output, "Ab~ ");
}

TEST(SixbitlineDecoderAscii, UnknownCharsetNameFallsBackToAscii) {
    SupdupDisplayDecoder decoder = connected_decoder("ITS");
    EXPECT_EQ(decoder.feed(bytes({0, 'a', 0177})).output, "a");
}

TEST(SixbitlineDecoderCharsets, ExamplesOfTheTwoPdp10Sets) {
    SupdupDisplayDecoder its = connected_decoder("its");
    EXPECT_EQ(its.feed(bytes({0})).output, "·");
    EXPECT_EQ(its.feed(bytes({0177})).output, "∫");
    SupdupDisplayDecoder waits = connected_decoder("waits");
    EXPECT_EQ(waits.feed(bytes({0137})).output, "←");
    EXPECT_EQ(waits.feed(bytes({0, 011, 0177})).output, "");
}

}  // namespace
}  // namespace termiva
