#include "app/output/terminal_output.h"

namespace termiva {

void TerminalOutput::open(const std::string& tab_id) {
    std::lock_guard lock(m_lock);
    m_pending.try_emplace(tab_id);
}

void TerminalOutput::forget(const std::string& tab_id) {
    std::lock_guard lock(m_lock);
    m_pending.erase(tab_id);
}

void TerminalOutput::append(const std::string& tab_id, std::string text, std::size_t chars) {
    std::lock_guard telling(m_tell_lock);
    Notice notice;
    bool tell = false;
    {
        std::lock_guard lock(m_lock);
        auto found = m_pending.find(tab_id);
        if (found == m_pending.end()) return;
        Pending& out = found->second;
        if (!out.pull_mode && out.chunks.empty() && chars <= CARRY_LIMIT_CHARS) {
            out.pull_mode = true;
            notice.text = std::move(text);
            ++out.carried;
            tell = true;
        } else {
            tell = out.chunks.empty();
            out.chunks.push_back(std::move(text));
            out.chunk_chars.push_back(chars);
            out.chars += chars;
            while (out.chars > LIMIT_CHARS && out.chunks.size() > 1) {
                out.chars -= out.chunk_chars.front();
                out.chunks.pop_front();
                out.chunk_chars.pop_front();
            }
        }
        notice.carried = out.carried;
    }
    if (tell && m_tell) m_tell(tab_id, notice);
}

void TerminalOutput::tell_count(const std::string& tab_id) {
    std::lock_guard telling(m_tell_lock);
    Notice notice;
    {
        std::lock_guard lock(m_lock);
        auto found = m_pending.find(tab_id);
        if (found == m_pending.end()) return;
        notice.carried = found->second.carried;
    }
    if (m_tell) m_tell(tab_id, notice);
}

std::string TerminalOutput::drain(const std::string& tab_id,
                                  std::optional<std::uint64_t> carried_seen) {
    {
        std::lock_guard lock(m_lock);
        auto found = m_pending.find(tab_id);
        if (found == m_pending.end()) return {};
        if (!carried_seen || *carried_seen >= found->second.carried)
            return take(found->second, carried_seen.has_value());
    }
    tell_count(tab_id);
    return {};
}

std::string TerminalOutput::take(Pending& pending, bool counted) {
    if (pending.chunks.empty()) {
        if (counted) pending.pull_mode = false;
        return {};
    }
    std::string out;
    if (pending.chunks.size() == 1) {
        out = std::move(pending.chunks.front());
    } else {
        std::size_t total = 0;
        for (const auto& chunk : pending.chunks)
            total += chunk.size();
        out.reserve(total);
        for (const auto& chunk : pending.chunks)
            out += chunk;
    }
    pending.chunks.clear();
    pending.chunk_chars.clear();
    pending.chars = 0;
    return out;
}

}  // namespace termiva
