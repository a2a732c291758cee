#include "assistant/settings.h"

#include <fstream>
#include <sstream>

#include "assistant/http_get.h"
#include "platform/atomic_file.h"
#include "platform/bounded_json.h"
#include "platform/utf8_path.h"

namespace termiva::assistant {

namespace fs = std::filesystem;

const std::vector<BuiltinModel> CLAUDE_BUILTIN_MODELS = {
    {"claude-opus-4-7", "opus", "4.7", "pinned"},
    {"claude-sonnet-4-6", "sonnet", "4.6", "pinned"},
    {"claude-haiku-4-5", "haiku", "4.5", "pinned"},
    {"opus", "opus", "latest", "alias"},
    {"sonnet", "sonnet", "latest", "alias"},
    {"haiku", "haiku", "latest", "alias"},
};

const std::vector<std::string> CLAUDE_DEEPSEEK_FALLBACK_MODELS = {"deepseek-chat",
                                                                  "deepseek-reasoner"};

const std::vector<std::string> _CLAUDE_TOGGLEABLE_FLAGS = {"lfhascr", "crhaslf"};

namespace {

const Json& member_of(const Json& obj, std::string_view key) {
    static const Json null_value;
    if (!obj.is_object()) return null_value;
    auto it = obj.find(key);
    return it == obj.end() ? null_value : *it;
}

// A non-empty text member, else nothing.
std::string text_member(const Json& obj, std::string_view key) {
    const Json& v = member_of(obj, key);
    return v.is_string() ? v.get<std::string>() : std::string();
}

Json read_json_object(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + platform::path_to_utf8(file));
    std::ostringstream text;
    text << in.rdbuf();
    Json parsed = platform::parse_json_bounded(text.str(), true);
    if (!parsed.is_object()) throw std::runtime_error("top-level value is not an object");
    return parsed;
}

}  // namespace

std::string provider_value(const Json& provider) {
    return provider == "deepseek" ? "deepseek" : "claude";
}

std::string model_value(const Json& model_id) {
    std::string m = model_id.is_string() ? trim(model_id.get<std::string>()) : "";
    return m.empty() ? std::string(CLAUDE_DEFAULT_MODEL) : m;
}

std::string deepseek_model_value(const Json& model_id) {
    return model_id.is_string() ? trim(model_id.get<std::string>()) : "";
}

ProviderChoice choice_from_settings(const Json& settings) {
    ProviderChoice c;
    c.provider = provider_value(member_of(settings, "claude_provider"));
    const Json& model = member_of(settings, "claude_model");
    // A stored model is used as stored (untrimmed) once it is not blank.
    if (model.is_string() && !trim(model.get<std::string>()).empty())
        c.model = model.get<std::string>();
    const Json& ds = member_of(settings, "claude_deepseek_model");
    c.deepseek_model = ds.is_string() ? ds.get<std::string>() : "";
    const Json& effort = member_of(settings, "claude_effort_enabled");
    c.effort_enabled = effort.is_boolean() ? effort.get<bool>() : true;
    return c;
}

bool is_builtin_model(std::string_view id) {
    for (const auto& m : CLAUDE_BUILTIN_MODELS)
        if (m.id == id) return true;
    return false;
}

Json builtin_models_json() {
    Json list = Json::array();
    for (const auto& m : CLAUDE_BUILTIN_MODELS)
        list.push_back(
            {{"id", m.id}, {"family", m.family}, {"version", m.version}, {"kind", m.kind}});
    return list;
}

Json read_deepseek_credentials(const fs::path& file) {
    Json out{{"api_key", ""},
             {"base_url", std::string(CLAUDE_DEEPSEEK_DEFAULT_BASE_URL)},
             {"model", std::string(CLAUDE_DEEPSEEK_DEFAULT_MODEL)},
             {"path", platform::path_to_utf8(file)},
             {"exists", false}};
    std::error_code ec;
    if (!fs::exists(file, ec)) return out;
    try {
        const Json obj = read_json_object(file);
        const Json& env = member_of(obj, "env");
        if (std::string v = text_member(env, "ANTHROPIC_AUTH_TOKEN"); !v.empty())
            out["api_key"] = v;
        if (std::string v = text_member(env, "ANTHROPIC_BASE_URL"); !v.empty()) out["base_url"] = v;
        if (std::string v = text_member(env, "ANTHROPIC_MODEL"); !v.empty()) out["model"] = v;
        out["exists"] = true;
    } catch (const std::exception& e) {
        out["error"] = e.what();
    }
    return out;
}

Json write_deepseek_credentials(const fs::path& file, const Json& api_key, const Json& base_url,
                                const Json& model) {
    const std::string key = api_key.is_string() ? trim(api_key.get<std::string>()) : "";
    Json obj = Json::object();
    std::error_code ec;
    if (fs::is_regular_file(file, ec)) {
        try {
            obj = read_json_object(file);
        } catch (const std::exception&) {
            obj = Json::object();  // unreadable or not an object: start afresh, as documented
        }
    }
    Json env = member_of(obj, "env");
    if (!env.is_object() || env.empty()) env = Json::object();
    env["ANTHROPIC_AUTH_TOKEN"] = key;
    auto set_or_default = [&env](const char* name, const Json& given, std::string_view fallback) {
        if (given.is_string() && !trim(given.get<std::string>()).empty()) {
            env[name] = trim(given.get<std::string>());
        } else if (!env.contains(name)) {
            env[name] = std::string(fallback);
        }
    };
    set_or_default("ANTHROPIC_BASE_URL", base_url, CLAUDE_DEEPSEEK_DEFAULT_BASE_URL);
    set_or_default("ANTHROPIC_MODEL", model, CLAUDE_DEEPSEEK_DEFAULT_MODEL);
    obj["env"] = env;
    try {
        fs::create_directories(file.parent_path());
        platform::write_file_atomically(
            file, obj.dump(2, ' ', false, Json::error_handler_t::replace) + "\n", true);
    } catch (const std::exception& e) {
        return {{"ok", false}, {"error", e.what()}, {"path", platform::path_to_utf8(file)}};
    }
    return {{"ok", true}, {"path", platform::path_to_utf8(file)}, {"api_key", key}};
}

std::string deepseek_models_url(std::string base) {
    while (!base.empty() && base.back() == '/')
        base.pop_back();
    constexpr std::string_view suffix = "/anthropic";
    if (base.size() >= suffix.size() &&
        base.compare(base.size() - suffix.size(), suffix.size(), suffix) == 0)
        base.erase(base.size() - suffix.size());
    return base + "/models";
}

Json fetch_deepseek_models(const fs::path& file, const std::string& current,
                           std::chrono::milliseconds timeout) {
    Json out{{"ok", false},
             {"models", CLAUDE_DEEPSEEK_FALLBACK_MODELS},
             {"current", current},
             {"source", "fallback"}};
    std::error_code ec;
    if (!fs::exists(file, ec)) {
        out["error"] = "settings file not found";
        return out;
    }
    std::string base, token;
    try {
        const Json obj = read_json_object(file);
        const Json& env = obj.at("env");
        base = env.at("ANTHROPIC_BASE_URL").get<std::string>();
        token = env.at("ANTHROPIC_AUTH_TOKEN").get<std::string>();
    } catch (const std::exception& e) {
        out["error"] = std::string("settings parse: ") + e.what();
        return out;
    }
    try {
        const HttpAnswer answer =
            http_get(deepseek_models_url(base), {"Authorization: Bearer " + token}, timeout);
        if (answer.status >= 400) {
            out["error"] = "HTTP " + std::to_string(answer.status);
            out["http_status"] = answer.status;
            return out;
        }
        const Json body = platform::parse_json_bounded(answer.body, true);
        Json models = Json::array();
        const Json& data = member_of(body, "data");
        if (data.is_array()) {
            for (const auto& item : data) {
                const Json& id = member_of(item, "id");
                if (id.is_string() && !id.get_ref<const std::string&>().empty())
                    models.push_back(id);
            }
        }
        if (models.empty()) {
            out["error"] = "empty model list";
            return out;
        }
        out["ok"] = true;
        out["models"] = models;
        out["source"] = "api";
    } catch (const std::exception& e) {
        out["error"] = std::string("fetch: ") + e.what();
    }
    return out;
}

}  // namespace termiva::assistant
