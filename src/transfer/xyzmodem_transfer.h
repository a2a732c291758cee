// One file transfer through a terminal connection with XMODEM, XMODEM-CRC, XMODEM-1K,
// YMODEM, YMODEM-G or ZMODEM, sending or receiving. The job knows nothing of where its
// bytes go: the owner feeds it what the peer sends and gives it a function that sends
// bytes to the peer, and it reports through events (JSON maps):
//   {"kind":"start","protocol","direction"}
//   {"kind":"file","name","size"(null when unknown),"index"}
//   {"kind":"progress","name","bytes","total"(null when unknown),"rate"(bytes/s)}
//   {"kind":"done","ok","protocol","direction","files"} and, when ok is false, "reason"
//   (English text) with "reason_code"/"reason_values" (failure_reasons.h) when the engine
//   knows the failure, and "abort_sent": true when the peer was told to stop
// "done" is always the last event and comes exactly once after start() or cancel();
// "files" lists the saved paths (receiving) or the names sent.
//
// Received files are stored under the sender's name reduced to a plain base name inside
// `save_dir`, never over an existing file (a numbered name instead), and appear under
// that name only once complete.
//
// Threads: start() returns at once; a worker thread of the job runs the protocol and
// calls both callbacks (send_bytes also from nowhere else). feed() and cancel() may be
// called from any thread. The job may be destroyed from inside its own "done" callback;
// an owner that may drop it there must hold its own reference (e.g. a shared_ptr copy)
// while it calls feed() or cancel() from another thread.
#pragma once

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "transfer/transfer_options.h"

namespace termiva {

class XYZModemTransfer {
public:
    using SendBytes = std::function<void(std::string_view)>;
    using OnEvent = std::function<void(const nlohmann::json&)>;

    // The six accepted protocol names, exactly as written here.
    static bool is_known_protocol(std::string_view protocol);
    // What a job that ends badly sends the peer (its "done" then has "abort_sent": true):
    // the protocol's abort, then a line kill for the shell behind the peer.
    static std::string abort_sequence();

    // `protocol` one of the six names, `direction` "send" or "recv"; `files` the paths to
    // send (sending), `save_dir` the folder to receive into (receiving; created when
    // missing). Wrong arguments are reported by the "done" event after start().
    XYZModemTransfer(std::string protocol, std::string direction, SendBytes send_bytes,
                     OnEvent on_event, std::optional<std::vector<std::string>> files,
                     std::optional<std::string> save_dir, TransferOptions options = {});
    // Cancels a running job and waits for its worker, unless called by the worker itself
    // (from the "done" callback), in which case the worker ends on its own.
    ~XYZModemTransfer();
    XYZModemTransfer(const XYZModemTransfer&) = delete;
    XYZModemTransfer& operator=(const XYZModemTransfer&) = delete;

    void start();
    // Bytes received from the peer. Once the job has ended they are not the protocol's:
    // they wait for take_unused().
    void feed(std::string_view data);
    // The received bytes the protocol did not use: once the job has ended, those behind
    // its last protocol byte (e.g. a shell prompt in the same chunk as the closing "OO")
    // and everything fed since, in the order received. Each byte is handed out once;
    // empty while the job runs. Complete as soon as is_done() is true.
    std::string take_unused();
    // True once the job has finished, failed or been cancelled (set before "done").
    bool is_done() const;
    // Sends the protocol's abort to the peer and ends the job with "done", ok false.
    void cancel();

    const std::string& protocol() const { return m_protocol; }
    const std::string& direction() const { return m_direction; }

    // The job's shared inner state (kept alive by the worker after the job is gone).
    struct State;

private:
    std::string m_protocol;
    std::string m_direction;
    std::shared_ptr<State> m_state;
    std::thread m_worker;
};

}  // namespace termiva
