// A login's questions asked in the tab's terminal, as OpenSSH asks them: the question
// shown, the answer typed into the tab (shown or not), Backspace and Ctrl-U edit it,
// Enter sends it, Ctrl-C or closing the tab gives up. Nothing typed is kept afterwards.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "app/tabs/tab_host.h"
#include "connect/login_user.h"

namespace termiva {

class LoginPrompt : public LoginUser {
public:
    // OpenSSH's LoginGraceTime: the server stops waiting for a login after this long, so
    // an answer typed later could not be used anyway.
    static constexpr std::chrono::seconds LOGIN_GRACE{120};
    // Far above any password or one-time code; what is typed beyond it is dropped.
    static constexpr std::size_t MAX_LINE = 1024;

    LoginPrompt(TabHost& host, std::string tab_id, std::chrono::milliseconds limit = LOGIN_GRACE)
        : m_host(host), m_tab_id(std::move(tab_id)), m_limit(limit) {}

    // A prompt that takes what is typed into `tab` until detached (the login is over, or
    // the tab closed).
    static std::shared_ptr<LoginPrompt> attach(TabHost& host, Tab& tab);
    // Takes the tab's prompt away and ends its open question, if it has one.
    static void detach(Tab& tab);

    std::string ask(const std::string& prompt, bool echo) override;
    void tell(const std::string& text) override;

    // What the user typed into the tab (UTF-8, as the page sends it); false when no
    // question is open, so the keys went nowhere.
    bool take_typed(std::string_view typed);
    // Ends the open question and refuses every later one.
    void cancel();

private:
    TabHost& m_host;
    const std::string m_tab_id;
    const std::chrono::milliseconds m_limit;

    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_asking = false;
    bool m_echo = false;
    bool m_entered = false;
    bool m_cancelled = false;
    std::string m_why_cancelled;
    std::string m_line;
};

// A peer's words made safe for the terminal: valid UTF-8, no control characters that could
// move the cursor or start an escape sequence (C0, DEL, C1), line ends as CR LF, and at
// most text::STATUS_LINE_MAX bytes.
std::string terminal_safe(std::string_view peer_text);

}  // namespace termiva
