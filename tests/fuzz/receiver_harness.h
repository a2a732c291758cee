// Runs a receiver against bytes from the fuzzer as a sender's answer to the receiver's
// first word (a receiver clears the line before it speaks, so bytes there earlier would
// be dropped unread). Once they are used up, the receiver's next word (a request to
// repeat, after a few milliseconds' wait) closes the line, so an input ends in milliseconds.
#pragma once

#include <functional>

#include "fuzz_support.h"
#include "transfer/transfer_context.h"

namespace termiva::fuzz {

inline void run_receiver(std::string_view peer_bytes,
                         const std::function<void(xfer::TransferContext&)>& receive) {
    xfer::ByteLink link;
    bool answered = false;
    TransferOptions options;
    // Whole milliseconds: a wait cut to zero would not even look at what is there.
    options.timeout = std::chrono::milliseconds(3);
    options.char_timeout = std::chrono::milliseconds(1);
    options.start_timeout = std::chrono::milliseconds(3);
    options.retries = 3;
    std::size_t sent = 0;
    xfer::TransferContext ctx(
        link,
        [&](std::string_view bytes) {
            sent += bytes.size();
            if (!answered) {
                link.push(peer_bytes);
                answered = true;
            } else if (!link.has_pending()) {
                link.close();
            }
        },
        [](const nlohmann::json&) {}, options);
    try {
        receive(ctx);
    } catch (const xfer::TransferCancelled&) {
        // the link never closes here, but a receiver may end that way
    } catch (const std::exception&) {
        // a failed transfer (TransferFailed, a refused name): the runner reports it
    }
    link.end();
}

}  // namespace termiva::fuzz
