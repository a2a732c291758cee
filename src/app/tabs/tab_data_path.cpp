// The terminal data path: received text into a tab's buffer, the page's pulls, typed
// input and size changes out to the backend, status lines into the page.
#include <algorithm>
#include <cstring>

#include "app/json_values.h"
#include "app/serial/typed_input.h"
#include "app/tabs/login_prompt.h"
#include "app/tabs/tab_service.h"
#include "platform/log.h"
#include "text/utf8.h"

namespace termiva {

namespace {

// One read takes what the connection has, up to this much: a flood then costs one pass
// through the decoder and the output buffer per 64 KiB instead of per 4 KiB (a pseudo
// terminal hands over far more than 4 KiB at a time when its writer is fast).
constexpr std::size_t READ_CHUNK_BYTES = 64 * 1024;

}  // namespace

std::string TabService::_apply_eol_translation(Tab& tab, const std::string& text) {
    bool lf = false, cr = false;
    {
        std::lock_guard lock(tab.lock);
        if (tab.session) {
            lf = tab.session->lfhascr;
            cr = tab.session->crhaslf;
        }
    }
    if (!lf && !cr) return text;
    bool prev = tab.eol_prev_cr;
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    // Line ends are rare next to the text between them: find them with memchr and copy
    // the stretches in between whole.
    const char* data = text.data();
    const std::size_t n = text.size();
    auto next_of = [&](char c, std::size_t from) {
        const void* hit = from < n ? std::memchr(data + from, c, n - from) : nullptr;
        return hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - data) : n;
    };
    std::size_t next_cr = next_of('\r', 0);
    std::size_t next_lf = next_of('\n', 0);
    std::size_t pos = 0;
    while (pos < n) {
        std::size_t end = std::min(next_cr, next_lf);
        if (end > pos) {
            out.append(data + pos, end - pos);
            prev = false;
        }
        if (end == n) break;
        if (end == next_cr) {
            out += cr ? "\r\n" : "\r";
            prev = true;
            next_cr = next_of('\r', end + 1);
        } else {
            out += lf && !prev ? "\r\n" : "\n";
            prev = false;
            next_lf = next_of('\n', end + 1);
        }
        pos = end + 1;
    }
    tab.eol_prev_cr = prev;
    return out;
}

void TabService::_push_to_term(const std::string& tab_id, const std::string& text) {
    if (text.empty()) return;
    TabPtr tab = find_tab(tab_id);
    if (!tab || !tab->reading) return;
    std::string translated = _apply_eol_translation(*tab, text);
    m_logs.write(tab_id, translated);
    std::size_t chars = text::count_code_points(translated);
    m_output.append(tab_id, std::move(translated), chars);
}

std::string TabService::drain_terminal(const std::string& tab_id, const Json& carried_seen) {
    std::optional<std::uint64_t> seen;
    if (carried_seen.is_number_integer() && carried_seen >= 0)
        seen = carried_seen.get<std::uint64_t>();
    return m_output.drain(tab_id, seen);
}

bool TabService::send_input(const std::string& tab_id, const std::string& data) {
    TabPtr tab = find_tab(tab_id);
    if (!tab) return false;
    try {
        std::string encoding;
        std::shared_ptr<Backend> target;
        std::shared_ptr<LoginPrompt> prompt;
        SessionPtr serial_session;
        {
            std::lock_guard lock(tab->lock);
            encoding = tab->encoding.empty() ? "utf-8" : tab->encoding;
            target = tab->backend;
            prompt = tab->login_prompt;
            if (tab->protocol == "serial") serial_session = tab->session;
        }
        // Answers to a login's questions stay UTF-8, as SSH carries them.
        if (!target && prompt) return prompt->take_typed(data);
        if (!target) return false;
        if (!serial_session) {
            target->send(text::encode(encoding, data));
            return true;
        }
        target->send(
            text::encode(encoding, with_line_ending(data, serial_session->serial_line_ending)));
        if (serial_session->serial_local_echo) {
            // In its place among what the line sends back, as a received chunk would be.
            std::lock_guard order(tab->received_order);
            _push_to_term(tab_id, local_echo_text(data));
        }
        return true;
    } catch (const std::exception& e) {
        log::warn("send_input", e.what());
        return false;
    }
}

bool TabService::resize_pty(const std::string& tab_id, const Json& rows_value,
                            const Json& cols_value) {
    TabPtr tab = find_tab(tab_id);
    if (!tab) return false;
    try {
        auto r = to_integer(rows_value);
        auto c = to_integer(cols_value);
        if (!r || !c) throw std::invalid_argument("size must be integers");
        int rows = static_cast<int>(std::clamp<long long>(*r, 2, 10000));
        int cols = static_cast<int>(std::clamp<long long>(*c, 20, 10000));
        std::shared_ptr<Backend> target;
        {
            std::lock_guard lock(tab->lock);
            target = tab->backend;
        }
        if (!target || !target->takes_size()) return false;
        target->resize(rows, cols);
        return true;
    } catch (const std::exception& e) {
        log::warn("resize_pty", e.what());
        return false;
    }
}

bool TabService::set_tab_encoding(const std::string& tab_id, const std::string& encoding) {
    TabPtr tab = find_tab(tab_id);
    if (!tab || !text::codec_known(encoding)) return false;
    auto decoder = std::make_shared<text::Decoder>(encoding);
    std::lock_guard lock(tab->lock);
    tab->encoding = encoding;
    tab->decoder = std::move(decoder);
    return true;
}

Json TabService::get_tab_reading(const std::string& tab_id) {
    TabPtr tab = find_tab(tab_id);
    return Json{{"reading", tab ? tab->reading.load() : false}};
}

Json TabService::toggle_tab_reading(const std::string& tab_id) {
    TabPtr tab = find_tab(tab_id);
    if (!tab) return Json{{"reading", false}};
    bool now = !tab->reading.load();
    tab->reading = now;
    return Json{{"reading", now}};
}

void TabService::_push_info(const std::string& tab_id, const std::string& message, bool is_error) {
    m_shell.page_call("setTerminalInfo", {tab_id, text::cut_status_line(message), is_error});
}

void TabService::_push_connected(const std::string& tab_id) {
    m_shell.page_call("terminalConnected", {tab_id});
}

void TabService::runtime_changed() {
    m_shell.page_call("runtimeChanged", {}, true);
}

void TabService::tab_moved(const Tab& tab, TabState from, TabState to) {
    // Whoever closed a tab has the state in the answer, and the tab has left the registry.
    if (to == TabState::closed) return;
    bool serial;
    {
        std::lock_guard lock(tab.lock);
        serial = tab.protocol == "serial";
    }
    // A stream tab stays `alive` when it connects; a serial tab's online dot changes with
    // every move.
    if (serial || is_alive(from) != is_alive(to)) runtime_changed();
}

void TabService::read_stream(const TabPtr& tab, Backend& backend) {
    const std::string& tab_id = tab->id;
    while (!stopping() && !backend.is_closed()) {
        std::string data;
        try {
            data = backend.recv(READ_CHUNK_BYTES);
        } catch (const std::exception& e) {
            // A read failure ends the stream like its end; the caller says so.
            log::info("reader", tab_id + ": " + e.what());
            return;
        }
        if (data.empty()) return;
        try {
            std::lock_guard in_order(tab->received_order);
            std::string text = m_links.received(tab_id, data);
            if (!text.empty()) _push_to_term(tab_id, text);
        } catch (const std::exception& e) {
            // One chunk that could not be shown must not stop a tab that still reads:
            // the connection is fine, the next chunk may well be.
            log::error("reader", "handling " + std::to_string(data.size()) +
                                     " received bytes failed on tab " + tab_id + ": " + e.what());
        }
    }
}

}  // namespace termiva
