// The page's session operations over the session store, and the live update of tabs
// open on a changed session.
#include <random>

#include "app/json_values.h"
#include "app/store/page_record.h"
#include "app/termiva_app.h"
#include "platform/log.h"
#include "platform/utf8_path.h"

namespace termiva {

std::string new_session_id() {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    static const char* hex = "0123456789abcdef";
    std::string id(32, '0');
    for (int half = 0; half < 2; ++half) {
        std::uint64_t bits = rng();
        for (int i = 0; i < 16; ++i)
            id[half * 16 + i] = hex[(bits >> (i * 4)) & 0xF];
    }
    id[12] = '4';                                      // version 4
    id[16] = hex[8 + (std::random_device{}() & 0x3)];  // variant 10xx
    return id;
}

namespace {

const Json& value_or_null(const Json& rec, const std::string& key) {
    const Json& v = member(rec, key);
    static const Json null_value;
    return is_false_like(v) ? null_value : v;
}

// True when the records differ, and only in the flashing tool's remembered choices
// (keys beginning with "esp_").
bool only_tool_prefs_differ(const Json& before, const Json& after) {
    if (!before.is_object() || !after.is_object()) return false;
    bool any = false;
    auto differs = [&](const std::string& key) {
        const bool tool = key.rfind("esp_", 0) == 0;
        if (before.value(key, Json()) == after.value(key, Json())) return true;
        any = any || tool;
        return tool;
    };
    for (const auto& [key, value] : before.items())
        if (!differs(key)) return false;
    for (const auto& [key, value] : after.items())
        if (!differs(key)) return false;
    return any;
}

}  // namespace

void TermivaApp::_load_sessions() {
    m_store.load_sessions();
}

std::optional<std::string> TermivaApp::_save_sessions() {
    return m_store.save_sessions();
}

void TermivaApp::_load_settings() {
    m_store.load_settings();
    apply_reachability_setting();
}

std::optional<std::string> TermivaApp::_save_settings() {
    return m_store.save_settings();
}

Json TermivaApp::get_initial_state() {
    Json lang = member(m_store.settings(), "language");
    // Files set aside at start are told once: a reload of the page does not repeat them.
    Json notices = Json::array();
    for (const auto& u : m_store.take_unreadable()) {
        notices.push_back(Json{{"key", u.moved_to.empty() ? "notice.store_unreadable_kept"
                                                          : "notice.store_unreadable"},
                               {"file", platform::path_to_utf8(u.file)},
                               {"moved_to", platform::path_to_utf8(u.moved_to)}});
    }
    return Json{
        {"sessions", m_store.sessions_json()},
        {"puttygen_path", puttygen_exe ? platform::path_to_utf8(*puttygen_exe) : std::string()},
        {"sessions_file", platform::path_to_utf8(SESSIONS_FILE)},
        {"language", lang},
        {"notices", notices}};
}

Json TermivaApp::_save_failure(const std::filesystem::path& file, const std::string& error) {
    return Json{{"file", platform::path_to_utf8(file)}, {"error", error}};
}

Json TermivaApp::save_session(Json rec) {
    if (!rec.is_object()) return Json{{"sessions", m_store.sessions_json()}, {"id", nullptr}};
    if (const auto refusal = normalise_page_record(rec)) {
        return Json{{"sessions", m_store.sessions_json()},
                    {"id", nullptr},
                    {"refused", {{"field", refusal->field}, {"limit", MAX_FIELD_BYTES}}}};
    }
    const Json& given_id = member(rec, "id");
    if (is_false_like(given_id) || (given_id.is_string() && given_id.get<std::string>().empty())) {
        rec["id"] = new_session_id();
    }
    auto [saved, replaced] = m_store.put(rec);
    const auto failure = _save_sessions();
    _apply_session_changes_to_open_tabs(saved, replaced.get());
    m_prober.request_round();  // its dot should not wait for the next round
    Json answer{{"sessions", m_store.sessions_json()}, {"id", rec["id"]}};
    // The change holds for this run; the page says it did not reach the disk.
    if (failure) answer["save_error"] = _save_failure(SESSIONS_FILE, *failure);
    return answer;
}

Json TermivaApp::delete_session(const Json& session_id) {
    m_store.remove(session_id);
    Json answer{{"sessions", m_store.sessions_json()}};
    if (const auto failure = _save_sessions())
        answer["save_error"] = _save_failure(SESSIONS_FILE, *failure);
    return answer;
}

void TermivaApp::_apply_session_changes_to_open_tabs(const SessionPtr& saved,
                                                     const Session* replaced) {
    const Json& sid = saved->id_value();
    if (is_false_like(sid)) return;
    SessionPtr shared = m_store.find(sid);
    if (!shared) shared = saved;
    const Json& new_rec = saved->stored;
    const Json* old_rec = replaced ? &replaced->stored : nullptr;

    // The flashing tool remembers its choices (chip, speed, ...) in the session while a job
    // runs on the tab: nothing of the connection changed, so the tab is told nothing.
    const bool quiet = old_rec && only_tool_prefs_differ(*old_rec, new_rec);
    bool changed = false;
    if (old_rec) {
        for (const auto& key : CONN_LEVEL_KEYS) {
            if (value_or_null(*old_rec, key) != value_or_null(new_rec, key)) {
                changed = true;
                break;
            }
        }
    }
    std::string new_enc = to_lower(text_or(saved->line_code_page, "utf-8"));
    long long keepalive = saved->keepalive_sec.integer.value_or(0);

    for (const auto& tab : m_tabs.snapshot()) {
        std::shared_ptr<SshClient> client;
        bool needs_decoder = false;
        {
            std::lock_guard lock(tab->lock);
            if (!tab->session || !tab->session->has_id(sid)) continue;
            tab->session = shared;
            tab->display = tab_caption(*saved);
            needs_decoder = new_enc != tab->encoding;
            client = tab->client;
        }
        if (needs_decoder) {
            try {
                auto decoder = std::make_shared<text::Decoder>(new_enc);
                std::lock_guard lock(tab->lock);
                tab->encoding = new_enc;
                tab->decoder = std::move(decoder);
            } catch (const std::exception& e) {
                log::warn("apply_session", std::string("encoding lookup failed: ") + e.what());
            }
        }
        if (client && keepalive > 0) {
            try {
                client->set_keepalive(static_cast<int>(std::min<long long>(keepalive, 86400)));
            } catch (const std::exception& e) {
                log::warn("apply_session", std::string("keep-alive: ") + e.what());
            }
        }
        if (!quiet)
            _push_info(tab->id, _t(changed ? "info.settings_updated" : "info.settings_applied"),
                       false);
    }
}

}  // namespace termiva
