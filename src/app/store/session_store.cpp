#include "app/store/session_store.h"

#include <fstream>
#include <sstream>

#include "app/json_values.h"
#include "platform/atomic_file.h"
#include "platform/log.h"

namespace termiva {

namespace {

using Json = nlohmann::json;

Json read_json_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path.string());
    std::stringstream text;
    text << in.rdbuf();
    return Json::parse(text.str());
}

void write_json_file(const std::filesystem::path& path, const Json& value) {
    platform::write_file_atomically(
        path, value.dump(2, ' ', false, Json::error_handler_t::replace) + "\n");
}

}  // namespace

SessionStore::SessionStore(std::filesystem::path sessions_file, std::filesystem::path settings_file,
                           Json default_settings)
    : m_sessions_file(std::move(sessions_file)),
      m_settings_file(std::move(settings_file)),
      m_settings(std::move(default_settings)) {}

void SessionStore::load_sessions() {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(m_sessions_file, ec)) return;
    std::vector<SessionPtr> loaded;
    try {
        Json doc = read_json_file(m_sessions_file);
        const Json& list = doc.at("sessions");
        if (!list.is_array()) throw std::runtime_error("\"sessions\" is not a list");
        for (const auto& s : list)
            loaded.push_back(std::make_shared<const Json>(s));
    } catch (const std::exception& e) {
        log::warn("load_sessions:", e.what());
        loaded.clear();
    }
    std::lock_guard lock(m_lock);
    m_sessions = std::move(loaded);
}

void SessionStore::load_settings() {
    std::error_code ec;
    if (!std::filesystem::exists(m_settings_file, ec)) return;
    try {
        Json doc = read_json_file(m_settings_file);
        if (!doc.is_object()) throw std::runtime_error("settings file does not hold an object");
        std::lock_guard lock(m_lock);
        for (auto it = doc.begin(); it != doc.end(); ++it)
            m_settings[it.key()] = it.value();
    } catch (const std::exception& e) {
        log::warn("load_settings:", e.what());
    }
}

void SessionStore::save_sessions() const {
    try {
        write_json_file(m_sessions_file, Json{{"sessions", sessions_json()}});
    } catch (const std::exception& e) {
        log::error("save_sessions:", e.what());
    }
}

void SessionStore::save_settings() const {
    try {
        write_json_file(m_settings_file, settings());
    } catch (const std::exception& e) {
        log::error("save_settings:", e.what());
    }
}

Json SessionStore::sessions_json() const {
    std::lock_guard lock(m_lock);
    Json list = Json::array();
    for (const auto& s : m_sessions)
        list.push_back(*s);
    return list;
}

SessionPtr SessionStore::find(const Json& session_id) const {
    std::lock_guard lock(m_lock);
    for (const auto& s : m_sessions) {
        if (member(*s, "id") == session_id) return s;
    }
    return nullptr;
}

std::pair<SessionPtr, SessionPtr> SessionStore::put(Json rec) {
    auto saved = std::make_shared<const Json>(std::move(rec));
    const Json& id = member(*saved, "id");
    std::lock_guard lock(m_lock);
    for (auto& s : m_sessions) {
        if (member(*s, "id") == id) return {saved, std::exchange(s, saved)};
    }
    m_sessions.push_back(saved);
    return {saved, nullptr};
}

void SessionStore::remove(const Json& session_id) {
    std::lock_guard lock(m_lock);
    std::erase_if(m_sessions, [&](const SessionPtr& s) { return member(*s, "id") == session_id; });
}

Json SessionStore::settings() const {
    std::lock_guard lock(m_lock);
    return m_settings;
}

Json SessionStore::setting(std::string_view key) const {
    std::lock_guard lock(m_lock);
    return member(m_settings, key);
}

bool SessionStore::set_setting(const std::string& key, Json value) {
    std::lock_guard lock(m_lock);
    if (member(m_settings, key) == value) return false;
    m_settings[key] = std::move(value);
    return true;
}

}  // namespace termiva
