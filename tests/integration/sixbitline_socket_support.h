// Helpers for driving a Sixbitline against the scripted SUPDUP server with bounded waits.
#pragma once

#include <chrono>
#include <future>
#include <optional>
#include <string>

#include "sixbitline/sixbitline.h"

namespace termiva::testing {

inline constexpr std::chrono::seconds WAIT_LIMIT{5};

inline std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s += static_cast<char>(v);
    return s;
}

// One recv() that may take at most `limit`; past it the client is closed (which must
// unblock the call) and nothing is returned.
inline std::optional<std::string> recv_within(Sixbitline& client,
                                              std::chrono::milliseconds limit = WAIT_LIMIT) {
    auto pending = std::async(std::launch::async, [&client] { return client.recv(4096); });
    if (pending.wait_for(limit) != std::future_status::ready) {
        client.close();
        pending.wait();
        return std::nullopt;
    }
    return pending.get();
}

// Collects output until it holds at least `size` bytes, the stream ends or a wait runs out.
// Every recv() result is checked to be non-empty while the connection is still open.
inline std::string recv_at_least(Sixbitline& client, std::size_t size) {
    std::string collected;
    while (collected.size() < size) {
        std::optional<std::string> chunk = recv_within(client);
        if (!chunk) {
            ADD_FAILURE() << "recv gave nothing within the time limit";
            break;
        }
        if (chunk->empty()) {
            EXPECT_TRUE(client.is_closed()) << "recv returned empty on an open connection";
            break;
        }
        collected += *chunk;
    }
    return collected;
}

inline SixbitlineOptions loopback(int port) {
    SixbitlineOptions options;
    options.host = "127.0.0.1";
    options.port = port;
    options.timeout = 5;
    return options;
}

}  // namespace termiva::testing
