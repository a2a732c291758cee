#include "app/tabs/login_prompt.h"

#include <algorithm>
#include <utility>

#include "text/utf8.h"

namespace termiva {
namespace {

constexpr char CTRL_C = 0x03;
constexpr char CTRL_H = 0x08;
constexpr char CTRL_U = 0x15;
constexpr char ESC = 0x1b;
constexpr char DEL = 0x7f;

// Removes the last character (all of its UTF-8 bytes); false when there was none.
bool drop_last_character(std::string& line) {
    if (line.empty()) return false;
    std::size_t cut = line.size() - 1;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80)
        --cut;
    line.erase(cut);
    return true;
}

// Bytes of the UTF-8 character `lead` starts (the page sends valid UTF-8).
std::size_t character_length(char lead) {
    const auto b = static_cast<unsigned char>(lead);
    if ((b & 0xE0) == 0xC0) return 2;
    if ((b & 0xF0) == 0xE0) return 3;
    if ((b & 0xF8) == 0xF0) return 4;
    return 1;
}

void wipe(std::string& secret) {
    std::fill(secret.begin(), secret.end(), '\0');
    secret.clear();
}

}  // namespace

std::string terminal_safe(std::string_view peer_text) {
    std::string valid;
    text::Utf8Sanitizer sanitizer;
    sanitizer.decode(text::cut_status_line(peer_text), valid);
    sanitizer.finish(valid);
    std::string out;
    out.reserve(valid.size());
    for (std::size_t i = 0; i < valid.size(); ++i) {
        const auto c = static_cast<unsigned char>(valid[i]);
        if (c == '\n') {
            out += "\r\n";
        } else if (c == '\t' || (c >= 0x20 && c != DEL && c != 0xC2)) {
            out += valid[i];
        } else if (c == 0xC2 && i + 1 < valid.size()) {
            // U+0080..U+009F are C1 controls (CSI among them); the rest of Latin-1 stays.
            const auto next = static_cast<unsigned char>(valid[i + 1]);
            if (next >= 0xA0) out.append(valid, i, 2);
            ++i;
        }
    }
    return out;
}

std::shared_ptr<LoginPrompt> LoginPrompt::attach(TabHost& host, Tab& tab) {
    auto prompt = std::make_shared<LoginPrompt>(host, tab.id);
    std::lock_guard lock(tab.lock);
    tab.login_prompt = prompt;
    return prompt;
}

void LoginPrompt::detach(Tab& tab) {
    std::shared_ptr<LoginPrompt> prompt;
    {
        std::lock_guard lock(tab.lock);
        prompt = std::exchange(tab.login_prompt, nullptr);
    }
    if (prompt) prompt->cancel();
}

std::string LoginPrompt::ask(const std::string& prompt, bool echo) {
    {
        std::lock_guard lock(m_lock);
        if (m_cancelled) throw LoginAbandoned(m_why_cancelled);
        m_asking = true;
        m_echo = echo;
        m_entered = false;
        wipe(m_line);
    }
    m_host.push_text(m_tab_id, terminal_safe(prompt));
    std::unique_lock lock(m_lock);
    const bool answered =
        m_changed.wait_for(lock, m_limit, [this] { return m_entered || m_cancelled; });
    m_asking = false;
    std::string line = std::exchange(m_line, {});
    const bool cancelled = m_cancelled;
    const std::string why = m_why_cancelled;
    lock.unlock();
    m_host.push_text(m_tab_id, "\r\n");
    if (cancelled) throw LoginAbandoned(why);
    if (!answered) {
        throw LoginAbandoned("no answer within " + std::to_string(m_limit.count() / 1000) +
                             " seconds");
    }
    return line;
}

void LoginPrompt::tell(const std::string& text) {
    m_host.push_text(m_tab_id, terminal_safe(text) + "\r\n");
}

bool LoginPrompt::take_typed(std::string_view typed) {
    std::string echo;
    {
        std::lock_guard lock(m_lock);
        if (!m_asking || m_entered || m_cancelled) return false;
        for (std::size_t i = 0; i < typed.size() && !m_entered && !m_cancelled; ++i) {
            const char c = typed[i];
            if (c == '\r' || c == '\n') {
                m_entered = true;
            } else if (c == CTRL_C) {
                m_cancelled = true;
                m_why_cancelled = "login cancelled";
                echo += "^C";
            } else if (c == DEL || c == CTRL_H) {
                if (drop_last_character(m_line) && m_echo) echo += "\b \b";
            } else if (c == CTRL_U) {
                while (drop_last_character(m_line)) {
                    if (m_echo) echo += "\b \b";
                }
            } else if (c == ESC) {
                // A cursor or function key: its whole sequence arrives as one piece.
                break;
            } else if (static_cast<unsigned char>(c) >= 0x20) {
                // Whole characters only, so the length bound never cuts one in half.
                const std::string_view character = typed.substr(i, character_length(c));
                i += character.size() - 1;
                if (m_line.size() + character.size() > MAX_LINE) continue;
                m_line += character;
                if (m_echo) echo += character;
            }
        }
    }
    if (!echo.empty()) m_host.push_text(m_tab_id, echo);
    m_changed.notify_all();
    return true;
}

void LoginPrompt::cancel() {
    {
        std::lock_guard lock(m_lock);
        if (m_cancelled) return;
        m_cancelled = true;
        m_why_cancelled = "login cancelled";
    }
    m_changed.notify_all();
}

}  // namespace termiva
