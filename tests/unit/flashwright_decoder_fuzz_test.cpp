// Bounded random input for the SLIP decoder and the response matcher: garbage, truncated and
// corrupted frames must never crash, hang or produce packets that were never framed.
#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "diagnostics.h"
#include "flashwright_job_harness.h"

namespace flashwright::testing {
namespace {

class QuietDiagnostics {
public:
    QuietDiagnostics() {
        detail::set_diag_sink([](const std::string&) {});
    }
    ~QuietDiagnostics() { detail::set_diag_sink(nullptr); }
};

std::string random_bytes(std::mt19937& rng, std::size_t max_len) {
    std::string out(rng() % (max_len + 1), '\0');
    for (auto& c : out) {
        const unsigned r = rng() % 8;
        c = static_cast<char>(r == 0 ? 0xC0 : r == 1 ? 0xDB : r == 2 ? 0xDC + rng() % 2 : rng());
    }
    return out;
}

TEST(DecoderFuzz, RandomGarbageNeverCrashesAndPacketsStayBounded) {
    std::mt19937 rng(20261207);
    for (int round = 0; round < 300; ++round) {
        JobHarness h;
        std::size_t fed = 0;
        for (int k = 0; k < 20; ++k) {
            const std::string chunk = random_bytes(rng, 200);
            fed += chunk.size();
            h.job()._feed_slip_chunk(chunk);
        }
        std::size_t total = 0;
        for (const auto& p : h.job()._packet_q) {
            EXPECT_FALSE(p.empty());
            total += p.size();
        }
        EXPECT_LE(total, fed);
    }
}

TEST(DecoderFuzz, TruncatedFramesBetweenGoodOnesLoseOnlyWhatTheyTouch) {
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        JobHarness h;
        const std::string good = "GOOD" + std::to_string(round);
        std::string cut = detail::FlasherJob::_slip_encode(random_bytes(rng, 50));
        cut.resize(cut.size() / 2);
        // Garbage without delimiters, a frame cut short, then two complete frames: the cut
        // frame swallows the first good one's opening delimiter, the second always survives.
        std::string junk = random_bytes(rng, 30);
        std::erase(junk, '\xC0');
        h.job()._feed_slip_chunk(junk + cut + frame(good) + frame(good));
        ASSERT_FALSE(h.job()._packet_q.empty());
        EXPECT_EQ(h.job()._packet_q.back(), good);
    }
}

TEST(DecoderFuzz, ResponseMatcherOverGarbageEndsByTimeOut) {
    QuietDiagnostics quiet;
    std::mt19937 rng(99);
    for (int round = 0; round < 20; ++round) {
        JobHarness h;
        h.job().feed(random_bytes(rng, 2000));
        const auto start = std::chrono::steady_clock::now();
        try {
            h.job()._check_response(0x42, 0.05);
        } catch (const EspTimeoutError&) {
        } catch (const EspProtocolError&) {
            // A random frame may look like a failed answer to 0x42; that is fine too.
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
}

}  // namespace
}  // namespace flashwright::testing
