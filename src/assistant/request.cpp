#include "assistant/request.h"

#include <fstream>
#include <sstream>

#include "platform/log.h"
#include "platform/utf8_path.h"

namespace termiva::assistant {

namespace fs = std::filesystem;

namespace {

const Json& field(const Json& obj, const char* key) {
    static const Json null_value;
    if (!obj.is_object()) return null_value;
    auto it = obj.find(key);
    return it == obj.end() ? null_value : *it;
}

// A session value, or `fallback` when it is missing or empty.
std::string text_or(const Json& obj, const char* key, const char* fallback) {
    const Json& v = field(obj, key);
    if (v.is_null() || (v.is_string() && v.get_ref<const std::string&>().empty())) return fallback;
    return request_text_of(v);
}

std::string truth(const Json& obj, const char* key) {
    return truthy(field(obj, key)) ? "True" : "False";
}

bool is_serial(const Json& session) {
    const Json& p = field(session, "protocol");
    return p == "serial" || p == "telnet-serial";
}

std::string serial_line(const Json& s) {
    return "serial: " + text_or(s, "serial_bits", "8") + "-" + text_or(s, "serial_parity", "N") +
           "-" + text_or(s, "serial_stop", "1") + " flow=" + text_or(s, "serial_flow", "N");
}

std::string join(const std::vector<std::string>& parts, const std::string& sep) {
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i)
        out += (i ? sep : "") + parts[i];
    return out;
}

const TabInfo* find_tab(const std::vector<TabInfo>& tabs, const std::string& id) {
    for (const auto& t : tabs)
        if (t.id == id) return &t;
    return nullptr;
}

const char* lang_name(const std::string& lang) {
    return lang == "zh-Hant" ? "繁體中文" : "English (英文)";
}

}  // namespace

std::string build_request_text(const RequestInput& in) {
    std::string text = in.user_text;
    const TabInfo* target = in.target_tab_id ? find_tab(in.tabs, *in.target_tab_id) : nullptr;
    if (target) {
        const Json& s = target->session;
        std::vector<std::string> lines{
            "protocol: " + request_text_of(field(s, "protocol")),
            "host: " + request_text_of(field(s, "host")),
            "port: " + request_text_of(field(s, "port")),
            "encoding: " + target->encoding,
            "lfhascr (LF 後隱含 CR): " + truth(s, "lfhascr"),
            "crhaslf (CR 後隱含 LF): " + truth(s, "crhaslf"),
            "terminal_type: " + text_or(s, "terminal_type", "xterm-256color")};
        if (is_serial(s)) lines.push_back(serial_line(s));
        text += "\n\n----- 當前 target 分頁設定（" + target->protocol + " · " + target->display +
                "） -----\n" + join(lines, "\n") + "\n-----";
    }
    if (const std::string terminal = trim(in.terminal_text); !terminal.empty()) {
        text +=
            "\n\n----- 當前終端機輸出（最近幾行，供你參考；如使用者沒問終端機相關問題就忽略）"
            "-----\n" +
            terminal;
    }
    std::vector<std::string> entries;
    for (const auto& tab : in.tabs) {
        if (target && tab.id == target->id) continue;
        const Json& s = tab.session;
        std::vector<std::string> lines{"tab_id: " + tab.id,
                                       "display: " + tab.display,
                                       "protocol: " + request_text_of(field(s, "protocol")),
                                       "host: " + request_text_of(field(s, "host")),
                                       "port: " + request_text_of(field(s, "port")),
                                       "encoding: " + tab.encoding,
                                       std::string("alive: ") + (tab.alive ? "True" : "False"),
                                       "lfhascr: " + truth(s, "lfhascr"),
                                       "crhaslf: " + truth(s, "crhaslf")};
        if (is_serial(s)) lines.push_back(serial_line(s));
        std::string entry = join(lines, "\n");
        if (in.tab_texts.is_object() && !in.tab_texts.empty()) {
            const Json& own = field(in.tab_texts, tab.id.c_str());
            if (own.is_string()) {
                if (const std::string recent = trim(own.get<std::string>()); !recent.empty())
                    entry += "\n--- 該分頁最近輸出 ---\n" + recent;
            }
        }
        entries.push_back(std::move(entry));
    }
    if (!entries.empty()) {
        text +=
            "\n\n----- 其他已開啟的分頁（僅顯示設定；要看內容請用 `read_tab <tab_id>` action "
            "取得使用者同意） -----\n" +
            join(entries, "\n\n") + "\n-----";
    }
    return text;
}

std::string _lang_directive(const std::string& lang) {
    return "【回答語言】使用者目前的介面語系是 `" + lang + "`。請**預設用 " + lang_name(lang) +
           " 回覆**;這條規則**優先於 `claude規範提示詞.md` "
           "與架構文件內任何其他關於語言的舊指示**。若使用者改用其他語言提問,或明確要求切換,"
           "就跟著切到使用者偏好的語言。技術名詞、shell 指令、protocol "
           "名稱可保留英文。本指令僅針對你的回覆語言,不影響其他規範。";
}

std::string _read_text_safe(const fs::path& path) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return "";
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (!in || !(text << in.rdbuf())) {
        log::warn("claude",
                  "read " + platform::path_to_utf8(path) + " failed: cannot read the file");
        return "";
    }
    return text.str();
}

namespace {

std::vector<std::string> document_pieces(const fs::path& arch_dir) {
    std::vector<std::string> pieces;
    // The names are UTF-8 text: a narrow name would be read in Windows' ANSI code page.
    for (const char* doc : {RULES_DOC, INDEX_DOC}) {
        if (std::string text = _read_text_safe(arch_dir / platform::path_from_utf8(doc));
            !text.empty())
            pieces.push_back(std::string("===== ") + doc + " =====\n" + text);
    }
    return pieces;
}

}  // namespace

std::pair<std::optional<fs::path>, std::optional<std::string>> _write_claude_runtime_system_prompt(
    const fs::path& arch_dir, const fs::path& app_dir) {
    const auto pieces = document_pieces(arch_dir);
    if (pieces.empty()) return {std::nullopt, std::nullopt};
    const std::string content = join(pieces, "\n\n");
    for (const fs::path& dir : {arch_dir, app_dir}) {
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (ec) continue;
        std::ofstream out(dir / platform::path_from_utf8(RUNTIME_PROMPT_FILE),
                          std::ios::binary | std::ios::trunc);
        if (!out) continue;
        out << content;
        out.close();
        if (out) return {dir, std::string(RUNTIME_PROMPT_FILE)};
    }
    return {std::nullopt, std::nullopt};
}

std::string _build_claude_system_prompt(const fs::path& arch_dir, const std::string& lang) {
    std::vector<std::string> pieces{
        "你正在透過 Claude Code CLI 為 Termiva "
        "的使用者提供協助。以下是你必須遵守的規範與專案架構索引；需要更細的內容時，可用 Read "
        "工具讀取 " +
            platform::path_to_utf8(arch_dir) + " 下的 詳細說明*.md 檔。",
        _lang_directive(lang)};
    for (auto& p : document_pieces(arch_dir))
        pieces.push_back(std::move(p));
    return join(pieces, "\n\n");
}

std::string runtime_file_system_prompt(const std::string& file_name, const fs::path& arch_dir,
                                       const std::string& lang) {
    return "你正在透過 Claude Code CLI 為 Termiva 的使用者提供協助。\n" + _lang_directive(lang) +
           "\n" + "你的完整運作規則與架構索引在 add-dir 內的 `" + file_name +
           "` 檔案 —— **第一輪回覆前必須先用 Read 工具讀完它**,並把其中所有規則當作 system "
           "prompt 一樣強制遵守。但上一段「回答語言」指令的優先序**高於 add-dir 內 .md "
           "檔關於語言的任何舊指示**(只針對回覆語言,其他規範不變)。同一 session 不必再讀(--resume "
           "會保留上下文)。\n" +
           "需要更細的內容時可額外讀取 " + platform::path_to_utf8(arch_dir) +
           " 下的 詳細說明*.md / 系統說明_*.md 等。";
}

std::vector<std::string> build_command_line(const CommandInput& in) {
    std::vector<std::string> cmd{platform::path_to_utf8(in.exe), "-p"};
    const bool deepseek = in.choice.provider == "deepseek";
    if (deepseek) {
        cmd.insert(cmd.end(), {"--settings", platform::path_to_utf8(in.deepseek_settings)});
        if (!in.choice.deepseek_model.empty())
            cmd.insert(cmd.end(), {"--model", in.choice.deepseek_model});
    } else {
        cmd.insert(cmd.end(), {"--model", in.choice.model});
    }
    cmd.insert(cmd.end(), {"--append-system-prompt", in.system_prompt, "--add-dir",
                           platform::path_to_utf8(in.arch_dir)});
    if (!deepseek && in.choice.effort_enabled) cmd.insert(cmd.end(), {"--effort", "xhigh"});
    if (in.prompt_dir && !in.prompt_dir->empty() && *in.prompt_dir != in.arch_dir)
        cmd.insert(cmd.end(), {"--add-dir", platform::path_to_utf8(*in.prompt_dir)});
    cmd.insert(cmd.end(), {"--permission-mode", in.administrator ? "default" : "bypassPermissions",
                           "--output-format", "json"});
    if (in.session_id && !in.session_id->empty())
        cmd.insert(cmd.end(), {"--resume", *in.session_id});
    return cmd;
}

std::string api_error_key(long long status) {
    switch (status) {
        case 401:
        case 403:
            return "err.api.auth";
        case 402:
            return "err.api.balance";
        case 429:
            return "err.api.ratelimit";
        case 500:
        case 502:
        case 503:
        case 504:
            return "err.api.server";
        default:
            return "err.api.generic";
    }
}

std::string _humanize_claude_api_error(const Json& data, const std::string& provider,
                                       const Translate& t) {
    std::string raw;
    for (const char* key : {"result", "error"}) {
        const Json& v = field(data, key);
        if (truthy(v)) {
            raw = v.is_string() ? v.get<std::string>() : v.dump();
            break;
        }
    }
    raw = trim(raw);
    const std::string provider_name = provider == "deepseek" ? "DeepSeek" : "Anthropic";
    const Json& status = field(data, "api_error_status");
    if (status.is_number_integer()) {
        const long long code = status.get<long long>();
        const std::string friendly =
            t(api_error_key(code), {{"status", std::to_string(code)}, {"provider", provider_name}});
        if (raw.empty() || friendly.find(raw) != std::string::npos) return friendly;
        return friendly + "\n\n" + t("err.api.raw_label", {}) + ": " + raw;
    }
    return raw.empty() ? t("claude.report_err", {}) : raw;
}

}  // namespace termiva::assistant
