// One open terminal. Records are shared (std::shared_ptr) between the tab registry and the
// threads that serve the tab, so a reader keeps its record after the tab is closed.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "app/store/session.h"
#include "app/transfer/abort_echo.h"
#include "app/transfer/job.h"
#include "connect/backend.h"
#include "text/codec.h"
#include "transfer/zmodem_sniffer.h"

namespace termiva {

// Output waiting for the page: the terminal output service alone reads and writes it,
// under its own lock.
struct PendingOutput {
    std::deque<std::string> chunks;
    std::deque<std::size_t> chunk_chars;
    std::size_t chars = 0;
};

struct Tab {
    explicit Tab(std::string tab_id) : id(std::move(tab_id)) {}

    const std::string id;

    // Everything below `lock` is guarded by it; readers copy what they need and let go.
    mutable std::mutex lock;
    SessionPtr session;
    std::string display;
    std::string protocol;
    std::string encoding;
    // The tab's one connection, whatever its protocol; null until its starter succeeds.
    std::shared_ptr<Backend> backend;
    // The protocol's name for it ("channel" for SSH-2's shell, "raw", "telnet", "serial" …).
    std::string backend_kind;
    // SSH-2 only: the connection the shell channel belongs to (keep-alive, port forwards).
    std::shared_ptr<SshClient> client;
    // A backend still inside connect(): closing the tab must reach it too.
    std::shared_ptr<Backend> connecting;
    std::optional<std::filesystem::path> tmp_keyfile;
    std::shared_ptr<text::Decoder> decoder;
    std::shared_ptr<Job> _xfer;
    std::shared_ptr<ZmodemSniffer> _zmodem_sniffer;
    std::shared_ptr<ZmodemReceiverWatch> _receiver_watch;
    // Received after the job in `_xfer` ended and before its end was shown: held so the
    // end line comes first, then these (the shell's prompt). Since when they are held.
    std::string _after_job;
    std::chrono::steady_clock::time_point _after_job_since{};
    bool closed = false;  // removed from the tab registry

    std::atomic<bool> alive{true};
    std::atomic<bool> reading{true};

    // Held while received bytes go through the transfer filter and the decoder into the
    // output: by the reader for each chunk, and by a finished transfer handing back what
    // it did not use, so those bytes keep their place before later ones.
    std::mutex _received_order;
    // Written under `_received_order`.
    bool _eol_prev_cr = false;
    // What follows an abort sent to the peer (its own lock, a leaf).
    AbortEcho _abort_echo;

    // Guarded by the terminal output service's lock, not by `lock`.
    PendingOutput buffer;
};

using TabPtr = std::shared_ptr<Tab>;

}  // namespace termiva
