// The assistant's choices: provider (Claude Code's own account or DeepSeek through the same
// program), models, the effort option, the DeepSeek credentials file, and the model lists
// the settings panel offers. Pure functions over values and files; the caller keeps the
// current choices and saves them with its other settings.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "assistant/types.h"

namespace termiva::assistant {

struct BuiltinModel {
    std::string id, family, version, kind;
};

inline constexpr std::string_view CLAUDE_DEFAULT_MODEL = "claude-opus-4-7";
extern const std::vector<BuiltinModel> CLAUDE_BUILTIN_MODELS;
inline constexpr std::string_view CLAUDE_DEEPSEEK_DEFAULT_MODEL = "deepseek-chat";
extern const std::vector<std::string> CLAUDE_DEEPSEEK_FALLBACK_MODELS;
inline constexpr std::string_view CLAUDE_DEEPSEEK_DEFAULT_BASE_URL =
    "https://api.deepseek.com/anthropic";
// The session flags the assistant may switch on a tab; nothing else of a session.
extern const std::vector<std::string> _CLAUDE_TOGGLEABLE_FLAGS;
// How long the model list may take.
inline constexpr std::chrono::seconds MODEL_LIST_TIMEOUT{8};

// The choices as the settings hold them, each with its fallback applied.
struct ProviderChoice {
    std::string provider = "claude";
    std::string model = std::string(CLAUDE_DEFAULT_MODEL);
    std::string deepseek_model;
    bool effort_enabled = true;
};
ProviderChoice choice_from_settings(const Json& settings);

// What each setter stores for a value from the page.
std::string provider_value(const Json& provider);
std::string model_value(const Json& model_id);
std::string deepseek_model_value(const Json& model_id);

bool is_builtin_model(std::string_view id);
Json builtin_models_json();

// The DeepSeek settings file (a Claude Code settings file whose `env` points the program
// at DeepSeek). Reading never throws: failures come back as the record's `error`.
Json read_deepseek_credentials(const std::filesystem::path& file);
// Writes the key (and base address, model) into the file, keeping every other member.
// The file holds a secret: written atomically, owner-only.
Json write_deepseek_credentials(const std::filesystem::path& file, const Json& api_key,
                                const Json& base_url, const Json& model);

// The model-list address for a base address: trailing "/" and a final "/anthropic" taken
// off, "/models" added.
std::string deepseek_models_url(std::string base);
// The provider's model list, or the fallback list with the reason it is not the live one.
Json fetch_deepseek_models(const std::filesystem::path& file, const std::string& current,
                           std::chrono::milliseconds timeout = MODEL_LIST_TIMEOUT);

}  // namespace termiva::assistant
