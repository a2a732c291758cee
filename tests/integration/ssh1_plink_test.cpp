// The SSH-1 test server against a client written by others, PuTTY's plink -1, so the
// server is more than our own reading of the protocol checked against itself.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "fixtures/ssh1_server/ssh1_fixture.h"
#include "support/test_support.h"

namespace termiva::testing {
namespace {

struct PlinkRun {
    int status = -1;
    std::string output;
};

// Runs plink with HOME in `home` (its host-key cache and saved sessions live there).
PlinkRun run_plink(const std::filesystem::path& plink, const std::filesystem::path& home,
                   const std::vector<std::string>& args) {
    std::string command = "HOME='" + home.string() + "' timeout 30 '" + plink.string() + "'";
    for (const auto& a : args)
        command += " '" + a + "'";
    command += " </dev/null 2>&1";
    PlinkRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return run;
    std::array<char, 4096> buf{};
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0)
        run.output.append(buf.data(), n);
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

class Ssh1PlinkTest : public ::testing::Test {
protected:
    // A saved session that puts `cipher` first, above PuTTY's warning line, so plink
    // neither prefers another cipher nor asks about a weak one.
    void save_session(const std::string& name, const std::string& cipher) {
        auto folder = dir.path() / ".putty" / "sessions";
        std::filesystem::create_directories(folder);
        std::ofstream(folder / name)
            << "Cipher=" << cipher << ",aes,chacha20,aesgcm,3des,blowfish,WARN,des,arcfour\n";
    }
    std::vector<std::string> login(const Ssh1Fixture& server, const std::string& password,
                                   const std::string& command, const std::string& session) {
        return {"-load",
                session,
                "-1",
                "-batch",
                "-hostkey",
                server.host_key_md5(),
                "-pw",
                password,
                "-P",
                std::to_string(server.port()),
                "alice@127.0.0.1",
                command};
    }
    TempDir dir;
};

TEST_F(Ssh1PlinkTest, PasswordLoginRunsACommandWithEitherCipher) {
    TERMIVA_REQUIRE_PROGRAM(plink, "plink");
    for (std::string cipher : {"3des", "blowfish"}) {
        SCOPED_TRACE(cipher);
        Ssh1FixtureOptions options;
        options.ciphers = cipher;
        Ssh1Fixture server(dir.path(), dir.path() / "host_key", options);
        ASSERT_GT(server.port(), 0);
        save_session(cipher, cipher);
        PlinkRun run = run_plink(plink, dir.path(),
                                 login(server, options.password,
                                       "echo out-$((6*7)); echo err-line >&2; exit 5", cipher));
        EXPECT_NE(run.output.find("out-42"), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("err-line"), std::string::npos) << run.output;
        EXPECT_EQ(run.status, 5) << run.output;
        EXPECT_EQ(server.wait_for_event("cipher", std::chrono::seconds(2)), "cipher " + cipher);
        EXPECT_EQ(server.wait_for_event("exit confirmed", std::chrono::seconds(5)),
                  "exit confirmed");
    }
}

TEST_F(Ssh1PlinkTest, WrongPasswordIsRefused) {
    TERMIVA_REQUIRE_PROGRAM(plink, "plink");
    Ssh1Fixture server(dir.path(), dir.path() / "host_key");
    ASSERT_GT(server.port(), 0);
    save_session("both", "3des");
    PlinkRun run = run_plink(plink, dir.path(), login(server, "not-it", "echo never", "both"));
    EXPECT_NE(run.status, 0);
    EXPECT_EQ(run.output.find("never"), std::string::npos) << run.output;
    EXPECT_EQ(server.wait_for_event("auth refused", std::chrono::seconds(5)), "auth refused alice");
    EXPECT_EQ(server.wait_for_event("auth ok", std::chrono::milliseconds(1)), "");
}

TEST_F(Ssh1PlinkTest, ShellOnATerminalSeesItsSize) {
    TERMIVA_REQUIRE_PROGRAM(plink, "plink");
    Ssh1Fixture server(dir.path(), dir.path() / "host_key");
    ASSERT_GT(server.port(), 0);
    save_session("tty", "3des");
    auto args = login(server, server.options().password, "stty size; exit 0", "tty");
    args.insert(args.begin(), "-t");
    PlinkRun run = run_plink(plink, dir.path(), args);
    const std::string pty = server.wait_for_event("pty ", std::chrono::seconds(5));
    ASSERT_FALSE(pty.empty()) << run.output;
    // The size plink asked for is the size the command saw.
    std::istringstream fields(pty.substr(4));
    std::string term;
    int rows = 0, cols = 0;
    fields >> term >> rows >> cols;
    EXPECT_NE(run.output.find(std::to_string(rows) + " " + std::to_string(cols)), std::string::npos)
        << run.output;
}

}  // namespace
}  // namespace termiva::testing
