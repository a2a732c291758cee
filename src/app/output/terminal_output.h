// The terminal output service: text waiting for the page, per tab, and the signal that
// tells the page there is some.
//
// Owns: every tab's pending output (`Tab::buffer`) and the cap on it.
// Called from: reader threads and transfer jobs (append), bridge workers (drain).
// Lock: `_buf_lock`, one for all tabs, held only to append, trim or empty a buffer; no other
// lock is taken while it is held, and the page is told after it is released.
//
// The page is told once per transition from empty to non-empty, never per chunk: an idle
// tab costs nothing, and a flood costs one signal per pull.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>

#include "app/tabs/tab.h"

namespace termiva {

class TerminalOutput {
public:
    // Oldest whole chunks are dropped while a tab holds more than this many characters.
    static constexpr std::size_t LIMIT_CHARS = 2'000'000;

    using OutputReady = std::function<void(const std::string& tab_id)>;
    explicit TerminalOutput(OutputReady ready) : m_ready(std::move(ready)) {}

    // Appends `text` (never empty) counted as `chars` code points.
    void append(Tab& tab, std::string text, std::size_t chars);
    // Everything pending, joined; "" when nothing is.
    std::string drain(Tab& tab);

private:
    std::mutex _buf_lock;
    OutputReady m_ready;
};

}  // namespace termiva
