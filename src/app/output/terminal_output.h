// The terminal output service: text waiting for the page, per tab, and the signal that
// tells the page there is some.
//
// Owns: every open tab's pending output and the cap on it; a tab has a buffer from open()
// to forget(), and output for a tab without one is dropped (it was closed).
// Called from: reader threads and transfer jobs (append), bridge workers (drain).
// Lock: `m_lock`, one for all tabs, held only to append, trim or empty a buffer; no other
// lock is taken while it is held, and the page is told after it is released.
//
// The page is told once per transition from empty to non-empty, never per chunk: an idle
// tab costs nothing, and a flood costs one signal per pull.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace termiva {

class TerminalOutput {
public:
    // Oldest whole chunks are dropped while a tab holds more than this many characters.
    static constexpr std::size_t LIMIT_CHARS = 2'000'000;

    using OutputReady = std::function<void(const std::string& tab_id)>;
    explicit TerminalOutput(OutputReady ready) : m_ready(std::move(ready)) {}

    // A tab opened: from now on its output is kept until drained.
    void open(const std::string& tab_id);
    // A tab closed: what it still had pending goes.
    void forget(const std::string& tab_id);
    // Appends `text` (never empty) counted as `chars` code points.
    void append(const std::string& tab_id, std::string text, std::size_t chars);
    // Everything pending, joined; "" when nothing is.
    std::string drain(const std::string& tab_id);

private:
    struct Pending {
        std::deque<std::string> chunks;
        std::deque<std::size_t> chunk_chars;
        std::size_t chars = 0;
    };

    std::mutex m_lock;
    std::map<std::string, Pending> m_pending;
    OutputReady m_ready;
};

}  // namespace termiva
