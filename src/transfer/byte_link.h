// The receiving side of a transfer: bytes handed in by feed() on the reader thread,
// taken out one at a time by the worker with a time-out. close() wakes a waiting worker.
// While the worker is MAX_PENDING behind, push() waits for it (or for the link to close or
// end): the peer is then read no faster than the file is written, instead of everything
// it sends being held in memory.
// When the job ends, what the worker did not take is set aside for the owner, and so is
// everything pushed after that.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

namespace termiva::xfer {

class ByteLink {
public:
    static constexpr int TIMED_OUT = -1;
    static constexpr int CLOSED = -2;
    static constexpr std::size_t MAX_PENDING = std::size_t{4} << 20;

    // Producer side (any thread). Waits while MAX_PENDING bytes are not yet taken.
    void push(std::string_view data);
    void close();
    bool closed() const;

    // Consumer side (the worker only): the next byte, TIMED_OUT or CLOSED. Bytes already
    // taken into the worker's batch come without locking; closing is noticed when the
    // batch runs out.
    int get(std::chrono::milliseconds timeout) {
        int c = peek(timeout);
        if (c >= 0) ++m_pos;
        return c;
    }
    // Like get(), but the byte stays for the next get().
    int peek(std::chrono::milliseconds timeout) {
        if (m_pos < m_batch.size()) return static_cast<unsigned char>(m_batch[m_pos]);
        return refill(timeout);
    }
    // The bytes already taken into the worker's batch, for bulk reading; `consume` drops
    // the first `n` of them.
    std::string_view buffered() const {
        return std::string_view(m_batch).substr(std::min(m_pos, m_batch.size()));
    }
    void consume(std::size_t n) { m_pos += n; }
    // True when a byte can be taken without waiting.
    bool has_pending();
    // Drops everything received so far (a line gone noisy, a frame to be resent).
    void discard_pending();

    // While holding, every byte the worker takes is kept too, so that a job that turns
    // out not to be one can hand all of it back (`give_back_held`, before `end`) to be
    // shown as ordinary output. `held_size` tells how much is kept.
    void hold_taken(bool on);
    std::size_t held_size() const { return m_held.size() + m_pos; }
    void give_back_held();

    // Ends the link for good (the worker, or the owner when no worker ever ran): closes
    // it and sets aside what was received but not taken, in order. Pushes from then on
    // are set aside too.
    void end();
    // What was set aside so far; each byte is handed out once.
    std::string take_unused();

private:
    int refill(std::chrono::milliseconds timeout);

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_room;  // the worker took bytes, or the link closed or ended
    std::string m_incoming;
    std::atomic<bool> m_closed{false};
    bool m_ended = false;  // guarded by m_mutex
    std::string m_unused;  // guarded by m_mutex

    // Owned by the consumer: a batch taken from m_incoming in one lock.
    std::string m_batch;
    std::size_t m_pos = 0;
    // Owned by the consumer: earlier batches, taken while holding.
    bool m_holding = false;
    std::string m_held;
};

}  // namespace termiva::xfer
