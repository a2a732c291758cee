// SSH-2 tabs: connect with the session's keys, algorithms and flags, then a shell on a
// pseudo-terminal with the session's port forwards.
#include <filesystem>

#include "app/json_values.h"
#include "app/starters/ssh_support.h"
#include "app/termiva_app.h"
#include "connect/ssh2/ssh_bugs.h"
#include "connect/ssh2/ssh_connection.h"
#include "connect/ssh2/ssh_prefs.h"
#include "platform/log.h"

namespace termiva {
namespace {

constexpr int DEFAULT_KEEPALIVE_SEC = 30;
constexpr int TERM_COLS = 80;
constexpr int TERM_ROWS = 24;

// Lets closing the tab reach a connection that is still being made.
class ConnectAttempt : public Backend {
public:
    explicit ConnectAttempt(std::shared_ptr<SshConnection> connection)
        : m_connection(std::move(connection)) {}
    void connect() override {}
    void send(std::string_view) override { throw BackendError("still connecting"); }
    std::string recv(std::size_t) override { return {}; }
    bool is_closed() const override { return !m_connection->is_active(); }
    void resize(int, int) override {}
    void close() override { m_connection->close(); }

private:
    std::shared_ptr<SshConnection> m_connection;
};

bool tab_is_closed(const TabPtr& tab) {
    std::lock_guard lock(tab->lock);
    return tab->closed;
}

void close_quietly(SshConnection& connection) {
    try {
        connection.close();
    } catch (const std::exception& e) {
        log::debug("ssh", std::string("close: ") + e.what());
    }
}

}  // namespace

void TermivaApp::_start_ssh_impl(const std::string& tab_id, const Json& sess, const TabPtr& tab) {
    const std::string host = text_field(sess, "host");
    std::string port_error;
    const std::optional<int> port = ssh_port_of(sess, port_error);
    const std::string port_text = port ? std::to_string(*port) : text_of(member(sess, "port"));
    const std::string username = text_field(sess, "username");
    const std::string password = text_field(sess, "password");
    const std::string private_key = text_field(sess, "private_key");

    _push_info(tab_id, _t("info.connecting", {{"host", host}, {"port", port_text}}));
    if (!port) {
        _mark_not_alive(*tab);
        _push_info(tab_id, _t("err.conn_fail", {{"err", port_error}}), true);
        return;
    }

    SshConnectOptions options;
    if (!private_key.empty()) {
        auto [key_file, key_error] = _ensure_openssh_key(private_key);
        if (key_error) {
            _mark_not_alive(*tab);
            _push_info(tab_id, _t("err.key_error", {{"err", *key_error}}), true);
            return;
        }
        options.key_file = key_file;
        if (*key_file != std::filesystem::path(private_key)) {
            bool closed;
            {
                std::lock_guard lock(tab->lock);
                closed = tab->closed;
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
    if (!username.empty()) options.username = username;
    if (!password.empty()) options.password = password;
    options.timeout = std::chrono::seconds(15);
    options.allow_agent = bool_field(sess, "agent_forwarding", false);
    options.look_for_keys = true;
    options.compress = bool_field(sess, "compression", false);
    options.known_hosts_file = HOST_KEYS_FILE;
    options.prefs = ssh_prefs_from_json(_build_ssh_prefs(sess));
    options.bugs = SSHBugSpec(ssh_bug_modes(member(sess, "ssh_bugs")));

    auto connection = std::make_shared<SshConnection>();
    auto attempt = std::make_shared<ConnectAttempt>(connection);
    {
        std::lock_guard lock(tab->lock);
        if (tab->closed) return;
        tab->connecting = attempt;
    }
    auto forget_attempt = [&tab] {
        std::lock_guard lock(tab->lock);
        tab->connecting.reset();
    };

    try {
        connection->connect(options);
    } catch (const SshAuthError& e) {
        forget_attempt();
        if (tab_is_closed(tab)) return;
        _mark_not_alive(*tab);
        _push_info(tab_id, _t("err.auth_fail", {{"err", e.what()}}), true);
        return;
    } catch (const std::exception& e) {
        forget_attempt();
        if (tab_is_closed(tab)) return;
        _mark_not_alive(*tab);
        _push_info(tab_id, _t("err.conn_fail", {{"err", e.what()}}), true);
        return;
    }

    std::shared_ptr<SshChannel> channel;
    try {
        connection->set_keepalive(int_field(sess, "keepalive_sec", DEFAULT_KEEPALIVE_SEC));
        channel = connection->open_session();
        connection->get_pty(channel, text_field(sess, "terminal_type", "xterm-256color"), TERM_COLS,
                            TERM_ROWS);
        const Json& forwards = member(sess, "port_forwards");
        if (forwards.is_array()) {
            for (const auto& rule : forwards)
                _setup_forward(*this, *connection, rule, tab_id);
        }
        connection->invoke_shell(channel);
    } catch (const std::exception& e) {
        forget_attempt();
        close_quietly(*connection);
        if (tab_is_closed(tab)) return;
        _mark_not_alive(*tab);
        _push_info(tab_id, _t("err.shell_fail", {{"err", e.what()}}), true);
        return;
    }

    std::string encoding;
    {
        std::lock_guard lock(tab->lock);
        encoding = tab->encoding;
    }
    std::shared_ptr<text::Decoder> decoder = text::decoder_or_utf8(encoding);
    bool closed;
    {
        std::lock_guard lock(tab->lock);
        tab->connecting.reset();
        closed = tab->closed;
        if (!closed) {
            tab->client = connection;
            tab->backend = channel;
            tab->backend_kind = "channel";
            tab->decoder = decoder;
        }
    }
    if (closed) {
        close_quietly(*connection);  // nothing may keep a closed tab's connection open
        return;
    }
    _push_connected(tab_id);
    _spawn([this, tab_id] { _reader_loop(tab_id); });
}

}  // namespace termiva
