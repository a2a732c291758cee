// PuTTY's saved sessions where PuTTY itself keeps them, read only. On Windows that is one
// registry subkey per session under the current user's PuTTY key; on Linux one file per
// session in ~/.putty/sessions holding "Key=Value" lines. Either way a session is known by
// the name PuTTY escaped ("my%20router"), and its values come back as they are stored:
// texts as raw bytes (PuTTY does not promise UTF-8), integers as integers.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace termiva::platform {

using PuttyValue = std::variant<std::string, long long>;

// How PuTTY writes a value. The registry keeps the type with the value; a session file
// does not, so the file store needs to be told which values are numbers.
enum class PuttyValueKind { text, integer };

class PuttySession {
public:
    virtual ~PuttySession() = default;
    // The value called `name`; nothing when it is missing or cannot be read. An integer
    // value that does not hold a number comes back as the text it holds.
    virtual std::optional<PuttyValue> value(const std::string& name, PuttyValueKind kind) const = 0;
};

class PuttySessionStore {
public:
    virtual ~PuttySessionStore() = default;
    // The escaped session names in the store's own order; empty when the store is missing
    // or cannot be opened.
    virtual std::vector<std::string> session_names() const = 0;
    // The session, or nothing when it cannot be opened.
    virtual std::unique_ptr<PuttySession> open_session(const std::string& escaped_name) const = 0;
};

// PuTTY's store for the user running the program.
std::shared_ptr<PuttySessionStore> default_putty_session_store();
// The file store whose sessions are the files in `sessions_dir`.
std::shared_ptr<PuttySessionStore> putty_session_files(std::filesystem::path sessions_dir);

}  // namespace termiva::platform
