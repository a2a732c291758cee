// SSH-2 tabs: connect with the session's keys, algorithms and flags, then a shell on a
// pseudo-terminal with the session's port forwards.
#include <filesystem>
#include <mutex>

#include "app/json_values.h"
#include "app/starters/ssh_support.h"
#include "app/starters/stream_starter.h"
#include "app/tabs/login_prompt.h"
#include "app/termiva_app.h"
#include "connect/ssh2/ssh_bugs.h"
#include "connect/ssh2/ssh_connection.h"
#include "connect/ssh2/ssh_prefs.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/utf8_path.h"

namespace termiva {
namespace {

constexpr int DEFAULT_KEEPALIVE_SEC = 30;
constexpr int TERM_COLS = 80;
constexpr int TERM_ROWS = 24;

// SSH-2's shell as the tab's one backend: connect() makes the connection, logs in and
// opens the shell with its pseudo-terminal and the session's forwards; reading, writing
// and resizing are the shell channel's; close() ends the whole connection, at any step.
class SshShellBackend : public Backend {
public:
    SshShellBackend(TabHost& app, std::string tab_id, SshConnectOptions options, SessionPtr sess,
                    std::shared_ptr<LoginPrompt> prompt)
        : m_app(app),
          m_tab_id(std::move(tab_id)),
          m_options(std::move(options)),
          m_sess(std::move(sess)),
          m_prompt(std::move(prompt)),
          m_connection(std::make_shared<SshConnection>()) {}

    const std::shared_ptr<SshConnection>& connection() const { return m_connection; }

    void connect() override {
        try {
            m_connection->connect(m_options);
        } catch (const SshAuthError& e) {
            m_prompt->cancel();
            throw StartFailure("err.auth_fail", e.what());
        } catch (...) {
            m_prompt->cancel();
            throw;
        }
        m_prompt->cancel();  // logged in: nothing more is asked
        try {
            m_connection->set_keepalive(m_sess->keepalive_sec.or_default(DEFAULT_KEEPALIVE_SEC));
            auto channel = m_connection->open_session();
            m_connection->get_pty(channel, text_or(m_sess->terminal_type, "xterm-256color"),
                                  TERM_COLS, TERM_ROWS);
            limit_forwarded_connections();
            for (const ForwardRule& rule : m_sess->port_forwards)
                _setup_forward(m_app, *m_connection, rule, m_tab_id);
            m_connection->invoke_shell(channel);
            std::lock_guard lock(m_lock);
            m_channel = std::move(channel);
        } catch (const std::exception& e) {
            throw StartFailure("err.shell_fail", e.what());
        }
    }
    void send(std::string_view data) override { channel()->send(data); }
    std::string recv(std::size_t bufsize) override { return channel()->recv(bufsize); }
    bool is_closed() const override {
        auto c = channel_or_null();
        return !c || c->is_closed();
    }
    void resize(int rows, int cols) override { channel()->resize_pty(cols, rows); }
    void close() override {
        // First: the connection's thread may be waiting for an answer.
        m_prompt->cancel();
        if (auto c = channel_or_null()) c->close();
        m_connection->close();
    }

private:
    // Each forwarded connection costs a thread and two descriptors, and a peer may open one
    // after another: past the limit they are refused, and the tab says so once per run.
    void limit_forwarded_connections() {
        const std::size_t most = ssh2::WorkerThreads::DEFAULT_LIMIT;
        m_connection->limit_forwarded(most, [&app = m_app, tab_id = m_tab_id, most] {
            app.push_info(tab_id,
                          app.translate("info.fwd_limit", {{"limit", std::to_string(most)}}), true);
        });
    }
    std::shared_ptr<SshChannel> channel_or_null() const {
        std::lock_guard lock(m_lock);
        return m_channel;
    }
    std::shared_ptr<SshChannel> channel() const {
        auto c = channel_or_null();
        if (!c) throw BackendError("not connected");
        return c;
    }

    TabHost& m_app;
    const std::string m_tab_id;
    const SshConnectOptions m_options;
    const SessionPtr m_sess;
    const std::shared_ptr<LoginPrompt> m_prompt;
    const std::shared_ptr<SshConnection> m_connection;
    mutable std::mutex m_lock;  // guards m_channel, set once the shell is open
    std::shared_ptr<SshChannel> m_channel;
};

// A jump host's connection: the session's keys and agent, its own user name when written
// (else the session's), no saved password (that is the target's; a hop that wants one
// asks through the same login prompt), libssh's default algorithms (the session's choices
// are for its own server), and its own line when its host key is seen for the first time.
SshConnectOptions jump_host_options(const SshConnectOptions& target, const JumpHost& hop,
                                    TabHost& tabs, const std::string& tab_id) {
    SshConnectOptions out;
    out.host = hop.host;
    out.port = hop.port;
    out.ip_family = target.ip_family;
    out.username = hop.user.empty() ? target.username : std::optional<std::string>(hop.user);
    out.key_file = target.key_file;
    out.allow_agent = target.allow_agent;
    out.look_for_keys = target.look_for_keys;
    out.compress = target.compress;
    out.timeout = target.timeout;
    out.known_hosts_file = target.known_hosts_file;
    out.login_user = target.login_user;
    const std::string label = hop.host + ":" + std::to_string(hop.port);
    out.new_host_key = [&tabs, tab_id, label](const std::string& type,
                                              const std::string& fingerprint) {
        tabs.push_info(tab_id, tabs.translate("info.new_host_key", {{"host", label},
                                                                    {"type", type},
                                                                    {"fingerprint", fingerprint}}));
    };
    return out;
}

}  // namespace

void TermivaApp::_start_ssh_impl(const std::string& tab_id, const Session& sess,
                                 const TabPtr& tab) {
    const std::string host = text_or(sess.host, "");
    std::string port_error;
    const std::optional<int> port = ssh_port_of(sess, port_error);
    const std::string port_text = port ? std::to_string(*port) : sess.port.text;
    const std::string username = text_or(sess.username, "");
    const std::string password = text_or(sess.password, "");
    const std::string private_key =
        platform::path_to_utf8(platform::path_typed_by_user(text_or(sess.private_key, "")));

    _push_info(tab_id, _t("info.connecting", {{"host", host}, {"port", port_text}}));
    if (!port || !sess.proxy_jump.error.empty()) {
        const std::string error =
            port ? "jump hosts (proxy_jump): " + sess.proxy_jump.error : port_error;
        tab->move_to(TabState::failed);
        _push_info(tab_id, _t("err.conn_fail", {{"err", error}}), true);
        return;
    }

    SshConnectOptions options;
    if (!private_key.empty()) {
        auto [key_file, key_error] = _ensure_openssh_key(private_key);
        if (key_error) {
            tab->move_to(TabState::failed);
            _push_info(tab_id, _t("err.key_error", {{"err", *key_error}}), true);
            return;
        }
        options.key_file = key_file;
        if (*key_file != platform::path_from_utf8(private_key)) {
            bool closed;
            {
                std::lock_guard lock(tab->lock);
                closed = tab->state_held() == TabState::closed;
                if (!closed) tab->tmp_keyfile = *key_file;
            }
            if (closed) {
                // The tab went away meanwhile: nobody else will delete the copy.
                std::error_code ignored;
                std::filesystem::remove(*key_file, ignored);
                return;
            }
        }
    }

    options.host = host;
    options.port = *port;
    options.ip_family = sess.ip_family;
    if (!username.empty()) options.username = username;
    if (!password.empty()) options.password = password;
    options.timeout = std::chrono::seconds(15);
    options.allow_agent = sess.agent_forwarding.value_or(false);
    options.look_for_keys = true;
    options.compress = sess.compression.value_or(false);
    options.known_hosts_file = HOST_KEYS_FILE;
    options.prefs = ssh_prefs_from_json(ssh_prefs_json(sess));
    std::map<std::string, std::string> bug_modes;
    for (const auto& [flag, setting] : sess.ssh_bugs)
        bug_modes[flag] = setting.mode;
    options.bugs = SSHBugSpec(bug_modes);

    TabHost& tabs = m_tabs;
    auto prompt = LoginPrompt::attach(tabs, *tab);
    options.login_user = prompt;
    for (const JumpHost& hop : sess.proxy_jump.hops)
        options.jump_hops.push_back(jump_host_options(options, hop, tabs, tab_id));
    const std::string host_label = host + ":" + std::to_string(*port);
    options.new_host_key = [&tabs, tab_id, host_label](const std::string& type,
                                                       const std::string& fingerprint) {
        tabs.push_info(tab_id, tabs.translate("info.new_host_key", {{"host", host_label},
                                                                    {"type", type},
                                                                    {"fingerprint", fingerprint}}));
    };
    // The backend outlives this call (the reader uses it): it keeps its own reference.
    auto backend = std::make_shared<SshShellBackend>(tabs, tab_id, std::move(options),
                                                     std::make_shared<const Session>(sess), prompt);
    run_stream_starter(m_tabs, tab_id, tab, backend,
                       {"channel", "err.conn_fail", "", backend->connection()});
    LoginPrompt::detach(*tab);
}

}  // namespace termiva
