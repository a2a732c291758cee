// The session and settings store: the saved connection profiles and the user's settings,
// in memory and in their two JSON files.
//
// Owns: the session list (immutable records, replaced whole on change), the settings
// object, and the files "sessions.json" and "settings.json".
// Called from: bridge workers (save, delete, settings), connect threads and the message
// catalog (read-only look-ups), start-up (load).
// Lock: `m_lock` guards both in-memory values; it is never held while a file is written
// or another service is called.
#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/tabs/tab.h"

namespace termiva {

class SessionStore {
public:
    SessionStore(std::filesystem::path sessions_file, std::filesystem::path settings_file,
                 nlohmann::json default_settings);

    // Reads both files; a file that cannot be read leaves its value as it was.
    void load_sessions();
    void load_settings();
    // Writes the file from the value in memory; failures are logged.
    void save_sessions() const;
    void save_settings() const;

    nlohmann::json sessions_json() const;
    SessionPtr find(const nlohmann::json& session_id) const;
    // Adds `rec`, or replaces the record with its id. Returns (stored record, replaced
    // record or null).
    std::pair<SessionPtr, SessionPtr> put(nlohmann::json rec);
    void remove(const nlohmann::json& session_id);

    nlohmann::json settings() const;
    nlohmann::json setting(std::string_view key) const;
    // True when the value changed.
    bool set_setting(const std::string& key, nlohmann::json value);

private:
    const std::filesystem::path m_sessions_file;
    const std::filesystem::path m_settings_file;
    mutable std::mutex m_lock;
    std::vector<SessionPtr> m_sessions;
    nlohmann::json m_settings;
};

}  // namespace termiva
