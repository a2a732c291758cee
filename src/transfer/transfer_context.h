// What every protocol routine works with: the incoming bytes, the way out to the peer,
// the event sink, the time-outs, and the bookkeeping behind "file" and "progress" events.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "transfer/byte_link.h"
#include "transfer/failure_reasons.h"
#include "transfer/transfer_options.h"

namespace termiva::xfer {

// Ends a transfer unsuccessfully: `code` (failure_reasons.h) and its named parts become
// the "done" event's `reason_code` and `reason_values`, the English text its `reason`.
class TransferFailed : public std::runtime_error {
public:
    explicit TransferFailed(std::string code, nlohmann::json values = nlohmann::json::object())
        : std::runtime_error(reason_text(code, values)),
          m_code(std::move(code)),
          m_values(std::move(values)) {}
    const std::string& code() const noexcept { return m_code; }
    const nlohmann::json& values() const noexcept { return m_values; }

private:
    std::string m_code;
    nlohmann::json m_values;
};

// Ends a transfer because cancel() was called.
class TransferCancelled : public std::exception {
public:
    const char* what() const noexcept override { return "cancelled"; }
};

using SendFunction = std::function<void(std::string_view)>;
using EventFunction = std::function<void(const nlohmann::json&)>;

class TransferContext {
public:
    TransferContext(ByteLink& link, SendFunction send, EventFunction on_event,
                    TransferOptions options);

    const TransferOptions& options() const { return m_options; }

    // Bytes to the peer. Throws TransferCancelled once cancel() was called.
    void send(std::string_view data);
    // The next byte from the peer, or ByteLink::TIMED_OUT. Throws TransferCancelled.
    int get(std::chrono::milliseconds timeout) {
        int c = m_link.get(timeout);
        if (c == ByteLink::CLOSED) throw TransferCancelled();
        return c;
    }
    // The next byte without taking it, or ByteLink::TIMED_OUT. Throws TransferCancelled.
    int peek(std::chrono::milliseconds timeout) {
        int c = m_link.peek(timeout);
        if (c == ByteLink::CLOSED) throw TransferCancelled();
        return c;
    }
    bool has_pending() { return m_link.has_pending(); }
    std::string_view buffered() const { return m_link.buffered(); }
    void consume(std::size_t n) { m_link.consume(n); }
    void discard_pending() { m_link.discard_pending(); }
    // What the worker takes is kept to be handed back (ByteLink::hold_taken).
    void hold_taken(bool on) { m_link.hold_taken(on); }
    std::size_t held_size() const { return m_link.held_size(); }
    void give_back_held() { m_link.give_back_held(); }
    // Drops input until the line has been quiet for `quiet` (a damaged packet's remains).
    void purge(std::chrono::milliseconds quiet);
    void check_cancelled() const;

    // Emits an event; a failing sink is ignored so the transfer goes on.
    void emit(const nlohmann::json& event);

    void begin_file(const std::string& name, std::optional<std::uint64_t> size);
    // Emits "progress" when the interval has passed or `force` is set.
    void progress(std::uint64_t bytes, bool force = false);
    void file_done(const std::string& where);
    const std::vector<std::string>& finished_files() const { return m_finished; }

private:
    ByteLink& m_link;
    SendFunction m_send;
    EventFunction m_on_event;
    TransferOptions m_options;

    std::string m_file_name;
    std::optional<std::uint64_t> m_file_size;
    std::uint64_t m_start_offset = 0;
    std::uint64_t m_last_bytes = 0;
    bool m_first_progress = true;
    std::chrono::steady_clock::time_point m_file_started;
    std::chrono::steady_clock::time_point m_last_progress;
    int m_file_index = 0;
    std::vector<std::string> m_finished;
};

}  // namespace termiva::xfer
