// Random server streams: the decoder never fails, keeps its state within bounds, and the
// result does not depend on how the stream was cut into chunks.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "sixbitline/display_decoder.h"

namespace termiva {
namespace {

using P = SupdupProtocol;

std::string random_stream(std::mt19937& rng, std::size_t length) {
    // Lean towards display codes and small arguments so commands are exercised often.
    std::uniform_int_distribution<int> kind(0, 3);
    std::uniform_int_distribution<int> any(0, 255);
    std::uniform_int_distribution<int> code(0200, 0232);
    std::uniform_int_distribution<int> small(0, 30);
    std::string s;
    for (std::size_t i = 0; i < length; ++i) {
        switch (kind(rng)) {
            case 0:
                s += static_cast<char>(code(rng));
                break;
            case 1:
                s += static_cast<char>(small(rng));
                break;
            default:
                s += static_cast<char>(any(rng));
                break;
        }
    }
    return s;
}

struct Outcome {
    std::string output;
    std::vector<ServerReply> replies;
};

void expect_sane(const SupdupDisplayDecoder::State& st) {
    EXPECT_TRUE(st._state == P::CONNECTING || st._state == P::CONNECTED);
    EXPECT_TRUE(st._tdstate == P::TD_TOPLEVEL || st._tdstate == P::TD_ARGS);
    EXPECT_LE(st._td_args.size(), 4u);
}

Outcome feed_in_chunks(std::string_view charset, const std::string& stream, std::mt19937& rng,
                       std::size_t max_chunk) {
    SupdupDisplayDecoder decoder(charset, "Fuzz");
    Outcome all;
    std::uniform_int_distribution<std::size_t> cut(1, max_chunk);
    std::size_t pos = 0;
    while (pos < stream.size()) {
        const std::size_t n = std::min(cut(rng), stream.size() - pos);
        DecodedChunk chunk = decoder.feed(std::string_view(stream).substr(pos, n));
        all.output += chunk.output;
        for (auto& r : chunk.replies) {
            all.replies.push_back(std::move(r));
        }
        expect_sane(decoder.state());
        pos += n;
    }
    return all;
}

TEST(SixbitlineDecoderFuzz, RandomStreamsDecodeTheSameWhateverTheChunking) {
    std::mt19937 rng(20261207);
    for (int round = 0; round < 300; ++round) {
        const std::string stream = random_stream(rng, 1 + rng() % 400);
        for (std::string_view charset : {"ascii", "its", "waits"}) {
            const Outcome whole = feed_in_chunks(charset, stream, rng, stream.size());
            const Outcome bytewise = feed_in_chunks(charset, stream, rng, 1);
            const Outcome random_cuts = feed_in_chunks(charset, stream, rng, 17);
            ASSERT_EQ(whole.output, bytewise.output) << "round " << round;
            ASSERT_EQ(whole.output, random_cuts.output) << "round " << round;
            ASSERT_EQ(whole.replies.size(), bytewise.replies.size());
            ASSERT_EQ(whole.replies.size(), random_cuts.replies.size());
            for (std::size_t i = 0; i < whole.replies.size(); ++i) {
                EXPECT_EQ(whole.replies[i].bytes, bytewise.replies[i].bytes);
                EXPECT_EQ(whole.replies[i].bytes, random_cuts.replies[i].bytes);
            }
        }
    }
}

TEST(SixbitlineDecoderFuzz, LocationGoesOutOnceAtMostAndOnlyAfterTheGreeting) {
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        const std::string stream = random_stream(rng, 1 + rng() % 200);
        const Outcome result = feed_in_chunks("its", stream, rng, 9);
        const auto tdnop = stream.find(static_cast<char>(P::TDNOP));
        const bool has_byte_after_greeting =
            tdnop != std::string::npos && tdnop + 1 < stream.size();
        int markers = 0;
        for (const auto& r : result.replies) {
            if (r.kind == ServerReply::Kind::LocationMarker) {
                ++markers;
            }
        }
        EXPECT_EQ(markers, has_byte_after_greeting ? 1 : 0) << "round " << round;
    }
}

}  // namespace
}  // namespace termiva
