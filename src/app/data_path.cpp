// The terminal data path: received text into a tab's buffer, the page's pulls, typed
// input and size changes out to the backend, status lines into the page.
#include <algorithm>
#include <cstring>
#include <iostream>

#include "app/json_values.h"
#include "app/termiva_app.h"
#include "text/utf8.h"

namespace termiva {

namespace {

constexpr std::size_t BUFFER_LIMIT_CHARS = 2'000'000;

std::string js(const std::string& value) {
    return Json(value).dump(-1, ' ', true, Json::error_handler_t::replace);
}

}  // namespace

void TermivaApp::set_decoder(Tab& tab, const std::string& encoding) {
    auto decoder = std::make_shared<text::Decoder>(encoding);
    std::lock_guard lock(tab.lock);
    tab.decoder = std::move(decoder);
}

std::string TermivaApp::_apply_eol_translation(Tab& tab, const std::string& text) {
    bool lf = false, cr = false;
    {
        std::lock_guard lock(tab.lock);
        if (tab.session) {
            lf = member(*tab.session, "lfhascr") == true;
            cr = member(*tab.session, "crhaslf") == true;
        }
    }
    if (!lf && !cr) return text;
    bool prev = tab._eol_prev_cr;
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
    tab._eol_prev_cr = prev;
    return out;
}

void TermivaApp::_push_to_term(const std::string& tab_id, const std::string& text) {
    if (text.empty()) return;
    TabPtr tab = find_tab(tab_id);
    if (!tab || !tab->reading) return;
    std::string translated = _apply_eol_translation(*tab, text);
    std::size_t chars = text::count_code_points(translated);
    std::lock_guard lock(_buf_lock);
    tab->buffer.push_back(std::move(translated));
    tab->buffer_chars.push_back(chars);
    tab->buffered_chars += chars;
    while (tab->buffered_chars > BUFFER_LIMIT_CHARS && tab->buffer.size() > 1) {
        tab->buffered_chars -= tab->buffer_chars.front();
        tab->buffer.pop_front();
        tab->buffer_chars.pop_front();
    }
}

std::string TermivaApp::drain_terminal(const std::string& tab_id) {
    TabPtr tab = find_tab(tab_id);
    if (!tab) return {};
    std::lock_guard lock(_buf_lock);
    if (tab->buffer.empty()) return {};
    std::string out;
    if (tab->buffer.size() == 1) {
        out = std::move(tab->buffer.front());
    } else {
        std::size_t total = 0;
        for (const auto& chunk : tab->buffer)
            total += chunk.size();
        out.reserve(total);
        for (const auto& chunk : tab->buffer)
            out += chunk;
    }
    tab->buffer.clear();
    tab->buffer_chars.clear();
    tab->buffered_chars = 0;
    return out;
}

bool TermivaApp::send_input(const std::string& tab_id, const std::string& data) {
    TabPtr tab = find_tab(tab_id);
    if (!tab) return false;
    try {
        std::string encoding;
        std::shared_ptr<Backend> target;
        std::shared_ptr<SerialLine> serial;
        {
            std::lock_guard lock(tab->lock);
            encoding = tab->encoding.empty() ? "utf-8" : tab->encoding;
            for (const char* slot : SEND_SLOTS) {
                if (std::string_view(slot) == "serial") {
                    if (tab->serial) {
                        serial = tab->serial;
                        break;
                    }
                } else if (auto b = *tab->backend_slot(slot)) {
                    target = b;
                    break;
                }
            }
        }
        std::string bytes = text::encode(encoding, data);
        if (serial) {
            serial->write(bytes);
            return true;
        }
        if (!target) return false;
        target->send(bytes);
        return true;
    } catch (const std::exception& e) {
        std::cout << "[send_input] " << e.what() << std::endl;
        return false;
    }
}

bool TermivaApp::resize_pty(const std::string& tab_id, const Json& rows_value,
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
            target = tab->channel;
            for (const char* slot : RESIZE_SLOTS) {
                if (target) break;
                target = *tab->backend_slot(slot);
            }
        }
        if (!target) return false;
        target->resize(rows, cols);
        return true;
    } catch (const std::exception& e) {
        std::cout << "[resize_pty] " << e.what() << std::endl;
        return false;
    }
}

bool TermivaApp::set_tab_encoding(const std::string& tab_id, const std::string& encoding) {
    TabPtr tab = find_tab(tab_id);
    if (!tab || !text::codec_known(encoding)) return false;
    auto decoder = std::make_shared<text::Decoder>(encoding);
    std::lock_guard lock(tab->lock);
    tab->encoding = encoding;
    tab->decoder = std::move(decoder);
    return true;
}

Json TermivaApp::get_tab_reading(const std::string& tab_id) {
    TabPtr tab = find_tab(tab_id);
    return Json{{"reading", tab ? tab->reading.load() : false}};
}

Json TermivaApp::toggle_tab_reading(const std::string& tab_id) {
    TabPtr tab = find_tab(tab_id);
    if (!tab) return Json{{"reading", false}};
    bool now = !tab->reading.load();
    tab->reading = now;
    return Json{{"reading", now}};
}

void TermivaApp::_push_info(const std::string& tab_id, const std::string& message, bool is_error) {
    push_page_call("setTerminalInfo(" + js(tab_id) + ", " + js(message) + ", " +
                   (is_error ? "true" : "false") + ")");
}

void TermivaApp::_push_connected(const std::string& tab_id) {
    push_page_call("terminalConnected(" + js(tab_id) + ")");
}

void TermivaApp::read_until_end(const std::string& tab_id, const TabPtr& tab,
                                const std::shared_ptr<Backend>& backend) {
    try {
        while (!_stop && backend && !backend->is_closed()) {
            std::string data = backend->recv(4096);
            if (data.empty()) break;
            std::lock_guard in_order(tab->_received_order);
            std::string text = _intercept_or_decode(tab_id, data);
            if (!text.empty()) _push_to_term(tab_id, text);
        }
    } catch (const std::exception&) {
        // A read failure ends the connection like an end of stream; the end line says so.
    }
    tab->alive = false;
    _push_info(tab_id, _t("info.connection_ended"), false);
}

void TermivaApp::_reader_loop(const std::string& tab_id) {
    TabPtr tab = find_tab(tab_id);
    if (!tab) return;
    std::shared_ptr<Backend> chan;
    std::shared_ptr<SshClient> client;
    {
        std::lock_guard lock(tab->lock);
        chan = tab->channel;
        client = tab->client;
    }
    read_until_end(tab_id, tab, chan);
    if (client) {
        try {
            client->close();
        } catch (const std::exception&) {
        }
    }
}

void TermivaApp::_socket_reader_loop(const std::string& tab_id, const std::string& kind) {
    TabPtr tab = find_tab(tab_id);
    if (!tab) return;
    std::shared_ptr<Backend> backend;
    {
        std::lock_guard lock(tab->lock);
        if (auto* slot = tab->backend_slot(kind)) backend = *slot;
    }
    read_until_end(tab_id, tab, backend);
    if (backend) {
        try {
            backend->close();
        } catch (const std::exception&) {
        }
    }
}

}  // namespace termiva
