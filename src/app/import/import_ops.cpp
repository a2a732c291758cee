// The page's PuTTY import: listing PuTTY's saved sessions, and adding the chosen ones to
// the session list as new sessions.
#include <stdexcept>

#include "app/termiva_app.h"
#include "platform/log.h"

namespace termiva {

Json TermivaApp::_read_putty_registry_sessions() {
    try {
        return m_import.read_sessions();
    } catch (const std::exception& e) {
        log::warn("import", std::string("PuTTY's sessions could not be read: ") + e.what());
    }
    return Json::array();
}

Json TermivaApp::import_list_from_putty() {
    return _read_putty_registry_sessions();
}

void TermivaApp::_import_one(const Json& rec) {
    m_store.put(
        PuttyImport::session_from_record(rec, _t("info.import_default_name"), new_session_id()));
}

Json TermivaApp::import_putty_sessions(const Json& putty_records) {
    if (!putty_records.is_array()) throw std::invalid_argument("a list of records is expected");
    for (const auto& rec : putty_records) {
        if (!rec.is_object()) {
            log::warn("import", "a PuTTY record that is not an object was skipped");
            continue;
        }
        _import_one(rec);
    }
    // Always written, even for an empty choice: what the page shows is what is on disk.
    Json answer{{"sessions", m_store.sessions_json()}};
    if (const auto failure = _save_sessions())
        answer["save_error"] = _save_failure(SESSIONS_FILE, *failure);
    return answer;
}

void TermivaApp::register_import_bridge() {
    m_bridge.add("import_list_from_putty",
                 {{},
                  [] { return Json::array(); },
                  [this](const std::vector<Json>&) { return import_list_from_putty(); }});
    m_bridge.add("import_putty_sessions",
                 {{{"putty_records"}},
                  [this] {
                      return Json{{"sessions", m_store.sessions_json()}};
                  },
                  [this](const std::vector<Json>& a) { return import_putty_sessions(a[0]); }});
}

}  // namespace termiva
