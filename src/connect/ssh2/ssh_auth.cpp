// Authentication in a fixed order: the given key file, the agent, the user's default
// keys, then the password (as "password" or answering keyboard-interactive prompts).
// Without a saved password the user is asked in the terminal, as OpenSSH does:
// keyboard-interactive first, then a password prompt, each up to three times.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "connect/ssh2/connection_core.h"
#include "platform/assistant_program.h"
#include "platform/utf8_path.h"

namespace termiva::ssh2 {
namespace {

constexpr int MAX_KBDINT_ROUNDS = 8;
// OpenSSH's NumberOfPasswordPrompts.
constexpr int ASK_ATTEMPTS = 3;
constexpr const char* ASK_AGAIN_LINE = "Permission denied, please try again.";

// Far above any private key (a 16384-bit RSA key is about 13 KB), far below harm.
constexpr std::uintmax_t MAX_KEY_FILE_BYTES = 1 << 20;

enum class Outcome { success, refused, partial };

std::optional<std::string> read_key_file(const std::filesystem::path& path) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec || size > MAX_KEY_FILE_BYTES) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text(static_cast<std::size_t>(size), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

class Authenticator {
public:
    Authenticator(ssh_session session, const SshConnectOptions& options)
        : m_session(session), m_options(options) {}

    void run() {
        if (check(ssh_userauth_none(m_session, nullptr)) == Outcome::success) return;
        if (m_options.key_file && try_key_file(*m_options.key_file, true)) return;
        if (m_options.allow_agent && allows(SSH_AUTH_METHOD_PUBLICKEY) && try_agent()) return;
        if (m_options.look_for_keys) {
            const auto ssh_dir = platform::home_dir() / ".ssh";
            for (const char* name : {"id_ed25519", "id_ecdsa", "id_rsa", "id_dsa"}) {
                std::error_code ec;
                if (std::filesystem::is_regular_file(ssh_dir / name, ec) &&
                    try_key_file(ssh_dir / name, false)) {
                    return;
                }
            }
        }
        if (m_options.password && !m_options.password->empty()) {
            if (allows(SSH_AUTH_METHOD_PASSWORD)) {
                note_tried("password");
                if (check(ssh_userauth_password(m_session, nullptr, m_options.password->c_str())) ==
                    Outcome::success) {
                    return;
                }
            }
            if (allows(SSH_AUTH_METHOD_INTERACTIVE) && try_keyboard_interactive()) return;
        } else if (m_options.login_user) {
            try {
                if (allows(SSH_AUTH_METHOD_INTERACTIVE) && ask_keyboard_interactive()) return;
                if (allows(SSH_AUTH_METHOD_PASSWORD) && ask_password()) return;
            } catch (const LoginAbandoned& e) {
                throw SshAuthError(e.what());
            }
        }
        throw SshAuthError(failure_text());
    }

private:
    // Turns libssh's answer into an outcome; a broken connection is not an auth failure.
    Outcome check(int rc) {
        switch (rc) {
            case SSH_AUTH_SUCCESS:
                return Outcome::success;
            case SSH_AUTH_PARTIAL:
                m_methods = ssh_userauth_list(m_session, nullptr);
                return Outcome::partial;
            case SSH_AUTH_DENIED:
                if (m_methods == 0) m_methods = ssh_userauth_list(m_session, nullptr);
                return Outcome::refused;
            default:
                throw BackendError(ssh_get_error(m_session));
        }
    }

    void note_tried(const std::string& method) {
        for (const auto& seen : m_tried) {
            if (seen == method) return;
        }
        m_tried.push_back(method);
    }

    bool allows(int method) const { return m_methods == 0 || (m_methods & method) != 0; }

    // libssh reaches an agent through a Unix socket only. Windows' agents (Pageant,
    // OpenSSH's named pipe) it cannot use, so there the agent is not tried and a refusal says
    // so.
    bool try_agent() {
#ifdef _WIN32
        m_notes.push_back("no SSH agent can be used on Windows");
        return false;
#else
        note_tried("agent");
        return check(ssh_userauth_agent(m_session, nullptr)) == Outcome::success;
#endif
    }

    bool try_key_file(const std::filesystem::path& path, bool explicit_key) {
        if (!allows(SSH_AUTH_METHOD_PUBLICKEY)) return false;
        // The password doubles as the passphrase of an encrypted key, as users expect.
        const char* passphrase = explicit_key && m_options.password && !m_options.password->empty()
                                     ? m_options.password->c_str()
                                     : nullptr;
        // Read here rather than by libssh, which opens a file by its narrow name (the ANSI
        // code page on Windows, where a name outside it cannot be opened that way).
        const std::optional<std::string> text = read_key_file(path);
        ssh_key raw = nullptr;
        if (!text || ssh_pki_import_privkey_base64(text->c_str(), passphrase, nullptr, nullptr,
                                                   &raw) != SSH_OK) {
            if (explicit_key)
                m_notes.push_back("key file " + platform::path_to_utf8(path) +
                                  " could not be read");
            return false;
        }
        KeyHandle key(raw);
        note_tried("publickey");
        return check(ssh_userauth_publickey(m_session, nullptr, key.get())) == Outcome::success;
    }

    bool try_keyboard_interactive() {
        note_tried("keyboard-interactive");
        int rc = ssh_userauth_kbdint(m_session, nullptr, nullptr);
        for (int round = 0; rc == SSH_AUTH_INFO && round < MAX_KBDINT_ROUNDS; ++round) {
            const int prompts = ssh_userauth_kbdint_getnprompts(m_session);
            for (int i = 0; i < prompts; ++i) {
                char echo = 0;
                ssh_userauth_kbdint_getprompt(m_session, static_cast<unsigned>(i), &echo);
                // Hidden prompts ask for the password; visible ones get an empty answer.
                const char* answer = echo ? "" : m_options.password->c_str();
                ssh_userauth_kbdint_setanswer(m_session, static_cast<unsigned>(i), answer);
            }
            rc = ssh_userauth_kbdint(m_session, nullptr, nullptr);
        }
        if (rc == SSH_AUTH_INFO) return false;
        return check(rc) == Outcome::success;
    }

    // The account the server is asked for: the given name, else libssh's (the local one).
    std::string login_name() const {
        if (m_options.username && !m_options.username->empty()) return *m_options.username;
        char* raw = nullptr;
        if (ssh_options_get(m_session, SSH_OPTIONS_USER, &raw) != SSH_OK || !raw) return {};
        std::string name(raw);
        ssh_string_free_char(raw);
        return name;
    }

    static void wipe(std::string& secret) {
        std::fill(secret.begin(), secret.end(), '\0');
        secret.clear();
    }

    bool ask_password() {
        note_tried("password");
        LoginUser& user = *m_options.login_user;
        const std::string prompt = login_name() + "@" + m_options.host + "'s password: ";
        for (int attempt = 0; attempt < ASK_ATTEMPTS; ++attempt) {
            if (attempt > 0) user.tell(ASK_AGAIN_LINE);
            std::string answer = user.ask(prompt, false);
            const Outcome outcome =
                check(ssh_userauth_password(m_session, nullptr, answer.c_str()));
            wipe(answer);
            if (outcome == Outcome::success) return true;
            if (outcome == Outcome::partial || !allows(SSH_AUTH_METHOD_PASSWORD)) return false;
        }
        return false;
    }

    // Every question the server sends is put to the user, each shown as typed or not as
    // the server says; its name and instruction come first when it gives them.
    bool ask_keyboard_interactive() {
        note_tried("keyboard-interactive");
        LoginUser& user = *m_options.login_user;
        for (int attempt = 0; attempt < ASK_ATTEMPTS; ++attempt) {
            if (attempt > 0) user.tell(ASK_AGAIN_LINE);
            int rc = ssh_userauth_kbdint(m_session, nullptr, nullptr);
            for (int round = 0; rc == SSH_AUTH_INFO && round < MAX_KBDINT_ROUNDS; ++round) {
                for (const char* words : {ssh_userauth_kbdint_getname(m_session),
                                          ssh_userauth_kbdint_getinstruction(m_session)}) {
                    if (words && *words) user.tell(words);
                }
                const int prompts = ssh_userauth_kbdint_getnprompts(m_session);
                for (int i = 0; i < prompts; ++i) {
                    char echo = 0;
                    const char* question =
                        ssh_userauth_kbdint_getprompt(m_session, static_cast<unsigned>(i), &echo);
                    std::string answer = user.ask(question ? question : "", echo != 0);
                    ssh_userauth_kbdint_setanswer(m_session, static_cast<unsigned>(i),
                                                  answer.c_str());
                    wipe(answer);
                }
                rc = ssh_userauth_kbdint(m_session, nullptr, nullptr);
            }
            if (rc == SSH_AUTH_INFO) return false;  // a server that never stops asking
            const Outcome outcome = check(rc);
            if (outcome == Outcome::success) return true;
            if (outcome == Outcome::partial || !allows(SSH_AUTH_METHOD_INTERACTIVE)) return false;
        }
        return false;
    }

    std::string failure_text() const {
        std::string text;
        if (m_tried.empty()) {
            text = "no authentication method available (no password, no usable key)";
        } else {
            text = "the server refused";
            for (std::size_t i = 0; i < m_tried.size(); ++i) {
                text += (i == 0 ? " " : ", ") + m_tried[i];
            }
        }
        for (const auto& note : m_notes)
            text += "; " + note;
        return text;
    }

    ssh_session m_session;
    const SshConnectOptions& m_options;
    int m_methods = 0;
    std::vector<std::string> m_tried;
    std::vector<std::string> m_notes;
};

}  // namespace

void authenticate(ssh_session session, const SshConnectOptions& options) {
    Authenticator(session, options).run();
}

}  // namespace termiva::ssh2
