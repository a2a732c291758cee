// The terminal output service: text waiting for the page, per tab, and the notices that
// tell the page there is some.
//
// Owns: every open tab's pending output and the cap on it; a tab has a buffer from open()
// to forget(), and output for a tab without one is dropped (it was closed).
// Called from: reader threads and transfer jobs (append), bridge workers (drain).
// Lock: `m_lock`, one for all tabs, held only to append, trim or empty a buffer; no other
// lock is taken while it is held, and the page is told after it is released. `m_tell_lock`
// is held from an append's decision until the page has been told, so notices leave in the
// order the output was taken; drains never take it.
//
// Output reaches the page two ways. A small piece arriving while the page is caught up
// (its last pull came back empty and nothing waits) travels with the notice itself: a
// keystroke's echo then costs no second round trip. Everything else waits here and the
// page pulls it, so a flood costs one notice per pull and the page sets the pace.
// After a carried piece the tab is back in pull mode until the page pulls and finds
// nothing, so carried pieces can never outrun the page.
//
// Order: every notice says how many pieces have been carried so far. A pull that reports
// fewer was sent before the last carried piece reached the page (or by a page that was
// loaded again): it gets nothing, so pulled text never overtakes carried text, and the
// page is told the count again behind the carried piece, to pull once it has arrived.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace termiva {

class TerminalOutput {
public:
    // Oldest whole chunks are dropped while a tab holds more than this many characters.
    static constexpr std::size_t LIMIT_CHARS = 2'000'000;
    // Output up to this many characters may travel with its notice.
    static constexpr std::size_t CARRY_LIMIT_CHARS = 4096;

    // What the page is told: `text` empty means "pull"; otherwise `text` is output carried
    // with the notice. `carried` counts the pieces carried for the tab so far.
    struct Notice {
        std::string text;
        std::uint64_t carried = 0;
    };
    using Tell = std::function<void(const std::string& tab_id, const Notice& notice)>;
    explicit TerminalOutput(Tell tell) : m_tell(std::move(tell)) {}

    // A tab opened: from now on its output is kept until drained.
    void open(const std::string& tab_id);
    // A tab closed: what it still had pending goes.
    void forget(const std::string& tab_id);
    // Appends `text` (never empty) counted as `chars` code points.
    void append(const std::string& tab_id, std::string text, std::size_t chars);
    // Everything pending, joined; "" when nothing is. `carried_seen`: how many carried
    // pieces the page has received, from a page that takes carried output; a pull without
    // it never lets output be carried.
    std::string drain(const std::string& tab_id,
                      std::optional<std::uint64_t> carried_seen = std::nullopt);

private:
    struct Pending {
        std::deque<std::string> chunks;
        std::deque<std::size_t> chunk_chars;
        std::size_t chars = 0;
        // Until the page pulls and finds nothing, output waits to be pulled.
        bool pull_mode = true;
        std::uint64_t carried = 0;
    };

    // Takes everything `pending` holds; `counted`: the page sent its count of carried pieces.
    static std::string take(Pending& pending, bool counted);
    // Tells the page the count of carried pieces, behind any piece already on its way.
    void tell_count(const std::string& tab_id);

    std::mutex m_tell_lock;
    std::mutex m_lock;
    std::map<std::string, Pending> m_pending;
    Tell m_tell;
};

}  // namespace termiva
