#include "app/output/terminal_output.h"

namespace termiva {

void TerminalOutput::append(Tab& tab, std::string text, std::size_t chars) {
    bool was_empty;
    {
        std::lock_guard lock(_buf_lock);
        PendingOutput& out = tab.buffer;
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
    if (was_empty && m_ready) m_ready(tab.id);
}

std::string TerminalOutput::drain(Tab& tab) {
    std::lock_guard lock(_buf_lock);
    PendingOutput& pending = tab.buffer;
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
    pending = PendingOutput{};
    return out;
}

}  // namespace termiva
