#include "assistant/conversation.h"

#include <algorithm>
#include <cctype>

#include "assistant/utf8_text.h"
#include "platform/assistant_program.h"
#include "platform/bounded_json.h"
#include "platform/child_process.h"
#include "platform/log.h"
#include "platform/utf8_path.h"

namespace termiva::assistant {

namespace {

constexpr auto KILL_WAIT = std::chrono::seconds(2);

Json failure(const std::string& error) {
    return {{"ok", false}, {"error", error}, {"reply", ""}};
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// The output as a JSON value, or nothing when it is not JSON.
std::optional<Json> parse_output(const std::string& out) {
    Json parsed = platform::parse_json_bounded(out, false);
    if (parsed.is_discarded()) return std::nullopt;  // plain text answers are allowed
    return parsed;
}

// `text` with each line break a space: the whole of it fits on one command-line argument of
// a program that cannot take line breaks (npm's claude.cmd on Windows).
std::string on_one_line(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i] == '\n' || text[i] == '\r' ? ' ' : text[i];
    }
    return out;
}

// A session id is the program's own token; one with control characters is not one, and
// passing it back (a line break ends a batch file's command) would fail every question.
bool usable_session_id(const std::string& id) {
    for (unsigned char c : id)
        if (c < 0x20 || c == 0x7f) return false;
    return !id.empty();
}

std::string text_member(const Json& obj, const char* key) {
    auto it = obj.find(key);
    if (it == obj.end() || !truthy(*it)) return "";
    return it->is_string() ? it->get<std::string>() : it->dump();
}

}  // namespace

Json Conversation::cancelled_result() {
    return {{"ok", false}, {"cancelled", true}, {"error", ""}, {"reply", ""}};
}

std::optional<std::string> Conversation::session_id() {
    std::lock_guard lock(_claude_inflight_lock);
    return _claude_session_id;
}

void Conversation::set_session_id_for_tests(std::optional<std::string> id) {
    std::lock_guard lock(_claude_inflight_lock);
    _claude_session_id = std::move(id);
}

Json Conversation::claude_send(const AskContext& ctx, const RequestInput& request,
                               int timeout_seconds) {
    return ask_once(ctx, request, timeout_seconds, true);
}

Json Conversation::ask_once(const AskContext& ctx, const RequestInput& request, int timeout_seconds,
                            bool may_retry) {
    const std::string input = build_request_text(request);

    const auto [prompt_dir, prompt_file] =
        _write_claude_runtime_system_prompt(ctx.arch_dir, ctx.app_dir);
    std::string system_prompt =
        prompt_file ? runtime_file_system_prompt(*prompt_file, ctx.arch_dir, ctx.language)
                    : _build_claude_system_prompt(ctx.arch_dir, ctx.language);
    const std::string exe_name = platform::path_to_utf8(ctx.exe);
    if (!platform::takes_line_breaks_in_arguments(exe_name))
        system_prompt = on_one_line(system_prompt);

    std::error_code ec;
    if (ctx.choice.provider == "deepseek" && !std::filesystem::exists(ctx.deepseek_settings, ec))
        return failure(ctx.t("err.deepseek_no_key", {}));

    CommandInput command{ctx.exe,      ctx.choice, ctx.deepseek_settings, system_prompt,
                         ctx.arch_dir, prompt_dir, std::nullopt};
    long long gen = 0;
    {
        std::lock_guard lock(_claude_inflight_lock);
        if (m_stopped) return cancelled_result();
        gen = _claude_gen;
        command.session_id = _claude_session_id;
    }
    command.administrator = platform::runs_as_administrator();
    const auto argv = build_command_line(command);

    std::shared_ptr<platform::ChildProcess> child;
    try {
        child = std::make_shared<platform::ChildProcess>(argv);
    } catch (const std::exception& e) {
        return failure(ctx.t("err.claude_exec_fail", {{"err", e.what()}}));
    }
    {
        std::lock_guard lock(_claude_inflight_lock);
        if (_claude_gen != gen) {
            child->kill_group();
            return cancelled_result();
        }
        _claude_inflight_proc = child;
    }

    const int timeout = std::max(1, timeout_seconds);
    auto run = child->communicate(input, std::chrono::seconds(timeout));
    {
        std::lock_guard lock(_claude_inflight_lock);
        if (_claude_inflight_proc == child) _claude_inflight_proc.reset();
    }
    {
        std::lock_guard lock(_claude_inflight_lock);
        if (_claude_gen != gen) return cancelled_result();
    }
    if (!run.finished) {
        child->kill_group();
        if (!child->wait_for_exit(KILL_WAIT)) log::warn("claude", "child did not end after kill");
        return failure(ctx.t("err.claude_timeout", {{"n", std::to_string(timeout)}}));
    }

    const std::string out = valid_utf8(run.out);
    const std::string err = valid_utf8(run.err);
    const std::optional<Json> parsed = parse_output(out);
    const bool error_object =
        parsed && parsed->is_object() && parsed->value("is_error", Json(false)) == true;

    if (run.exit_code != 0) {
        std::string failure_text = trim(err);
        if (failure_text.empty()) failure_text = trim(out);
        if (failure_text.empty())
            failure_text = "claude exit code " + std::to_string(run.exit_code);
        // A JSON error object always carries a "session_id" member: look at its own error
        // text, not at the whole object, to tell a conversation that cannot be resumed.
        std::string resume_probe = failure_text;
        if (trim(err).empty() && error_object) {
            resume_probe = text_member(*parsed, "result");
            if (resume_probe.empty()) resume_probe = text_member(*parsed, "error");
        }
        const std::string probe = lower(resume_probe);
        if (may_retry && command.session_id && !command.session_id->empty() &&
            (probe.find("resume") != std::string::npos ||
             probe.find("session") != std::string::npos)) {
            {
                std::lock_guard lock(_claude_inflight_lock);
                if (_claude_gen == gen) _claude_session_id.reset();
            }
            RequestInput again = request;
            again.tab_texts = nullptr;  // the retry carries no other tab's output
            return ask_once(ctx, again, timeout_seconds, false);
        }
        if (error_object)
            return failure(_humanize_claude_api_error(*parsed, ctx.choice.provider, ctx.t));
        return failure(failure_text);
    }

    if (!parsed) return {{"ok", true}, {"error", ""}, {"reply", trim(out)}};
    if (parsed->is_object()) {
        const std::string sid = text_member(*parsed, "session_id");
        if (usable_session_id(sid)) {
            std::lock_guard lock(_claude_inflight_lock);
            if (_claude_gen == gen) _claude_session_id = sid;
        }
        if (error_object)
            return failure(_humanize_claude_api_error(*parsed, ctx.choice.provider, ctx.t));
        std::string reply = text_member(*parsed, "result");
        if (reply.empty()) reply = text_member(*parsed, "text");
        return {{"ok", true}, {"error", ""}, {"reply", reply}};
    }
    return {{"ok", true},
            {"error", ""},
            {"reply", parsed->is_string() ? parsed->get<std::string>() : parsed->dump()}};
}

bool Conversation::claude_reset_session() {
    std::shared_ptr<platform::ChildProcess> child;
    {
        std::lock_guard lock(_claude_inflight_lock);
        ++_claude_gen;
        child = std::move(_claude_inflight_proc);
        _claude_inflight_proc.reset();
        _claude_session_id.reset();
    }
    // Outside the lock: the waiting question sees its child end and returns cancelled.
    if (child) child->kill_group();
    return true;
}

void Conversation::stop() {
    {
        std::lock_guard lock(_claude_inflight_lock);
        m_stopped = true;
    }
    claude_reset_session();
}

}  // namespace termiva::assistant
