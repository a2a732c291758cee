// SSH-1 and SSH-2 share the data folder's known_hosts file: a host recorded by an SSH-1
// tab must not upset the SSH-2 library reading the same file, and the other way round.
#include <gtest/gtest.h>

#include <sys/stat.h>

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
        Ssh1Backend::Options o;
        o.host = "127.0.0.1";
        o.port = port;
        o.username = fo.user;
        o.password = fo.password;
        o.timeout = 10;
        o.known_hosts_file = known_hosts;
        Ssh1Backend backend(o);
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

mode_t mode_of(const std::filesystem::path& file) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// The usual umask would make a plain append's new file readable by everyone.
class UsualUmask {
public:
    UsualUmask() : m_saved(::umask(022)) {}
    ~UsualUmask() { ::umask(m_saved); }

private:
    mode_t m_saved;
};

TEST(Ssh1SharedKnownHosts, EachProtocolKeepsTheFileOwnerOnlyUnderTheUsualUmask) {
    TERMIVA_REQUIRE_PROGRAM(sshd, "sshd");
    TERMIVA_REQUIRE_PROGRAM(keygen, "ssh-keygen");
    UsualUmask umask022;
    testing::TempDir dir;
    const int port = testing::free_loopback_port();
    // One file each protocol creates, one each finds open to everybody.
    const auto ssh1_new = dir.path() / "ssh1_new";
    const auto ssh1_wide = dir.path() / "ssh1_wide";
    const auto ssh2_new = dir.path() / "ssh2_new";
    const auto ssh2_wide = dir.path() / "ssh2_wide";
    for (const auto& wide : {ssh1_wide, ssh2_wide}) {
        std::ofstream(wide) << "# recorded before\n";
        ::chmod(wide.c_str(), 0644);
    }
    {
        testing::Ssh1FixtureOptions fo;
        fo.port = port;
        testing::Ssh1Fixture server(dir.path(), dir.path() / "ssh1_key", fo);
        for (const auto& file : {ssh1_new, ssh1_wide}) {
            Ssh1Backend::Options o;
            o.host = "127.0.0.1";
            o.port = port;
            o.username = fo.user;
            o.password = fo.password;
            o.timeout = 10;
            o.known_hosts_file = file;
            Ssh1Backend backend(o);
            ASSERT_NO_THROW(backend.connect());
            backend.close();
        }
    }
    testing::SshdOptions so;
    so.port = port;
    testing::SshdFixture sshd_server(sshd, keygen, so);
    for (const auto& file : {ssh2_new, ssh2_wide}) {
        SshConnectOptions options;
        options.host = "127.0.0.1";
        options.port = port;
        options.username = testing::SshdFixture::login_user();
        options.key_file = sshd_server.client_key();
        options.look_for_keys = false;
        options.timeout = 10s;
        options.known_hosts_file = file;
        SshConnection connection;
        EXPECT_NO_THROW(connection.connect(options));
    }
    for (const auto& file : {ssh1_new, ssh1_wide, ssh2_new, ssh2_wide}) {
        EXPECT_GT(read_text(file).size(), std::string("# recorded before\n").size()) << file;
        EXPECT_EQ(mode_of(file), 0600u) << file;
    }
    // What was there before stays.
    EXPECT_EQ(read_text(ssh2_wide).rfind("# recorded before\n", 0), 0u);
    EXPECT_EQ(read_text(ssh1_wide).rfind("# recorded before\n", 0), 0u);
}

}  // namespace
}  // namespace termiva
