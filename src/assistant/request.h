// What one question to `claude` consists of: the text on its standard input (the question,
// the target tab's settings, its recent output, the other open tabs), the system prompt
// (the rules and index documents, or a pointer to a file holding them), the command line,
// and the wording of API failures. Pure functions apart from the prompt file.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "assistant/settings.h"
#include "assistant/types.h"

namespace termiva::assistant {

// One open tab as the assistant sees it.
struct TabInfo {
    std::string id;
    std::string display;
    std::string protocol;  // the tab's
    std::string encoding;  // the tab's current one, not the session's
    bool alive = true;
    Json session;  // the tab's session snapshot
};

struct RequestInput {
    std::string user_text;
    std::string terminal_text;
    std::optional<std::string> target_tab_id;
    std::vector<TabInfo> tabs;  // every open tab, in opening order
    Json tab_texts;             // tab id → recent output, or null
};

inline constexpr const char* RULES_DOC = "claude規範提示詞.md";
inline constexpr const char* INDEX_DOC = "架構說明目錄.md";
inline constexpr const char* RUNTIME_PROMPT_FILE = "_runtime_system_prompt.md";

std::string build_request_text(const RequestInput& in);

// The reply-language directive for the interface language `lang`.
std::string _lang_directive(const std::string& lang);
// A document's text, or "" (a read failure is logged).
std::string _read_text_safe(const std::filesystem::path& path);
// Writes the rules and index into the architecture folder, else into `app_dir`: the folder
// and file name, or nothing (no documents, or neither folder writable).
std::pair<std::optional<std::filesystem::path>, std::optional<std::string>>
_write_claude_runtime_system_prompt(const std::filesystem::path& arch_dir,
                                    const std::filesystem::path& app_dir);
// The system prompt with the documents inline (when no file could be written).
std::string _build_claude_system_prompt(const std::filesystem::path& arch_dir,
                                        const std::string& lang);
// The short system prompt that tells the assistant to read `file_name` first.
std::string runtime_file_system_prompt(const std::string& file_name,
                                       const std::filesystem::path& arch_dir,
                                       const std::string& lang);

struct CommandInput {
    std::filesystem::path exe;
    ProviderChoice choice;
    std::filesystem::path deepseek_settings;
    std::string system_prompt;
    std::filesystem::path arch_dir;
    std::optional<std::filesystem::path> prompt_dir;  // where the runtime file went
    std::optional<std::string> session_id;
    // Run as root: the program refuses "bypassPermissions" there, so it keeps its default
    // mode (reading the added folders needs no permission in either).
    bool administrator = false;
};
std::vector<std::string> build_command_line(const CommandInput& in);

// A readable message for an error object `claude` printed.
std::string _humanize_claude_api_error(const Json& data, const std::string& provider,
                                       const Translate& t);
// The message key for an HTTP status of a failed API call.
std::string api_error_key(long long status);

}  // namespace termiva::assistant
