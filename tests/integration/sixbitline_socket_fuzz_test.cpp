// Random server streams over a real socket, cut at random: recv() never returns empty
// while the connection is open, and what arrives equals the decoder's translation of the
// whole stream.
#include <gtest/gtest.h>

#include <random>

#include "fixtures/supdup_server.h"
#include "integration/sixbitline_socket_support.h"
#include "sixbitline/display_decoder.h"

namespace termiva {
namespace {

using namespace std::chrono_literals;
using testing::loopback;
using testing::recv_within;
using testing::SupdupServer;
using testing::SupdupStep;

TEST(SixbitlineSocketFuzz, RandomStreamsNeverYieldEmptyReadsBeforeTheEnd) {
    std::mt19937 rng(4242);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> display_code(0200, 0232);
    std::uniform_int_distribution<std::size_t> chunk_size(1, 300);
    for (int round = 0; round < 12; ++round) {
        const std::string greeting = "round " + std::to_string(round) + "\r\n";
        std::string stream;
        std::vector<SupdupStep> script;
        for (int piece = 0; piece < 8; ++piece) {
            std::string chunk;
            for (std::size_t n = chunk_size(rng); n > 0; --n) {
                chunk += static_cast<char>(rng() % 3 == 0 ? display_code(rng) : byte(rng));
            }
            stream += chunk;
            script.push_back(SupdupStep::send(chunk));
            if (rng() % 2 == 0) {
                script.push_back(SupdupStep::pause(2ms));
            }
        }
        script.push_back(SupdupStep::close());
        const std::string charset = round % 3 == 0 ? "ascii" : round % 3 == 1 ? "its" : "waits";

        SupdupDisplayDecoder reference(charset, "Termiva");
        const std::string expected =
            reference.feed(greeting + static_cast<char>(SupdupProtocol::TDNOP) + stream).output;

        SupdupServer server(greeting, script);
        SixbitlineOptions options = loopback(server.port());
        options.charset = charset;
        Sixbitline client(options);
        client.connect();
        std::string got;
        for (;;) {
            std::optional<std::string> chunk = recv_within(client);
            ASSERT_TRUE(chunk.has_value()) << "recv hung in round " << round;
            if (chunk->empty()) {
                break;
            }
            got += *chunk;
        }
        EXPECT_TRUE(client.is_closed()) << "empty recv on an open connection, round " << round;
        EXPECT_EQ(got, expected) << "round " << round;
    }
}

}  // namespace
}  // namespace termiva
