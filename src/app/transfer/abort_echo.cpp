#include "app/transfer/abort_echo.h"

#include <utility>

namespace termiva {

namespace {

constexpr char CAN = '\x18';
constexpr char BS = '\x08';
constexpr char BEL = '\x07';
constexpr char LINE_KILL = '\x15';
// How a terminal line with ECHOKE echoes a line kill: one of these per column erased.
constexpr std::string_view ERASE_COLUMN = "\b \b";

// A byte no terminal text holds: the control characters a shell or an editor does not
// print. Binary transfer frames are full of them (and of CAN, ZMODEM's escape).
bool binary_byte(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u != 0x7f) return false;
    return c != '\t' && c != '\n' && c != '\r' && c != '\x1b' && c != BEL && c != BS;
}

// How many bytes from `at` make one character of terminal text (UTF-8), or 0 when the
// byte there is not text.
std::size_t text_length(std::string_view s, std::size_t at) {
    const auto lead = static_cast<unsigned char>(s[at]);
    if (lead < 0x80) return binary_byte(s[at]) ? 0 : 1;
    const std::size_t n = lead >= 0xC2 && lead <= 0xDF   ? 2
                          : lead >= 0xE0 && lead <= 0xEF ? 3
                          : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                         : 0;
    if (n == 0 || at + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        const auto c = static_cast<unsigned char>(s[at + k]);
        if (c < 0x80 || c > 0xBF) return 0;
    }
    return n;
}

}  // namespace

void AbortEcho::arm(std::string_view sent, Clock::time_point now) {
    std::lock_guard lock(m_lock);
    m_cans = 0;
    m_backspaces = 0;
    m_kills = 0;
    m_hidden_columns = 0;
    for (char c : sent) {
        m_cans += c == CAN;
        m_backspaces += c == BS;
        m_kills += c == LINE_KILL;
    }
    m_bells = m_backspaces;
    m_holding = true;
    m_held.clear();
    m_armed_at = m_last_byte = now;
}

bool AbortEcho::holding() const {
    std::lock_guard lock(m_lock);
    return m_holding;
}

bool AbortEcho::armed(Clock::time_point now) const {
    std::lock_guard lock(m_lock);
    return armed_locked(now);
}

bool AbortEcho::armed_locked(Clock::time_point now) const {
    return m_holding ||
           (now < m_armed_at + WINDOW &&
            (m_cans > 0 || m_backspaces > 0 || m_bells > 0 || m_kills > 0 || m_hidden_columns > 0));
}

std::optional<std::string> AbortEcho::settle(Clock::time_point now) {
    std::lock_guard lock(m_lock);
    return settle_locked(now);
}

std::optional<std::string> AbortEcho::settle_locked(Clock::time_point now) {
    if (!m_holding) return std::nullopt;
    if (now - m_last_byte < QUIET && now - m_armed_at < LIMIT) return std::nullopt;
    m_holding = false;
    std::string held = std::exchange(m_held, {});
    std::size_t cut = 0;
    for (std::size_t i = 0; i < held.size();) {
        const std::size_t n = text_length(held, i);
        if (n == 0) {
            cut = ++i;
        } else {
            i += n;
        }
    }
    return without_echo(std::string_view(held).substr(cut));
}

std::string AbortEcho::filter(std::string_view data, Clock::time_point now) {
    std::lock_guard lock(m_lock);
    if (!armed_locked(now)) return std::string(data);
    std::string out;
    if (m_holding) {
        if (auto settled = settle_locked(now)) {
            out = std::move(*settled);
        } else {
            m_held.append(data);
            m_last_byte = now;
            return {};
        }
    }
    if (now < m_armed_at + WINDOW) {
        out += without_echo(data);
    } else {
        out.append(data);
    }
    return out;
}

std::string AbortEcho::without_echo(std::string_view data) {
    std::string out;
    out.reserve(data.size());
    for (std::size_t i = 0; i < data.size(); ++i) {
        const char c = data[i];
        // The terminal line's echo writes control characters as a caret and a letter.
        const bool caret = c == '^' && i + 1 < data.size();
        const char shown = caret ? data[i + 1] : c;
        if ((c == CAN || (caret && shown == 'X')) && m_cans > 0) {
            --m_cans;
            i += caret;
            m_hidden_columns += caret ? 2 : 0;
        } else if ((c == BS || (caret && shown == 'H')) && m_backspaces > 0) {
            --m_backspaces;
            i += caret;
            m_hidden_columns += caret ? 2 : 0;
        } else if (c == BS && m_kills > 0 && m_hidden_columns > 0 &&
                   data.substr(i, ERASE_COLUMN.size()) == ERASE_COLUMN) {
            // The kill erases the whole line, columns we never showed too: erasing those
            // on the screen would eat into what stands before them (the prompt).
            --m_hidden_columns;
            i += ERASE_COLUMN.size() - 1;
        } else if ((c == LINE_KILL || (caret && shown == 'U')) && m_kills > 0) {
            --m_kills;  // echoed as itself by a line without ECHOKE
            i += caret;
        } else if (c == BEL && m_bells > 0) {
            --m_bells;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace termiva
