// Logging in as OpenSSH users expect, through the real termiva-host against a real sshd:
// with no saved password and no key, the password or the server's keyboard-interactive
// questions are asked in the tab and answered by typing into it; a new host key is shown
// with its SHA-256 fingerprint.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>

#include "fixtures/sshd_fixture.h"
#include "support/host_process.h"
#include "support/test_support.h"

namespace termiva {
namespace {

using nlohmann::json;
using testing::SshdFixture;
using namespace std::chrono_literals;

constexpr const char* PASSWORD_PROMPT = "termiva-test@127.0.0.1's password: ";
constexpr const char* ASK_AGAIN_LINE = "Permission denied, please try again.";

// What `ssh-keygen -lf file` says of a public key: its SHA-256 fingerprint.
std::string keygen_fingerprint(const std::filesystem::path& keygen,
                               const std::filesystem::path& public_key) {
    const std::string command = "'" + keygen.string() + "' -lf '" + public_key.string() + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return {};
    char buf[512] = {};
    const std::size_t n = std::fread(buf, 1, sizeof buf - 1, pipe);
    ::pclose(pipe);
    std::istringstream words(std::string(buf, n));
    std::string bits, fingerprint;
    words >> bits >> fingerprint;
    return fingerprint;
}

class SshLogin : public ::testing::Test {
protected:
    void SetUp() override {
        TERMIVA_REQUIRE_PROGRAM(sshd, "sshd");
        TERMIVA_REQUIRE_PROGRAM(found_keygen, "ssh-keygen");
        keygen = found_keygen;
        password = SshdFixture::password_account();
        if (!password) {
            if (testing::peers_required()) FAIL() << "cannot create the password test account";
            GTEST_SKIP() << "password login needs root to create a test account";
        }
        // No default key and no agent of whoever runs the tests may log in: the host
        // inherits this environment.
        ::setenv("HOME", home.path().c_str(), 1);
        ::unsetenv("SSH_AUTH_SOCK");
        server = std::make_unique<SshdFixture>(sshd, keygen, server_options());
        host = std::make_unique<testing::HostProcess>(data.path());
    }

    virtual testing::SshdOptions server_options() { return {}; }

    std::string open_without_password() {
        return host->open_session(json{{"name", "asks"},
                                       {"protocol", "ssh"},
                                       {"host", "127.0.0.1"},
                                       {"port", server->port()},
                                       {"username", SshdFixture::PASSWORD_USER}});
    }

    bool type(const std::string& tab, const std::string& keys) {
        return host->call("send_input", json::array({tab, keys})).get<bool>();
    }

    bool info_line(const std::string& tab, const std::string& part, bool is_error) {
        return host
            ->wait_for_call(
                [&](const json& c) {
                    return testing::HostProcess::is_call(c, "setTerminalInfo", tab) &&
                           testing::HostProcess::arg(c, 1).get<std::string>().find(part) !=
                               std::string::npos &&
                           testing::HostProcess::arg(c, 2) == is_error;
                },
                20s)
            .has_value();
    }

    bool connected(const std::string& tab) {
        return host
            ->wait_for_call(
                [&](const json& c) {
                    return testing::HostProcess::is_call(c, "terminalConnected", tab);
                },
                20s)
            .has_value();
    }

    testing::TempDir home;
    testing::TempDir data;
    std::filesystem::path keygen;
    std::optional<std::string> password;
    std::unique_ptr<SshdFixture> server;
    std::unique_ptr<testing::HostProcess> host;
};

TEST_F(SshLogin, ThePasswordIsAskedInTheTabAndTheNewHostKeyIsShownWithItsFingerprint) {
    const std::string tab = open_without_password();
    const std::string asked = host->drain_until(tab, PASSWORD_PROMPT, 20s);
    ASSERT_NE(asked.find(PASSWORD_PROMPT), std::string::npos) << asked;

    const std::string fingerprint = keygen_fingerprint(keygen, server->dir() / "host_ed25519.pub");
    ASSERT_EQ(fingerprint.rfind("SHA256:", 0), 0u) << fingerprint;
    EXPECT_TRUE(info_line(tab, "ED25519 key fingerprint is " + fingerprint, false));

    // Typed in pieces as keys arrive, with a slip taken back by Backspace.
    EXPECT_TRUE(type(tab, password->substr(0, 4)));
    EXPECT_TRUE(type(tab, password->substr(4) + "x#"));
    EXPECT_TRUE(type(tab, "\x7f\x7f"));
    EXPECT_TRUE(type(tab, "\r"));
    ASSERT_TRUE(connected(tab)) << host->drain_until(tab, "never", 10ms);
    EXPECT_TRUE(type(tab, "echo pw''-typed\n"));
    const std::string after = host->drain_until(tab, "pw-typed", 10s);
    EXPECT_NE(after.find("pw-typed"), std::string::npos) << after;
    // Echo off: not one character of the answer reached the terminal.
    EXPECT_EQ((asked + after).find(password->substr(0, 4)), std::string::npos);
    EXPECT_EQ((asked + after).find("x#"), std::string::npos);
    EXPECT_EQ(after.find(ASK_AGAIN_LINE), std::string::npos);
    EXPECT_EQ(host->quit(), 0);
}

TEST_F(SshLogin, AWrongPasswordIsAskedForAgainAndThirdTimeRefused) {
    const std::string tab = open_without_password();
    std::string seen = host->drain_until(tab, PASSWORD_PROMPT, 20s);
    ASSERT_NE(seen.find(PASSWORD_PROMPT), std::string::npos) << seen;
    for (int attempt = 1; attempt <= 3; ++attempt) {
        EXPECT_TRUE(type(tab, "wrong-" + std::to_string(attempt) + "\r"));
        if (attempt == 3) break;
        const std::string again = host->drain_until(tab, PASSWORD_PROMPT, 20s);
        const auto refused = again.find(ASK_AGAIN_LINE);
        ASSERT_NE(refused, std::string::npos) << again;
        EXPECT_NE(again.find(PASSWORD_PROMPT, refused), std::string::npos) << again;
        seen += again;
    }
    EXPECT_TRUE(info_line(tab, "Authentication failed: the server refused password", true));
    EXPECT_TRUE(host->becomes_dead(tab));
    EXPECT_EQ(seen.find("wrong-"), std::string::npos) << seen;
    // Typing goes nowhere once nothing is asked.
    EXPECT_FALSE(type(tab, "late\r"));
}

TEST_F(SshLogin, CtrlCOrClosingTheTabGivesUpTheQuestion) {
    const std::string tab = open_without_password();
    ASSERT_NE(host->drain_until(tab, PASSWORD_PROMPT, 20s).find(PASSWORD_PROMPT),
              std::string::npos);
    EXPECT_TRUE(type(tab, "half\x03"));
    EXPECT_TRUE(info_line(tab, "Authentication failed: login cancelled", true));
    EXPECT_TRUE(host->becomes_dead(tab));

    // Closed while asked: the connection's thread is not left waiting, so the host
    // quits at once.
    const std::string second = open_without_password();
    ASSERT_NE(host->drain_until(second, PASSWORD_PROMPT, 20s).find(PASSWORD_PROMPT),
              std::string::npos);
    host->call("close_tab", json::array({second}));
    EXPECT_EQ(host->quit(5s), 0);
}

// The server asks through PAM's keyboard-interactive conversation only.
class SshLoginKeyboardInteractive : public SshLogin {
protected:
    testing::SshdOptions server_options() override {
        return {{"UsePAM yes", "KbdInteractiveAuthentication yes", "PasswordAuthentication no"}};
    }
};

TEST_F(SshLoginKeyboardInteractive, TheServersQuestionsAreAnsweredInTheTab) {
    const std::string tab = open_without_password();
    const std::string asked = host->drain_until(tab, "assword: ", 20s);
    ASSERT_NE(asked.find("assword: "), std::string::npos) << asked;
    EXPECT_EQ(asked.find(PASSWORD_PROMPT), std::string::npos) << "not the password method";
    EXPECT_TRUE(type(tab, "mistake\r"));
    const std::string again = host->drain_until(tab, ASK_AGAIN_LINE, 20s);
    ASSERT_NE(again.find(ASK_AGAIN_LINE), std::string::npos) << again;
    host->drain_until(tab, "assword: ", 10s);
    EXPECT_TRUE(type(tab, *password + "\r"));
    ASSERT_TRUE(connected(tab)) << server->log();
    EXPECT_TRUE(type(tab, "echo ki''-typed\n"));
    const std::string after = host->drain_until(tab, "ki-typed", 10s);
    EXPECT_NE(after.find("ki-typed"), std::string::npos) << after;
    EXPECT_EQ((asked + again + after).find("mistake"), std::string::npos);
    EXPECT_EQ((asked + again + after).find(*password), std::string::npos);
}

}  // namespace
}  // namespace termiva
