// One open terminal. Records are shared (std::shared_ptr) between the tab table and the
// threads that serve the tab, so a reader keeps its record after the tab is closed.
#pragma once

#include <atomic>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "app/job.h"
#include "connect/backend.h"
#include "text/codec.h"
#include "transfer/zmodem_sniffer.h"

namespace termiva {

using SessionPtr = std::shared_ptr<const nlohmann::json>;

// Names of the backend slots, in the order keystrokes look for a receiver.
inline constexpr const char* SEND_SLOTS[] = {"channel", "serial", "telnet", "raw",
                                             "ssh1",    "rlogin", "supdup", "conpty"};
// Slots that take a size change through resize(), after `channel`.
inline constexpr const char* RESIZE_SLOTS[] = {"telnet", "ssh1", "rlogin", "supdup", "conpty"};
// Every backend slot, in the order a closing tab releases them.
inline constexpr const char* CLOSE_SLOTS[] = {"channel", "client", "serial", "telnet", "raw",
                                              "ssh1",    "rlogin", "supdup", "conpty"};

struct Tab {
    explicit Tab(std::string tab_id) : id(std::move(tab_id)) {}

    const std::string id;

    // Everything below `lock` is guarded by it; readers copy what they need and let go.
    mutable std::mutex lock;
    SessionPtr session;
    std::string display;
    std::string protocol;
    std::string encoding;
    std::shared_ptr<Backend> channel, telnet, raw, ssh1, rlogin, supdup, conpty;
    std::shared_ptr<SshClient> client;
    std::shared_ptr<SerialLine> serial;
    // A backend still inside connect(): closing the tab must reach it too.
    std::shared_ptr<Backend> connecting;
    std::optional<std::filesystem::path> tmp_keyfile;
    std::shared_ptr<text::Decoder> decoder;
    std::shared_ptr<Job> _xfer;
    std::shared_ptr<ZmodemSniffer> _zmodem_sniffer;
    bool closed = false;  // removed from the tab table

    std::atomic<bool> alive{true};
    std::atomic<bool> reading{true};

    // Held while received bytes go through the transfer filter and the decoder into
    // `buffer`: by the reader for each chunk, and by a finished transfer handing back
    // what it did not use, so those bytes keep their place before later ones.
    std::mutex _received_order;
    // Written under `_received_order`.
    bool _eol_prev_cr = false;

    // Guarded by the application's `_buf_lock`.
    std::deque<std::string> buffer;
    std::deque<std::size_t> buffer_chars;
    std::size_t buffered_chars = 0;

    // The Backend slot of that name (not `client` or `serial`, which are other kinds).
    std::shared_ptr<Backend>* backend_slot(std::string_view name) {
        if (name == "channel") return &channel;
        if (name == "telnet") return &telnet;
        if (name == "raw") return &raw;
        if (name == "ssh1") return &ssh1;
        if (name == "rlogin") return &rlogin;
        if (name == "supdup") return &supdup;
        if (name == "conpty") return &conpty;
        return nullptr;
    }
};

using TabPtr = std::shared_ptr<Tab>;

// A tab's caption: the session's name, else its host and port joined by a colon.
std::string tab_caption(const nlohmann::json& sess);

}  // namespace termiva
