#include "assistant/claude_program.h"

#include <fstream>
#include <sstream>

#include "assistant/utf8_text.h"
#include "platform/assistant_program.h"
#include "platform/atomic_file.h"
#include "platform/bounded_json.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/utf8_path.h"

namespace termiva::assistant {

namespace fs = std::filesystem;

namespace {

constexpr auto INSTALL_LIMIT = std::chrono::seconds(300);
constexpr auto VERSION_LIMIT = std::chrono::seconds(10);

fs::path claude_dir() {
    return platform::home_dir() / ".claude";
}

Json read_settings_object(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + platform::path_to_utf8(file));
    std::ostringstream text;
    text << in.rdbuf();
    Json parsed = platform::parse_json_bounded(text.str(), true);
    if (!parsed.is_object()) throw std::runtime_error("not an object");
    return parsed;
}

}  // namespace

std::optional<fs::path> ClaudeProgram::_resolve_claude_exe() {
    {
        std::lock_guard lock(m_lock);
        if (_claude_exe_resolved) return _claude_exe;
    }
    std::optional<fs::path> found;
    for (const auto& name : platform::assistant_program_names()) {
        if ((found = platform::find_on_search_path(name))) break;
    }
    if (!found) {
        for (const auto& candidate : platform::assistant_program_candidates()) {
            if (!candidate.empty() && platform::is_program_file(candidate)) {
                found = candidate;
                break;
            }
        }
    }
    if (found) {
        std::lock_guard lock(m_lock);
        _claude_exe = found;
        _claude_exe_resolved = true;
    }
    return found;
}

bool ClaudeProgram::_claude_logged_in() {
    const fs::path dir = claude_dir();
    std::error_code ec;
    if (fs::is_regular_file(dir / ".credentials.json", ec)) return true;
    if (!fs::is_regular_file(dir / "settings.json", ec)) return false;
    try {
        const Json obj = read_settings_object(dir / "settings.json");
        return truthy(obj.value("oauthAccount", Json())) ||
               truthy(obj.value("primaryApiKey", Json()));
    } catch (const std::exception&) {
        return false;  // unreadable settings: no proof of a login
    }
}

Json ClaudeProgram::set_claude_api_key(const Json& api_key) {
    const std::string key = api_key.is_string() ? trim(api_key.get<std::string>()) : "";
    const fs::path file = claude_dir() / "settings.json";
    Json obj = Json::object();
    std::error_code ec;
    if (fs::is_regular_file(file, ec)) {
        try {
            obj = read_settings_object(file);
        } catch (const std::exception&) {
            obj = Json::object();  // corrupt: replaced by an object holding the key
        }
    }
    if (key.empty()) {
        obj.erase("primaryApiKey");
    } else {
        obj["primaryApiKey"] = key;
    }
    try {
        fs::create_directories(file.parent_path());
        // The key is a secret: owner-only, and a crash mid-write keeps the old file.
        platform::write_file_atomically(
            file, obj.dump(2, ' ', false, Json::error_handler_t::replace) + "\n", true);
    } catch (const std::exception& e) {
        return {{"ok", false}, {"error", e.what()}};
    }
    return {{"ok", true}};
}

Json ClaudeProgram::claude_status(const std::string& model, const Translate& t) {
    const auto exe = _resolve_claude_exe();
    if (!exe) {
        return {{"installed", false}, {"logged_in", false},
                {"version", nullptr}, {"model", model},
                {"exe", nullptr},     {"hint", t("hint.claude.not_found", {})}};
    }
    try {
        platform::ChildProcess child({platform::path_to_utf8(*exe), "--version"});
        const auto run = child.communicate("", VERSION_LIMIT);
        if (!run.finished) {
            child.kill_group();
            throw std::runtime_error("timed out after 10 seconds");
        }
        Json version = nullptr;
        if (run.exit_code == 0) {
            const std::string out = trim(valid_utf8(run.out));
            version = out.substr(0, out.find('\n'));
            version = trim(version.get<std::string>());
        }
        const bool logged_in = _claude_logged_in();
        return {{"installed", true},
                {"logged_in", logged_in},
                {"version", version},
                {"model", model},
                {"exe", platform::path_to_utf8(*exe)},
                {"hint", logged_in ? "" : t("hint.claude.not_logged_in", {})}};
    } catch (const std::exception& e) {
        return {{"installed", false},
                {"logged_in", false},
                {"version", nullptr},
                {"model", model},
                {"exe", platform::path_to_utf8(*exe)},
                {"hint", t("hint.claude.version_fail", {{"err", e.what()}})}};
    }
}

bool ClaudeProgram::install_claude_code() {
    const auto command = platform::assistant_install_command();
    try {
        auto child = std::make_shared<platform::ChildProcess>(command);
        {
            std::lock_guard lock(m_lock);
            if (m_stopping) {
                child->kill_group();
                return false;
            }
            m_installer = child;
        }
        auto run = child->communicate("", INSTALL_LIMIT);
        {
            std::lock_guard lock(m_lock);
            m_installer.reset();
        }
        if (!run.finished) {
            child->kill_group();
            log::warn("claude install", "no end within 300 seconds; stopped");
            return false;
        }
        if (run.exit_code != 0) {
            log::warn("claude install", "exit=" + std::to_string(run.exit_code) +
                                            " stderr=" + valid_utf8(run.err).substr(0, 500));
            return false;
        }
    } catch (const std::exception& e) {
        log::warn("claude install", std::string("subprocess failed: ") + e.what());
        return false;
    }
    {
        std::lock_guard lock(m_lock);
        _claude_exe.reset();
        _claude_exe_resolved = false;
    }
    try {
        _refresh_user_path_after_install();
    } catch (const std::exception& e) {
        log::warn("claude install", std::string("PATH refresh skipped: ") + e.what());
    }
    return _resolve_claude_exe().has_value();
}

void ClaudeProgram::_refresh_user_path_after_install() {
    platform::add_to_search_path(platform::assistant_install_dirs());
}

void ClaudeProgram::stop() {
    std::shared_ptr<platform::ChildProcess> installer;
    {
        std::lock_guard lock(m_lock);
        m_stopping = true;
        installer = m_installer;
    }
    if (installer) installer->kill_group();
}

}  // namespace termiva::assistant
