// Matching responses to commands: foreign and short packets, status bytes, time-outs and the
// developer diagnostics.
#include <gtest/gtest.h>

#include "diagnostics.h"
#include "flashwright_job_harness.h"

namespace flashwright::testing {
namespace {

class DiagCapture {
public:
    DiagCapture() {
        detail::set_diag_sink([this](const std::string& line) { lines.push_back(line); });
    }
    ~DiagCapture() { detail::set_diag_sink(nullptr); }
    bool has(const std::string& line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    std::vector<std::string> lines;
};

const std::string ROM_OK = bytes({0, 0, 0, 0});

TEST(CheckResponse, SkipsForeignOpcodeAndAcceptsTheAwaitedOneLater) {
    DiagCapture diag;
    JobHarness h;
    h.job().feed(JobHarness::response(0x08, 0, ROM_OK) +
                 JobHarness::response(0x0A, 0x00F01D83, ROM_OK));
    const auto [value, body] = h.job()._check_response(0x0A);
    EXPECT_EQ(value, 0x00F01D83u);
    EXPECT_EQ(body, "");
    EXPECT_TRUE(diag.has("[esp][resp] unexpected pkt dir=0x01 op=0x08 (waiting 0x0a)"));
    EXPECT_TRUE(diag.has("[esp][resp] op=0x0a OK value=0x00f01d83 body_len=0"));
}

TEST(CheckResponse, SkipsShortPacketsAndCommandDirection) {
    DiagCapture diag;
    JobHarness h;
    h.job().feed(frame(bytes({0x01, 0x0A, 0x00})) +
                 frame(bytes({0x00, 0x0A, 0x04, 0x00, 0, 0, 0, 0}) + ROM_OK) +
                 JobHarness::response(0x0A, 7, ROM_OK));
    EXPECT_EQ(h.job()._check_response(0x0A).first, 7u);
    EXPECT_TRUE(
        diag.has("[esp][resp] short pkt (3 bytes) while waiting op=0x0a: b'\\x01\\n\\x00'"));
    EXPECT_TRUE(diag.has("[esp][resp] unexpected pkt dir=0x00 op=0x0a (waiting 0x0a)"));
}

TEST(CheckResponse, RomStatusIsFourBytesAndCutOff) {
    JobHarness h;
    h.job().feed(JobHarness::response(0x0A, 1, "xy" + ROM_OK));
    EXPECT_EQ(h.job()._check_response(0x0A).second, "xy");
    h.job().feed(JobHarness::response(0x0A, 1, ROM_OK));
    EXPECT_EQ(h.job()._check_response(0x0A).second, "");
}

TEST(CheckResponse, BodyShorterThanStatusIsReturnedUnchecked) {
    JobHarness h;
    h.job().feed(JobHarness::response(0x0A, 1, bytes({1, 5, 0})));
    EXPECT_EQ(h.job()._check_response(0x0A).second, bytes({1, 5, 0}));
}

TEST(CheckResponse, StubStatusIsTwoBytes) {
    JobHarness h;
    h.job()._is_stub = true;
    h.job().feed(JobHarness::response(0x0A, 1, bytes({'A', 0, 0})));
    EXPECT_EQ(h.job()._check_response(0x0A).second, "A");
    h.job().feed(JobHarness::response(0x11, 0, bytes({1, 0xC1})));
    try {
        h.job()._check_response(0x11);
        FAIL() << "status 1 accepted";
    } catch (const EspProtocolError& e) {
        EXPECT_STREQ(e.what(), "Protocol error: op 0x11 answered status=0x01 err=0xc1");
    }
}

TEST(CheckResponse, NonZeroStatusFailsEvenWithAPlausibleValue) {
    DiagCapture diag;
    JobHarness h;
    h.job().feed(JobHarness::response(0x0A, 0x00F01D83, bytes({1, 5, 0, 0})));
    try {
        h.job()._check_response(0x0A);
        FAIL() << "status 1 accepted";
    } catch (const EspProtocolError& e) {
        EXPECT_STREQ(e.what(), "Protocol error: op 0x0a answered status=0x01 err=0x05");
    }
    EXPECT_TRUE(diag.has("[esp][resp] op=0x0a FAIL status=0x01 err=0x05 value=0x00f01d83"));
}

TEST(CheckResponse, LengthFieldBeyondThePacketGivesTheShorterBody) {
    JobHarness h;
    std::string pkt = bytes({0x01, 0x0A, 0x40, 0x00, 0, 0, 0, 0}) + "zz" + ROM_OK;
    h.job().feed(frame(pkt));
    EXPECT_EQ(h.job()._check_response(0x0A).second, "zz");
}

TEST(CheckResponse, SilenceEndsWithThePacketTimeOut) {
    JobHarness h;
    try {
        h.job()._check_response(0x02, 0.05);
        FAIL() << "no time-out";
    } catch (const EspTimeoutError& e) {
        EXPECT_STREQ(e.what(), "No answer from the board (timed out)");
    }
}

TEST(CheckResponse, OnlyForeignPacketsUntilTheDeadlineGiveTheCommandTimeOut) {
    DiagCapture diag;
    JobHarness h;
    // Far more foreign answers than can be looked at before the deadline.
    std::string flood;
    const std::string foreign = JobHarness::response(0x08, 0, ROM_OK);
    for (int i = 0; i < 200000; ++i)
        flood += foreign;
    h.job().feed(flood);
    try {
        h.job()._check_response(0x02, 0.05);
        ADD_FAILURE() << "no time-out";
    } catch (const EspTimeoutError& e) {
        EXPECT_STREQ(e.what(), "No answer to op 0x02 (timed out)");
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
    }
    bool timeout_line = false;
    for (const auto& l : diag.lines) {
        timeout_line |= l.rfind("[esp][resp] timeout waiting op=0x02 (unmatched_pkts=", 0) == 0;
    }
    EXPECT_TRUE(timeout_line);
}

TEST(CheckResponse, SuppressedLogWritesNoDiagnostics) {
    DiagCapture diag;
    JobHarness h;
    h.job()._suppress_resp_log = true;
    h.job().feed(JobHarness::response(0x07, 0, ROM_OK) + JobHarness::response(0x08, 0, ROM_OK));
    h.job()._check_response(0x08);
    EXPECT_TRUE(diag.lines.empty());
}

TEST(Command, SendsThenMatches) {
    JobHarness h;
    h.job().feed(JobHarness::response(0x0D, 0, ROM_OK));
    h.job()._command(0x0D, std::string(8, '\0'));
    ASSERT_EQ(h.sent().size(), 1u);
    EXPECT_EQ(h.sent()[0], frame(bytes({0, 0x0D, 8, 0, 0, 0, 0, 0}) + std::string(8, '\0')));
}

}  // namespace
}  // namespace flashwright::testing
