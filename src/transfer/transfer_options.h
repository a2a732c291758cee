// Time-outs and retry limits of a transfer. The defaults are the protocols' own values;
// tests shorten them to keep failure cases quick.
#pragma once

#include <chrono>
#include <cstdint>

namespace termiva {

struct TransferOptions {
    // How long one side waits for the peer's next packet or answer before it retries.
    std::chrono::milliseconds timeout{10000};
    // How long the bytes of one packet may pause before the packet counts as broken.
    std::chrono::milliseconds char_timeout{1000};
    // How long a sender waits for the receiver to ask for the first packet.
    std::chrono::milliseconds start_timeout{60000};
    // Consecutive failures (time-outs, damaged packets) tolerated before giving up.
    int retries{10};
    // Shortest interval between two "progress" events of one file.
    std::chrono::milliseconds progress_interval{250};
    // The most a received file whose sender gave no size may hold.
    std::uint64_t unannounced_limit{std::uint64_t{1} << 30};
    // Free space a receive leaves on the disk: a file that would take it fails instead.
    std::uint64_t disk_reserve{std::uint64_t{16} << 20};
    // A ZMODEM receive begun by what looked like a sender's start header (auto-receive)
    // may be a false start: a device printing those bytes among others. Until the sender
    // says something beyond its start, the receive gives up after this long or this many
    // damaged headers, and hands back everything it read. Zero: a receive the user asked
    // for, which waits for its sender as long as `timeout` and `retries` allow.
    std::chrono::milliseconds false_start_wait{0};
    int false_start_errors{3};
};

}  // namespace termiva
