#include "app/assistant/assistant_service.h"

#include <random>

#include "app/json_values.h"
#include "platform/log.h"
#include "platform/utf8_path.h"

namespace termiva {

namespace fs = std::filesystem;
using assistant::ProviderChoice;

namespace {

// 8 hex digits, as every tab id.
std::string login_tab_id() {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    static const char* hex = "0123456789abcdef";
    const std::uint64_t bits = rng();
    std::string id(8, '0');
    for (int i = 0; i < 8; ++i)
        id[i] = hex[(bits >> (i * 4)) & 0xF];
    return id;
}

std::string shell_quoted(const std::string& s) {
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace

AssistantService::AssistantService(TabHost& host, SessionStore& store, TabRegistry& tabs,
                                   const fs::path& module_dir)
    : m_host(host), m_store(store), m_tabs(tabs), m_module_dir(module_dir) {}

void AssistantService::load(const fs::path& app_dir) {
    std::lock_guard lock(m_lock);
    m_choice = assistant::choice_from_settings(m_store.settings());
    m_app_dir = app_dir;
    _claude_custom_settings_path = app_dir / "deepseek-settings.json";
}

fs::path AssistantService::arch_dir() const {
    return m_module_dir / "architecture";
}

void AssistantService::stop() {
    m_conversation.stop();
    m_program.stop();
}

ProviderChoice AssistantService::choice() {
    std::lock_guard lock(m_lock);
    return m_choice;
}

assistant::Translate AssistantService::translator() {
    return [this](std::string_view key, const assistant::MessageValues& values) {
        return m_host.translate(key, values);
    };
}

void AssistantService::save_setting(const std::string& key, const Json& value) {
    if (!m_store.set_setting(key, value)) return;
    if (const auto failure = m_store.save_settings())
        log::warn("claude", "settings not saved: " + *failure);
}

// ---- readiness ----

Json AssistantService::claude_ai_state() {
    const bool installed = m_program._resolve_claude_exe().has_value();
    const bool logged_in = installed && assistant::ClaudeProgram::_claude_logged_in();
    std::error_code ec;
    const bool has_deepseek = fs::is_regular_file(_claude_custom_settings_path, ec);
    const bool has_backend = logged_in || has_deepseek;
    bool dismissed = false;
    {
        std::lock_guard lock(m_lock);
        dismissed = _ai_setup_dismissed_this_session;
    }
    return {{"installed", installed},
            {"logged_in", logged_in},
            {"has_deepseek_settings", has_deepseek},
            {"has_backend", has_backend},
            {"ready", installed && has_backend},
            {"session_dismissed", dismissed}};
}

Json AssistantService::install_claude_code() {
    const bool ok = m_program.install_claude_code();
    if (!ok) {
        // The page then shows the "unavailable" note instead of asking again in this run.
        std::lock_guard lock(m_lock);
        _ai_setup_dismissed_this_session = true;
    }
    return {{"ok", ok}};
}

Json AssistantService::dismiss_ai_setup() {
    std::lock_guard lock(m_lock);
    _ai_setup_dismissed_this_session = true;
    return {{"ok", true}};
}

Json AssistantService::reset_ai_setup() {
    std::lock_guard lock(m_lock);
    _ai_setup_dismissed_this_session = false;
    return {{"ok", true}};
}

Json AssistantService::start_claude_login() {
    const auto exe = m_program._resolve_claude_exe();
    if (!exe) return {{"ok", false}, {"error", "claude_not_installed"}};
    // The login runs in a local-shell tab of its own: the user sees the link it prints and
    // types the code it asks for; the tab stays after the login ends.
    const Json session{
        {"id", nullptr},
        {"name", "claude login"},
        {"protocol", "conpty"},
        {"host", "custom"},
        {"conpty_shell", "custom"},
        {"conpty_custom_command", shell_quoted(platform::path_to_utf8(*exe)) + " login"},
        {"line_code_page", "utf-8"}};
    try {
        auto tab = std::make_shared<Tab>(login_tab_id());
        tab->session = std::make_shared<const Session>(session);
        tab->display = "claude login";
        tab->protocol = "conpty";
        tab->encoding = "utf-8";
        const std::string id = tab->id;
        m_host.open_tab(tab);
        m_host.runtime_changed();
        return {{"ok", true}, {"tab_id", id}};
    } catch (const std::exception& e) {
        return {{"ok", false}, {"error", e.what()}};
    }
}

Json AssistantService::set_claude_api_key(const Json& api_key) {
    return assistant::ClaudeProgram::set_claude_api_key(api_key);
}

Json AssistantService::claude_status() {
    return m_program.claude_status(choice().model, translator());
}

// ---- provider, model, options ----

Json AssistantService::claude_get_models() {
    const ProviderChoice c = choice();
    std::error_code ec;
    return {{"current", c.model},
            {"default", std::string(assistant::CLAUDE_DEFAULT_MODEL)},
            {"builtin", assistant::builtin_models_json()},
            {"is_custom", !assistant::is_builtin_model(c.model)},
            {"effort_enabled", c.effort_enabled},
            {"provider", c.provider},
            {"has_custom_settings", fs::exists(_claude_custom_settings_path, ec)},
            {"custom_settings_path", platform::path_to_utf8(_claude_custom_settings_path)}};
}

Json AssistantService::set_claude_model(const Json& model_id) {
    const std::string model = assistant::model_value(model_id);
    bool changed = false;
    {
        std::lock_guard lock(m_lock);
        changed = m_choice.model != model;
        m_choice.model = model;
    }
    if (changed) save_setting("claude_model", model);
    return {{"ok", true}, {"model", model}, {"is_custom", !assistant::is_builtin_model(model)}};
}

Json AssistantService::set_claude_provider(const Json& provider_value) {
    const std::string provider = assistant::provider_value(provider_value);
    bool changed = false;
    {
        std::lock_guard lock(m_lock);
        changed = m_choice.provider != provider;
        m_choice.provider = provider;
    }
    if (changed) save_setting("claude_provider", provider);
    return {{"ok", true}, {"provider", provider}};
}

Json AssistantService::claude_get_deepseek_credentials() {
    return assistant::read_deepseek_credentials(_claude_custom_settings_path);
}

Json AssistantService::set_claude_deepseek_credentials(const Json& api_key, const Json& base_url,
                                                       const Json& model) {
    return assistant::write_deepseek_credentials(_claude_custom_settings_path, api_key, base_url,
                                                 model);
}

Json AssistantService::claude_get_deepseek_models() {
    return assistant::fetch_deepseek_models(_claude_custom_settings_path, choice().deepseek_model);
}

Json AssistantService::set_claude_deepseek_model(const Json& model_id) {
    const std::string model = assistant::deepseek_model_value(model_id);
    bool changed = false;
    {
        std::lock_guard lock(m_lock);
        changed = m_choice.deepseek_model != model;
        m_choice.deepseek_model = model;
    }
    if (changed) save_setting("claude_deepseek_model", model);
    return {{"ok", true}, {"model", model}};
}

Json AssistantService::set_claude_effort(const Json& enabled_value) {
    const bool enabled = assistant::truthy(enabled_value);
    bool changed = false;
    {
        std::lock_guard lock(m_lock);
        changed = m_choice.effort_enabled != enabled;
        m_choice.effort_enabled = enabled;
    }
    if (changed) save_setting("claude_effort_enabled", enabled);
    return {{"ok", true}, {"effort_enabled", enabled}};
}

Json AssistantService::claude_toggle_session_flag(const std::string& tab_id,
                                                  const std::string& flag_name) {
    const auto& allowed = assistant::_CLAUDE_TOGGLEABLE_FLAGS;
    if (std::find(allowed.begin(), allowed.end(), flag_name) == allowed.end())
        return {{"ok", false},
                {"error", m_host.translate("err.unauthorized_flag", {{"flag", flag_name}})}};
    TabPtr tab = m_tabs.find(tab_id);
    if (!tab) return {{"ok", false}, {"error", m_host.translate("err.tab_not_found")}};

    bool value = false;
    Json snapshot_id;
    {
        std::lock_guard lock(tab->lock);
        Json changed = tab->session ? tab->session->stored : Json::object();
        value = !assistant::truthy(member(changed, flag_name));
        changed[flag_name] = value;
        snapshot_id = member(changed, "id");
        tab->session = std::make_shared<const Session>(std::move(changed));
    }
    if (!snapshot_id.is_null()) {
        if (SessionPtr saved = m_store.find(snapshot_id)) {
            Json rec = saved->stored;
            rec[flag_name] = value;
            m_store.put(std::move(rec));
        }
    }
    if (const auto failure = m_store.save_sessions())
        log::warn("claude", "sessions not saved: " + *failure);

    m_host.push_info(
        tab_id,
        m_host.translate("info.flag_toggled",
                         {{"action", m_host.translate(value ? "flag.enabled" : "flag.disabled")},
                          {"label", m_host.translate("label." + flag_name)}}));
    return {
        {"ok", true}, {"flag", flag_name}, {"value", value}, {"sessions", m_store.sessions_json()}};
}

// ---- the conversation ----

std::vector<assistant::TabInfo> AssistantService::describe_tabs() {
    std::vector<assistant::TabInfo> out;
    for (const auto& id : m_tabs.order()) {
        TabPtr tab = m_tabs.find(id);
        if (!tab) continue;
        assistant::TabInfo info;
        info.id = id;
        info.alive = tab->alive();
        std::lock_guard lock(tab->lock);
        info.display = tab->display;
        info.protocol = tab->protocol;
        info.encoding = tab->encoding;
        info.session = tab->session ? tab->session->stored : Json::object();
        out.push_back(std::move(info));
    }
    return out;
}

Json AssistantService::claude_send(const Json& user_text, const Json& terminal_text,
                                   const Json& target_tab_id, const Json& timeout,
                                   const Json& tab_texts) {
    const auto exe = m_program._resolve_claude_exe();
    if (!exe)
        return {{"ok", false}, {"error", m_host.translate("err.claude_not_found")}, {"reply", ""}};

    assistant::RequestInput request;
    request.user_text = user_text.is_string() ? user_text.get<std::string>() : "";
    request.terminal_text = terminal_text.is_string() ? terminal_text.get<std::string>() : "";
    if (target_tab_id.is_string() && !target_tab_id.get<std::string>().empty())
        request.target_tab_id = target_tab_id.get<std::string>();
    request.tabs = describe_tabs();
    request.tab_texts = tab_texts.is_object() ? tab_texts : Json();

    const Json lang = m_store.setting("language");
    assistant::AskContext ctx{
        *exe,        choice(),  _claude_custom_settings_path,
        arch_dir(),  m_app_dir, lang.is_string() ? lang.get<std::string>() : "en",
        translator()};
    // A time-out that is not a positive number of seconds takes the usual three minutes.
    long long seconds = to_integer(timeout).value_or(180);
    if (seconds <= 0) seconds = 180;
    seconds = std::min<long long>(seconds, 24 * 3600);
    return m_conversation.claude_send(ctx, request, static_cast<int>(seconds));
}

bool AssistantService::claude_inject(const std::string& tab_id, const Json& command,
                                     const Json& append_newline) {
    if (!command.is_string() || command.get<std::string>().empty()) return false;
    std::string text = command.get<std::string>();
    if (assistant::truthy(append_newline) && text.back() != '\n' && text.back() != '\r')
        text += "\n";
    return m_host.type_into(tab_id, text);
}

}  // namespace termiva
