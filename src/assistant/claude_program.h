// Finding the `claude` program, installing it, the login test, the API key in Claude Code's
// own settings file, and the status the settings panel shows.
//
// Owns: the cached path of the program, and the installer while it runs.
// Called from: bridge threads, several at once.
// Lock: `m_lock`, a leaf held only to read or write the cache and the installer pointer.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "assistant/types.h"
#include "platform/child_process.h"

namespace termiva::assistant {

class ClaudeProgram {
public:
    // The program's path, or nothing. A path found is kept until an install succeeds;
    // a failed search is not kept, so an install made meanwhile is found next time.
    std::optional<std::filesystem::path> _resolve_claude_exe();
    // A rough test of past logins (the files Claude Code's login leaves).
    static bool _claude_logged_in();
    // Writes (or removes, for a blank key) `primaryApiKey` in ~/.claude/settings.json.
    static Json set_claude_api_key(const Json& api_key);
    // The status record: installed, logged_in, version, model, exe, hint.
    Json claude_status(const std::string& model, const Translate& t);
    // Runs the vendor's installer (up to 300 s); true when the program can be found after.
    bool install_claude_code();
    // Adds the folders an install puts the program in to this process's PATH.
    static void _refresh_user_path_after_install();
    // Ends a running installer (the application is stopping).
    void stop();

private:
    std::mutex m_lock;
    std::optional<std::filesystem::path> _claude_exe;
    bool _claude_exe_resolved = false;
    std::shared_ptr<platform::ChildProcess> m_installer;
    bool m_stopping = false;
};

}  // namespace termiva::assistant
