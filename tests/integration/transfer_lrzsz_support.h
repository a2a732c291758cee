// Runs our transfer engine against one lrzsz program and collects what happened.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/lrzsz_peer.h"
#include "transfer/transfer_options.h"
#include "transfer/xyzmodem_transfer.h"
#include "unit/transfer_event_log.h"

namespace termiva::testing {

// Short time-outs so failure cases end quickly; generous enough for a loaded machine.
inline TransferOptions quick_options() {
    TransferOptions o;
    o.timeout = std::chrono::milliseconds(3000);
    o.char_timeout = std::chrono::milliseconds(1000);
    o.start_timeout = std::chrono::milliseconds(10000);
    o.retries = 5;
    return o;
}

struct PeerRun {
    std::optional<nlohmann::json> done;
    std::vector<nlohmann::json> events;
    std::optional<int> peer_status;
    std::string peer_log;
    std::uint64_t bytes_to_peer = 0;
};

struct PeerRunPlan {
    std::vector<std::string> peer_argv;
    std::filesystem::path peer_cwd;
    std::string protocol;
    std::string direction;
    std::optional<std::vector<std::string>> files;
    std::optional<std::string> save_dir;
    LinkKind link = LinkKind::SocketPair;
    TransferOptions options = quick_options();
    // Runs once the transfer is going, with the peer and the job (faults, cancel).
    std::function<void(LrzszPeer&, XYZModemTransfer&, TransferEventLog&)> during;
    std::chrono::milliseconds done_within{60000};
};

// Waits until the job has moved at least `bytes` of its current file.
inline bool wait_progress(TransferEventLog& log, std::uint64_t bytes,
                          std::chrono::milliseconds bound) {
    using namespace std::chrono;
    auto deadline = steady_clock::now() + bound;
    while (steady_clock::now() < deadline) {
        for (const auto& ev : log.of_kind("progress")) {
            if (ev.at("bytes").get<std::uint64_t>() >= bytes) return true;
        }
        if (log.wait_done(milliseconds(0))) return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return false;
}

// Kills the peer once `bytes` have moved over a slowed link, with short protocol
// time-outs so the job's own give-up comes quickly. `moving` tells whether it got going.
inline void kill_peer_when_moving(PeerRunPlan& plan, bool& moving,
                                  std::chrono::milliseconds slow_down, std::uint64_t bytes) {
    using namespace std::chrono;
    plan.options.timeout = milliseconds(300);
    plan.options.retries = 3;
    plan.done_within = milliseconds(300 * 5 + 2000);
    plan.during = [&moving, slow_down, bytes](LrzszPeer& peer, XYZModemTransfer&,
                                              TransferEventLog& log) {
        peer.slow_down(slow_down);
        moving = wait_progress(log, bytes, seconds(10));
        peer.kill_peer();
    };
}

inline PeerRun run_with_peer(const PeerRunPlan& plan) {
    PeerRun result;
    TransferEventLog log;
    LrzszPeer peer(plan.peer_argv, plan.peer_cwd, plan.link);
    {
        XYZModemTransfer job(
            plan.protocol, plan.direction, [&peer](std::string_view b) { peer.send(b); },
            log.sink(), plan.files, plan.save_dir, plan.options);
        peer.pump_to([&job](std::string_view b) { job.feed(b); });
        job.start();
        if (plan.during) plan.during(peer, job, log);
        result.done = log.wait_done(plan.done_within);
        result.peer_status = peer.wait_exit(std::chrono::seconds(15));
        peer.stop_pump();
    }
    result.events = log.events();
    result.peer_log = peer.peer_log();
    result.bytes_to_peer = peer.bytes_sent();
    return result;
}

// Every byte value, and long runs of the ones protocols treat specially (ZDLE, XON,
// XOFF, DLE, CR after '@', the XMODEM control bytes).
inline std::string every_byte_value() {
    std::string s;
    for (int round = 0; round < 3; ++round) {
        for (int c = 0; c < 256; ++c)
            s += static_cast<char>(c);
    }
    for (char c : std::string("\x18\x11\x13\x10\x91\x93\x98\x90\x01\x02\x04\x06\x15\x1a*")) {
        s.append(17, c);
    }
    s += "@\r@\r\xc0\x8d**\x18"
         "B00";
    return s;
}

struct NamedContent {
    std::string name;
    std::string content;
};

// 0 B, 1 B, 1023/1024/1025 B and every byte value.
inline std::vector<NamedContent> standard_files() {
    return {{"empty.bin", ""},
            {"one.bin", "\x5a"},
            {"k1023.bin", random_bytes(1023, 1)},
            {"k1024.bin", random_bytes(1024, 2)},
            {"k1025.bin", random_bytes(1025, 3)},
            {"every-byte.bin", every_byte_value()}};
}

}  // namespace termiva::testing
