#include "app/store/session_store.h"

#include <algorithm>
#include <ctime>
#include <fstream>
#include <sstream>

#include "app/json_values.h"
#include "platform/atomic_file.h"
#include "platform/bounded_json.h"
#include "platform/calendar_time.h"
#include "platform/log.h"
#include "platform/utf8_path.h"

namespace termiva {

namespace {

using Json = nlohmann::json;

Json read_json_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + platform::path_to_utf8(path));
    std::stringstream text;
    text << in.rdbuf();
    return platform::parse_json_bounded(text.str(), true);
}

void write_json_file(const std::filesystem::path& path, const Json& value) {
    platform::write_file_atomically(
        path, value.dump(2, ' ', false, Json::error_handler_t::replace) + "\n");
}

// "20261207T165012Z": sorts by time and holds no character a file name may not.
std::string utc_stamp() {
    const std::time_t now = std::time(nullptr);
    const std::tm utc = platform::utc_time(now);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
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
            loaded.push_back(std::make_shared<const Session>(s));
    } catch (const std::exception& e) {
        log::warn("load_sessions:", e.what());
        loaded.clear();
        set_aside(m_sessions_file, e.what());
    }
    std::lock_guard lock(m_lock);
    m_sessions = std::move(loaded);
}

void SessionStore::load_settings() {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(m_settings_file, ec)) return;
    try {
        Json doc = read_json_file(m_settings_file);
        if (!doc.is_object()) throw std::runtime_error("settings file does not hold an object");
        std::lock_guard lock(m_lock);
        for (auto it = doc.begin(); it != doc.end(); ++it)
            m_settings[it.key()] = it.value();
    } catch (const std::exception& e) {
        log::warn("load_settings:", e.what());
        set_aside(m_settings_file, e.what());
    }
}

void SessionStore::set_aside(const std::filesystem::path& file, const std::string& reason) {
    Unreadable record{file, {}, reason};
    try {
        record.moved_to = platform::set_aside(file, "unreadable-" + utc_stamp());
        log::warn("store", platform::path_to_utf8(file) + " could not be read (" + reason +
                               "); kept as " + platform::path_to_utf8(record.moved_to) +
                               ", a new file is written on the next save");
    } catch (const std::exception& e) {
        log::error("store", platform::path_to_utf8(file) + " could not be read (" + reason +
                                ") nor moved aside (" + e.what() +
                                "); it will not be written over");
        std::lock_guard lock(m_lock);
        m_untouchable.push_back(file);
    }
    std::lock_guard lock(m_lock);
    m_unreadable.push_back(std::move(record));
}

std::optional<std::string> SessionStore::write(const std::filesystem::path& file,
                                               const Json& value) const {
    {
        std::lock_guard lock(m_lock);
        if (std::find(m_untouchable.begin(), m_untouchable.end(), file) != m_untouchable.end()) {
            std::string error = platform::path_to_utf8(file) +
                                " could not be read at start and is kept as it is; "
                                "nothing was written over it";
            log::error("store", error);
            return error;
        }
    }
    try {
        write_json_file(file, value);
        return std::nullopt;
    } catch (const std::exception& e) {
        log::error("store", e.what());
        return std::string(e.what());
    }
}

std::optional<std::string> SessionStore::save_sessions() const {
    return write(m_sessions_file, Json{{"sessions", sessions_json()}});
}

std::optional<std::string> SessionStore::save_settings() const {
    return write(m_settings_file, settings());
}

std::vector<SessionStore::Unreadable> SessionStore::take_unreadable() {
    std::lock_guard lock(m_lock);
    return std::exchange(m_unreadable, {});
}

Json SessionStore::sessions_json() const {
    std::lock_guard lock(m_lock);
    Json list = Json::array();
    for (const auto& s : m_sessions)
        list.push_back(s->stored);
    return list;
}

SessionPtr SessionStore::find(const Json& session_id) const {
    std::lock_guard lock(m_lock);
    for (const auto& s : m_sessions) {
        if (s->has_id(session_id)) return s;
    }
    return nullptr;
}

std::pair<SessionPtr, SessionPtr> SessionStore::put(Json rec) {
    auto saved = std::make_shared<const Session>(std::move(rec));
    const Json& id = saved->id_value();
    std::lock_guard lock(m_lock);
    for (auto& s : m_sessions) {
        if (s->has_id(id)) return {saved, std::exchange(s, saved)};
    }
    m_sessions.push_back(saved);
    return {saved, nullptr};
}

void SessionStore::remove(const Json& session_id) {
    std::lock_guard lock(m_lock);
    std::erase_if(m_sessions, [&](const SessionPtr& s) { return s->has_id(session_id); });
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
