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
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/store/session.h"

namespace termiva {

// A new session id: 32 lower-case hex digits of a random (version 4) UUID.
std::string new_session_id();

class SessionStore {
public:
    SessionStore(std::filesystem::path sessions_file, std::filesystem::path settings_file,
                 nlohmann::json default_settings);

    // A file that could not be read (not JSON, not the expected shape, unreadable bytes),
    // moved aside before anything was written over it.
    struct Unreadable {
        std::filesystem::path file;
        std::filesystem::path moved_to;  // empty when even the move failed
        std::string reason;
    };

    // Reads both files. A file that cannot be read leaves its value as it was and is
    // moved aside to "<name>.unreadable-<UTC time>" first, so the next save starts a
    // fresh file and the user's bytes stay on disk. If it cannot be moved, saves of
    // that file are refused rather than written over it.
    void load_sessions();
    void load_settings();
    // Writes the file from the value in memory. An error text (logged as well) when the
    // file could not be written; the previous file is then intact.
    std::optional<std::string> save_sessions() const;
    std::optional<std::string> save_settings() const;
    // The files set aside since the last call, each reported once.
    std::vector<Unreadable> take_unreadable();

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
    // Sets `file` aside after it failed to load (`reason`), remembering it for the page.
    void set_aside(const std::filesystem::path& file, const std::string& reason);
    std::optional<std::string> write(const std::filesystem::path& file,
                                     const nlohmann::json& value) const;

    mutable std::mutex m_lock;
    std::vector<SessionPtr> m_sessions;
    nlohmann::json m_settings;
    std::vector<Unreadable> m_unreadable;
    // Files that could be neither read nor moved aside: never written over.
    std::vector<std::filesystem::path> m_untouchable;
};

}  // namespace termiva
