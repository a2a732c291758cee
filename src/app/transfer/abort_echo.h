// What follows an abort sent to the peer, kept off the screen. A transfer that ends badly
// tells the peer to stop (its protocol's abort: CAN bytes, then backspaces). Two kinds of
// bytes then arrive that the user must not see:
//  - the rest of the broken session: what the peer had sent before it read the abort
//    (kilobytes of binary data frames), which ends where the shell speaks again;
//  - the echo of the abort: when the program it was meant for has already gone (a receive
//    nobody sent to) or stops before reading all of it, the shell's terminal line echoes
//    the rest as "^X^X…^H^H…" (raw bytes without ECHOCTL) and a line editor rings the bell
//    for each backspace on its empty line.
// The first is held back until the line has been quiet for a moment (it is on the line
// already and comes in one burst, the shell's prompt right behind it), then everything up
// to the last byte no terminal text holds (control characters other than TAB, LF, CR,
// ESC, BEL and BS, and bytes that are not UTF-8, which binary frames are full of) is
// dropped. The second is dropped
// exactly, for a short time: at most as many CAN, BS and bells as were sent. The line
// kill sent after them (so the shell's next command does not start with them) is echoed
// by erasing every column of the line; the erasures of the columns dropped here are
// dropped too, those of what was shown pass. What the shell prints after them passes
// untouched.
//
// Called from the tab's reader and from the job's end (both under the tab's
// `received_order`, which keeps the bytes in order) and from the thread that settles
// the held bytes; its own lock `m_lock` is a leaf.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace termiva {

class AbortEcho {
public:
    using Clock = std::chrono::steady_clock;
    // The rest of the session is over once nothing arrived for QUIET, or LIMIT after the
    // abort at the latest; the echo is looked for until WINDOW after the abort.
    static constexpr std::chrono::milliseconds QUIET{200};
    static constexpr std::chrono::milliseconds LIMIT{1000};
    static constexpr std::chrono::milliseconds WINDOW{1500};

    // The abort `sent` just went to the peer.
    void arm(std::string_view sent, Clock::time_point now);
    // What of `data` may be shown now: nothing while the rest of the session may still be
    // arriving (it is held), afterwards `data` without the abort's echo.
    std::string filter(std::string_view data, Clock::time_point now);
    // Once the rest of the session is over: what was held, without it; nothing before
    // (and nothing again after).
    std::optional<std::string> settle(Clock::time_point now);
    // Whether bytes are being held (settle() will have something to say).
    bool holding() const;
    bool armed(Clock::time_point now) const;

private:
    bool armed_locked(Clock::time_point now) const;
    std::optional<std::string> settle_locked(Clock::time_point now);
    std::string without_echo(std::string_view data);

    mutable std::mutex m_lock;  // guards everything below

    Clock::time_point m_armed_at{};
    Clock::time_point m_last_byte{};
    bool m_holding = false;
    std::string m_held;
    int m_cans = 0;        // CAN bytes whose echo may still come
    int m_backspaces = 0;  // backspaces whose echo or bell may still come
    int m_bells = 0;
    int m_kills = 0;           // line kills whose own echo may still come
    int m_hidden_columns = 0;  // columns of echo dropped, which the kill's echo erases
};

}  // namespace termiva
