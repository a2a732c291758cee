#include "transfer/transfer_context.h"

#include <utility>

namespace termiva::xfer {

TransferContext::TransferContext(ByteLink& link, SendFunction send, EventFunction on_event,
                                 TransferOptions options)
    : m_link(link), m_send(std::move(send)), m_on_event(std::move(on_event)), m_options(options) {}

void TransferContext::check_cancelled() const {
    if (m_link.closed()) throw TransferCancelled();
}

void TransferContext::send(std::string_view data) {
    check_cancelled();
    if (data.empty() || !m_send) return;
    try {
        m_send(data);
    } catch (const std::exception& e) {
        throw TransferFailed("send_failed", {{"err", e.what()}});
    } catch (...) {
        throw TransferFailed("send_failed", {{"err", "unknown error"}});
    }
}

void TransferContext::purge(std::chrono::milliseconds quiet) {
    while (get(quiet) != ByteLink::TIMED_OUT) {
    }
}

void TransferContext::emit(const nlohmann::json& event) {
    if (!m_on_event) return;
    try {
        m_on_event(event);
    } catch (...) {
        // The page being unable to show an event must not end the transfer.
    }
}

void TransferContext::begin_file(const std::string& name, std::optional<std::uint64_t> size) {
    m_file_name = name;
    m_file_size = size;
    m_start_offset = 0;
    m_last_bytes = 0;
    m_first_progress = true;
    m_file_started = m_last_progress = std::chrono::steady_clock::now();
    ++m_file_index;
    nlohmann::json ev{{"kind", "file"}, {"name", name}, {"index", m_file_index}};
    ev["size"] = size ? nlohmann::json(*size) : nlohmann::json(nullptr);
    emit(ev);
}

void TransferContext::progress(std::uint64_t bytes, bool force) {
    auto now = std::chrono::steady_clock::now();
    if (m_first_progress) {
        // A transfer resumed at an offset: the rate counts only what moved in this run.
        m_start_offset = bytes;
        m_first_progress = false;
    }
    m_last_bytes = bytes;
    if (!force && now - m_last_progress < m_options.progress_interval) return;
    m_last_progress = now;
    double seconds = std::chrono::duration<double>(now - m_file_started).count();
    std::uint64_t moved = bytes >= m_start_offset ? bytes - m_start_offset : 0;
    double rate = seconds > 0 ? static_cast<double>(moved) / seconds : 0.0;
    nlohmann::json ev{{"kind", "progress"},
                      {"name", m_file_name},
                      {"bytes", bytes},
                      {"rate", static_cast<std::uint64_t>(rate)}};
    ev["total"] = m_file_size ? nlohmann::json(*m_file_size) : nlohmann::json(nullptr);
    emit(ev);
}

void TransferContext::file_done(const std::string& where) {
    progress(m_last_bytes, true);
    m_finished.push_back(where);
}

}  // namespace termiva::xfer
