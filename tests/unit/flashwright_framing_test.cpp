// SLIP framing, checksum, command packets and the input waits of a flashing job.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

#include "flashwright_job_harness.h"

namespace flashwright::testing {
namespace {

using detail::FlasherJob;

std::vector<std::string> drain_packets(FlasherJob& job) {
    std::vector<std::string> out(job._packet_q.begin(), job._packet_q.end());
    job._packet_q.clear();
    return out;
}

TEST(SlipEncoding, EscapesBothSpecialBytesAndFramesWithEnd) {
    EXPECT_EQ(FlasherJob::_slip_encode(bytes({0xC0, 0xDB, 0x41})),
              bytes({0xC0, 0xDB, 0xDC, 0xDB, 0xDD, 0x41, 0xC0}));
    EXPECT_EQ(FlasherJob::_slip_encode(""), bytes({0xC0, 0xC0}));
    EXPECT_EQ(FlasherJob::_slip_encode("AB"), bytes({0xC0, 'A', 'B', 0xC0}));
}

TEST(SlipDecoding, BackToBackFramesYieldTwoPackets) {
    JobHarness h;
    h.job()._feed_slip_chunk(bytes({0xC0, 0x01, 0x08, 0x33, 0xC0, 0xC0, 0x01, 0x08, 0x44, 0xC0}));
    EXPECT_EQ(drain_packets(h.job()),
              (std::vector<std::string>{bytes({1, 8, 0x33}), bytes({1, 8, 0x44})}));
}

TEST(SlipDecoding, EndOnAnEmptyFrameStartsTheNextFrame) {
    JobHarness h;
    auto& job = h.job();
    job._feed_slip_chunk(bytes({0xC0, 0xC0, 0x01, 0x02, 0xC0}));
    EXPECT_EQ(drain_packets(job), std::vector<std::string>{bytes({0x01, 0x02})});
    EXPECT_FALSE(job._slip_in_packet);
}

TEST(SlipDecoding, AStrayEndInLineNoiseCostsAtMostOneFrame) {
    JobHarness h;
    auto& job = h.job();
    // One stray END in the boot noise, then a run of back-to-back frames.
    job._feed_slip_chunk("rst:0x1" + bytes({0xC0}) + "boot:0x3\r\n");
    for (int i = 0; i < 4; ++i)
        job._feed_slip_chunk(frame("R" + std::to_string(i)));
    auto packets = drain_packets(job);
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(packets.back(), "R3");
    EXPECT_GE(std::count(packets.begin(), packets.end(), "R2") +
                  std::count(packets.begin(), packets.end(), "R3"),
              2);
}

TEST(SlipDecoding, EscapeFollowedByOrdinaryByteInsertsThatByte) {
    JobHarness h;
    h.job()._feed_slip_chunk(bytes({0xC0, 0xDB, 0x41, 0xDB, 0xDC, 0xDB, 0xDD, 0xC0}));
    EXPECT_EQ(drain_packets(h.job()), std::vector<std::string>{bytes({0x41, 0xC0, 0xDB})});
}

TEST(SlipDecoding, GarbageOutsideFramesIsDropped) {
    JobHarness h;
    h.job()._feed_slip_chunk("ets Jun  8 2016\r\nwaiting for download\r\n" + frame("pkt"));
    EXPECT_EQ(drain_packets(h.job()), std::vector<std::string>{"pkt"});
}

TEST(SlipDecoding, FrameSplitAtEveryByteBoundaryDecodesOnce) {
    const std::string payload = bytes({0x01, 0xC0, 0x02, 0xDB, 0xDB, 0xC0, 0x03, 0xDC, 0xDD});
    const std::string wire = frame(payload);
    for (std::size_t cut = 0; cut <= wire.size(); ++cut) {
        JobHarness h;
        h.job()._feed_slip_chunk(wire.substr(0, cut));
        h.job()._feed_slip_chunk(wire.substr(cut));
        EXPECT_EQ(drain_packets(h.job()), std::vector<std::string>{payload}) << "cut at " << cut;
    }
    JobHarness one_by_one;
    for (char c : wire)
        one_by_one.job()._feed_slip_chunk(std::string(1, c));
    EXPECT_EQ(drain_packets(one_by_one.job()), std::vector<std::string>{payload});
}

TEST(SlipDecoding, RandomPayloadsSurviveRandomChunking) {
    std::mt19937 rng(42);
    for (int round = 0; round < 200; ++round) {
        std::vector<std::string> payloads;
        std::string wire;
        for (int k = 0; k < 3; ++k) {
            std::string p(1 + rng() % 300, '\0');
            for (auto& c : p)
                c = static_cast<char>(rng() % 4 == 0 ? 0xC0 + (rng() % 2) * 0x1B : rng());
            payloads.push_back(p);
            wire += FlasherJob::_slip_encode(p);
        }
        JobHarness h;
        std::size_t at = 0;
        while (at < wire.size()) {
            const std::size_t n = 1 + rng() % 17;
            h.job()._feed_slip_chunk(std::string_view(wire).substr(at, n));
            at += n;
        }
        ASSERT_EQ(drain_packets(h.job()), payloads) << "round " << round;
    }
}

TEST(Checksum, SeedAndExclusiveOr) {
    EXPECT_EQ(FlasherJob::_checksum(""), 0xEF);
    EXPECT_EQ(FlasherJob::_checksum(bytes({0xEF})), 0x00);
    EXPECT_EQ(FlasherJob::_checksum(bytes({0x01, 0x02})), 0xEC);
    EXPECT_EQ(FlasherJob::_checksum(std::string(1024, '\xFF')), 0xEF);
}

TEST(CommandPacket, LayoutIsLittleEndianAndSentAsOneFrame) {
    JobHarness h;
    h.job()._send_command(0x03, "abc", 0x1234ABCD);
    const auto sent = h.sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], frame(bytes({0x00, 0x03, 0x03, 0x00, 0xCD, 0xAB, 0x34, 0x12}) + "abc"));
}

TEST(CommandPacket, SpecialBytesInHeaderAndDataAreEscaped) {
    JobHarness h;
    h.job()._send_command(0xC0, bytes({0xDB}), 0xC0);
    ASSERT_EQ(h.sent().size(), 1u);
    EXPECT_EQ(h.sent()[0], bytes({0xC0, 0x00, 0xDB, 0xDC, 0x01, 0x00, 0xDB, 0xDC, 0x00, 0x00, 0x00,
                                  0xDB, 0xDD, 0xC0}));
}

TEST(ReadPacket, ReturnsOldestAndTimesOutWithItsOwnText) {
    JobHarness h;
    h.job().feed(frame("one") + frame("two"));
    EXPECT_EQ(h.job()._read_packet(0.5), "one");
    EXPECT_EQ(h.job()._read_packet(0.5), "two");
    try {
        h.job()._read_packet(0.05);
        FAIL() << "no time-out";
    } catch (const EspTimeoutError& e) {
        EXPECT_STREQ(e.what(), "No answer from the board (timed out)");
    }
}

TEST(ReadPacket, PicksUpBytesFedFromAnotherThread) {
    JobHarness h;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        const std::string wire = frame("late");
        h.job().feed(wire.substr(0, 3));
        h.job().feed(wire.substr(3));
    });
    EXPECT_EQ(h.job()._read_packet(2.0), "late");
    reader.join();
}

TEST(FlushResidual, DiscardsPacketsButKeepsAFrameInProgress) {
    JobHarness h;
    h.job().feed(frame("old") + bytes({0xC0, 'n', 'e'}));
    h.job()._flush_residual(0.03);
    EXPECT_TRUE(h.job()._packet_q.empty());
    h.job().feed("w" + bytes({0xC0}));
    EXPECT_EQ(h.job()._read_packet(0.5), "new");
}

TEST(Cancellation, WakesAWaitingReadAtOnce) {
    JobHarness h;
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        h.job().cancel();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(h.job()._read_packet(30.0), EspFlasherCancelled);
    canceller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(Cancellation, LogsOnceAndEmptyWakeChunksAreIgnored) {
    JobHarness h;
    h.job().cancel();
    h.job().cancel();
    int logs = 0;
    for (const auto& e : h.events()) {
        if (e["kind"] == "log" && e["text"] == "Cancelled by the user") {
            ++logs;
            EXPECT_EQ(e["level"], "warn");
        }
    }
    EXPECT_EQ(logs, 1);
    h.job().feed("");
    EXPECT_TRUE(h.job()._packet_q.empty());
}

}  // namespace
}  // namespace flashwright::testing
