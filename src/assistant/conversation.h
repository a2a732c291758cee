// The conversation with `claude`: one run of the program per question, the conversation
// identifier that continues it, and cancelling a question from another thread.
//
// Owns: the request generation, the child of the question running now, the conversation
// identifier.
// Called from: bridge threads; `claude_send` blocks its thread up to the time-out while
// `claude_reset_session` (and `stop`) come from others.
// Lock: `_claude_inflight_lock`, a leaf, never held while waiting for the child.
#pragma once

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "assistant/request.h"
#include "assistant/settings.h"
#include "assistant/types.h"
#include "platform/child_process.h"

namespace termiva::assistant {

// Everything a question needs besides its own texts, taken when it is asked.
struct AskContext {
    std::filesystem::path exe;
    ProviderChoice choice;
    std::filesystem::path deepseek_settings;
    std::filesystem::path arch_dir;
    std::filesystem::path app_dir;
    std::string language;
    Translate t;
};

class Conversation {
public:
    // Asks one question; the result record: ok, cancelled (only when cancelled), error,
    // reply. A conversation that cannot be resumed is started afresh once.
    Json claude_send(const AskContext& ctx, const RequestInput& request, int timeout_seconds);
    // Cancels the question running now (its child and everything it started end) and
    // forgets the conversation.
    bool claude_reset_session();
    // The application is stopping: cancel, and refuse questions from now on.
    void stop();

    std::optional<std::string> session_id();
    void set_session_id_for_tests(std::optional<std::string> id);

private:
    Json ask_once(const AskContext& ctx, const RequestInput& request, int timeout_seconds,
                  bool may_retry);
    static Json cancelled_result();

    std::mutex _claude_inflight_lock;
    long long _claude_gen = 0;
    std::shared_ptr<platform::ChildProcess> _claude_inflight_proc;
    std::optional<std::string> _claude_session_id;
    bool m_stopped = false;
};

}  // namespace termiva::assistant
