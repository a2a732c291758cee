// Algorithm preferences: the legacy table holds only what libssh can negotiate, and the
// lists reach libssh's options.
#include <gtest/gtest.h>

#include <thread>

#include "connect/backend.h"
#include "connect/ssh2/connection_core.h"
#include "connect/ssh2/ssh_handles.h"
#include "connect/ssh2/ssh_prefs.h"

namespace termiva {
namespace {

ssh2::SessionHandle new_session() {
    return ssh2::SessionHandle(ssh_new());
}

TEST(LegacySshPrefs, CoversTheFourCategoriesWithAlgorithmsOldDevicesSpeak) {
    ASSERT_EQ(LEGACY_SSH_PREFS.size(), 4u);
    auto has = [](const char* category, const char* name) {
        const auto& list = LEGACY_SSH_PREFS.at(category);
        return std::find(list.begin(), list.end(), name) != list.end();
    };
    EXPECT_TRUE(has("kex", "diffie-hellman-group14-sha1"));
    EXPECT_TRUE(has("kex", "diffie-hellman-group1-sha1"));
    EXPECT_TRUE(has("ciphers", "aes128-cbc"));
    EXPECT_TRUE(has("ciphers", "3des-cbc"));
    EXPECT_TRUE(has("macs", "hmac-sha1"));
    EXPECT_TRUE(has("keys", "ssh-rsa"));
}

TEST(LegacySshPrefs, EveryNameIsKnownToLibssh) {
    const std::map<std::string, ssh_options_e> option_of = {{"kex", SSH_OPTIONS_KEY_EXCHANGE},
                                                            {"ciphers", SSH_OPTIONS_CIPHERS_C_S},
                                                            {"macs", SSH_OPTIONS_HMAC_C_S},
                                                            {"keys", SSH_OPTIONS_HOSTKEYS}};
    for (const auto& [category, names] : LEGACY_SSH_PREFS) {
        for (const auto& name : names) {
            auto session = new_session();
            EXPECT_EQ(ssh_options_set(session.get(), option_of.at(category), name.c_str()), SSH_OK)
                << category << " " << name;
        }
    }
}

TEST(ApplyPrefs, AcceptsTheLegacyTable) {
    auto session = new_session();
    EXPECT_NO_THROW(ssh2::apply_prefs(session.get(), LEGACY_SSH_PREFS));
}

TEST(ApplyPrefs, RefusesACategoryWithNoKnownAlgorithm) {
    auto session = new_session();
    EXPECT_THROW(ssh2::apply_prefs(session.get(), {{"ciphers", {"rot13-cbc"}}}), BackendError);
    EXPECT_THROW(ssh2::apply_prefs(session.get(), {{"kex", {"no-such-kex"}}}), BackendError);
}

TEST(ApplyPrefs, EmptyListsAndUnknownCategoriesLeaveTheDefaults) {
    auto session = new_session();
    EXPECT_NO_THROW(ssh2::apply_prefs(session.get(), {{"ciphers", {}}, {"compression", {"x"}}}));
}

TEST(JoinAlgorithms, JoinsWithCommasAndSkipsEmptyNames) {
    EXPECT_EQ(ssh2::join_algorithms({"a", "", "b"}), "a,b");
    EXPECT_EQ(ssh2::join_algorithms({}), "");
}

TEST(ConnectOptionsPrefs, ReachTheSessionBeingConfigured) {
    SshConnectOptions options;
    options.host = "127.0.0.1";
    options.prefs = SshPrefs{{"ciphers", {"no-such-cipher"}}};
    auto session = new_session();
    EXPECT_THROW(ssh2::configure_session(session.get(), options), BackendError);
    options.prefs = SshPrefs{{"ciphers", {"aes128-ctr"}}};
    auto other = new_session();
    EXPECT_NO_THROW(ssh2::configure_session(other.get(), options));
}

}  // namespace
}  // namespace termiva
