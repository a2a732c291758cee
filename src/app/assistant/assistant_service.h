// The AI assistant inside the application: the choices of provider and model (kept in the
// settings file), the readiness of the `claude` program, the conversation, and what it
// does to tabs (describe them, type into one, switch a line-end flag, open a login tab).
// The work itself is the assistant component's (src/assistant/); this service gives it the
// application's tabs, settings and messages.
//
// Owns: the provider choice (provider, models, effort), whether setup was postponed in this
// run, the program lookup and the conversation (through the component's objects).
// Called from: bridge workers, several at once; `claude_send` and `install_claude_code`
// block their worker for minutes while others cancel.
// Lock: `m_lock`, a leaf guarding the choice and the postponed flag. The component's
// objects have their own leaf locks. Settings and sessions are saved outside `m_lock`.
#pragma once

#include <filesystem>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "app/bridge/bridge_table.h"
#include "app/json_values.h"
#include "app/store/session_store.h"
#include "app/tabs/tab_host.h"
#include "app/tabs/tab_registry.h"
#include "assistant/claude_program.h"
#include "assistant/conversation.h"
#include "assistant/settings.h"

namespace termiva {

class AssistantService {
public:
    using Json = nlohmann::json;

    // `module_dir`: the program folder, read when the documents are looked for.
    AssistantService(TabHost& host, SessionStore& store, TabRegistry& tabs,
                     const std::filesystem::path& module_dir);
    // The page's assistant operations.
    void register_ops(BridgeTable& table);
    // Reads the choices from the settings (after the store loaded).
    void load(const std::filesystem::path& app_dir);
    // The application is stopping: the running question and installer end.
    void stop();

    // Readiness of the program.
    Json claude_ai_state();
    Json install_claude_code();
    Json dismiss_ai_setup();
    Json reset_ai_setup();
    Json start_claude_login();
    Json set_claude_api_key(const Json& api_key);
    Json claude_status();

    // Provider, model and options.
    Json claude_get_models();
    Json set_claude_model(const Json& model_id);
    Json set_claude_provider(const Json& provider);
    Json claude_get_deepseek_credentials();
    Json set_claude_deepseek_credentials(const Json& api_key, const Json& base_url,
                                         const Json& model);
    Json claude_get_deepseek_models();
    Json set_claude_deepseek_model(const Json& model_id);
    Json set_claude_effort(const Json& enabled);
    Json claude_toggle_session_flag(const std::string& tab_id, const std::string& flag_name);

    // The conversation.
    Json claude_send(const Json& user_text, const Json& terminal_text, const Json& target_tab_id,
                     const Json& timeout, const Json& tab_texts);
    bool claude_reset_session() { return m_conversation.claude_reset_session(); }
    bool claude_inject(const std::string& tab_id, const Json& command, const Json& append_newline);

    // "architecture" in the program folder: the documents the assistant is pointed at.
    std::filesystem::path arch_dir() const;
    std::filesystem::path custom_settings_path() const { return _claude_custom_settings_path; }
    assistant::ProviderChoice choice();
    assistant::Conversation& conversation() { return m_conversation; }

private:
    // Stores `value` under `key` in the settings and saves them when it changed.
    void save_setting(const std::string& key, const Json& value);
    std::vector<assistant::TabInfo> describe_tabs();
    assistant::Translate translator();

    TabHost& m_host;
    SessionStore& m_store;
    TabRegistry& m_tabs;
    const std::filesystem::path& m_module_dir;

    std::mutex m_lock;  // guards m_choice and _ai_setup_dismissed_this_session
    assistant::ProviderChoice m_choice;
    bool _ai_setup_dismissed_this_session = false;

    std::filesystem::path _claude_custom_settings_path;
    std::filesystem::path m_app_dir;

    assistant::ClaudeProgram m_program;
    assistant::Conversation m_conversation;
};

}  // namespace termiva
