// SSH-1 and SSH-2 share the data folder's known_hosts file: a host recorded by an SSH-1
// tab must not upset the SSH-2 library reading the same file, and the other way round.
#include <gtest/gtest.h>

#include <fstream>

#include "connect/ssh1/ssh1_backend.h"
#include "connect/ssh2/ssh_connection.h"
#include "fixtures/ssh1_server/ssh1_fixture.h"
#include "fixtures/sshd_fixture.h"
#include "support/test_support.h"

namespace termiva {
namespace {

using namespace std::chrono_literals;

std::string read_text(const std::filesystem::path& file) {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(Ssh1SharedKnownHosts, BothProtocolsOnOneHostAndPortKeepTheirOwnKeys) {
    TERMIVA_REQUIRE_PROGRAM(sshd, "sshd");
    TERMIVA_REQUIRE_PROGRAM(keygen, "ssh-keygen");
    testing::TempDir dir;
    const auto known_hosts = dir.path() / "known_hosts";
    const int port = testing::free_loopback_port();

    auto ssh1_login = [&] {
        testing::Ssh1FixtureOptions fo;
        fo.port = port;
        testing::Ssh1Fixture server(dir.path(), dir.path() / "ssh1_key", fo);
        _SSH1Backend::Options o;
        o.host = "127.0.0.1";
        o.port = port;
        o.username = fo.user;
        o.password = fo.password;
        o.timeout = 10;
        o.known_hosts_file = known_hosts;
        _SSH1Backend backend(o);
        backend.connect();
        backend.close();
    };
    ASSERT_NO_THROW(ssh1_login());
    const std::string after_ssh1 = read_text(known_hosts);

    testing::SshdOptions so;
    so.port = port;
    testing::SshdFixture sshd_server(sshd, keygen, so);
    SshConnectOptions options;
    options.host = "127.0.0.1";
    options.port = port;
    options.username = testing::SshdFixture::login_user();
    options.key_file = sshd_server.client_key();
    options.look_for_keys = false;
    options.timeout = 10s;
    options.known_hosts_file = known_hosts;
    for (int round = 0; round < 2; ++round) {  // first use, then the recorded key
        SCOPED_TRACE(round);
        SshConnection connection;
        EXPECT_NO_THROW(connection.connect(options));
    }
    const std::string after_ssh2 = read_text(known_hosts);
    EXPECT_EQ(after_ssh2.rfind(after_ssh1, 0), 0u) << after_ssh2;
    EXPECT_GT(after_ssh2.size(), after_ssh1.size()) << "the SSH-2 key was not recorded";
    sshd_server.stop();

    ASSERT_NO_THROW(ssh1_login()) << "the SSH-2 line hid the SSH-1 key";
    EXPECT_EQ(read_text(known_hosts), after_ssh2);
}

}  // namespace
}  // namespace termiva
