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
    bool was_empty;
    {
        std::lock_guard lock(m_lock);
        auto found = m_pending.find(tab_id);
        if (found == m_pending.end()) return;
        Pending& out = found->second;
        was_empty = out.chunks.empty();
        out.chunks.push_back(std::move(text));
        out.chunk_chars.push_back(chars);
        out.chars += chars;
        while (out.chars > LIMIT_CHARS && out.chunks.size() > 1) {
            out.chars -= out.chunk_chars.front();
            out.chunks.pop_front();
            out.chunk_chars.pop_front();
        }
    }
    if (was_empty && m_ready) m_ready(tab_id);
}

std::string TerminalOutput::drain(const std::string& tab_id) {
    std::lock_guard lock(m_lock);
    auto found = m_pending.find(tab_id);
    if (found == m_pending.end()) return {};
    Pending& pending = found->second;
    if (pending.chunks.empty()) return {};
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
    pending = Pending{};
    return out;
}

}  // namespace termiva
