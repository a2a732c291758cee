// Bug-compatibility flags: parsing of names and modes, and what each flag changes.
#include <gtest/gtest.h>

#include <thread>

#include "connect/ssh2/ssh_bugs.h"

namespace termiva {
namespace {

SSHBugSpec spec_of(const std::map<std::string, std::string>& modes) {
    return SSHBugSpec(modes);
}

bool contains(const std::vector<std::string>& list, const std::string& name) {
    return std::find(list.begin(), list.end(), name) != list.end();
}

TEST(SshBugSpec, ReadsModesCaseInsensitively) {
    SSHBugSpec spec(
        {{"IGNORE2", "On"}, {"rekey2", "off"}, {"oldgex2", "auto"}, {"rsa_sha2", "true"}});
    EXPECT_EQ(spec.mode("ignore2"), SshBugMode::on);
    EXPECT_EQ(spec.mode("rekey2"), SshBugMode::off);
    EXPECT_EQ(spec.mode("oldgex2"), SshBugMode::automatic);
    EXPECT_TRUE(spec.active("rsa_sha2"));
    EXPECT_FALSE(spec.active("oldgex2"));
}

TEST(SshBugSpec, IgnoresUnknownFlagsAndReadsUnknownModesAsAuto) {
    SSHBugSpec spec({{"no-such-flag", "on"}, {"ignore2", "sometimes"}});
    EXPECT_EQ(spec.mode("no-such-flag"), SshBugMode::automatic);
    EXPECT_FALSE(spec.active("ignore2"));
    EXPECT_FALSE(SSHBugSpec::known_flag("no-such-flag"));
}

TEST(SshBugSpec, ListsTheFlagsLibsshCannotActOn) {
    SSHBugSpec spec({{"hmac2", "on"}, {"winadj", "off"}, {"ignore2", "on"}});
    EXPECT_EQ(spec.without_effect(), std::vector<std::string>{"hmac2"});
}

TEST(SshBugSpec, ReadsTrueAndFalseAsOnAndOff) {
    SSHBugSpec spec({{"ignore2", "true"}, {"rekey2", "false"}});
    EXPECT_TRUE(spec.active("ignore2"));
    EXPECT_EQ(spec.mode("rekey2"), SshBugMode::off);
}

TEST(PrefsWithBugs, OldGexDropsGroupExchangeFromTheSessionsList) {
    SshPrefs prefs{{"kex",
                    {"diffie-hellman-group-exchange-sha1", "diffie-hellman-group14-sha1",
                     "diffie-hellman-group-exchange-sha256"}}};
    const auto out = ssh2::prefs_with_bugs(prefs, spec_of({{"oldgex2", "on"}}));
    EXPECT_EQ(out.at("kex"), std::vector<std::string>{"diffie-hellman-group14-sha1"});
}

TEST(PrefsWithBugs, OldGexNarrowsTheDefaultsWhenTheSessionHasNoList) {
    const auto out = ssh2::prefs_with_bugs({}, spec_of({{"oldgex2", "on"}}));
    ASSERT_TRUE(out.count("kex"));
    EXPECT_FALSE(out.at("kex").empty());
    for (const auto& name : out.at("kex")) {
        EXPECT_EQ(name.find("group-exchange"), std::string::npos) << name;
    }
}

TEST(PrefsWithBugs, RsaSha2LeavesOnlySha1RsaHostKeys) {
    SshPrefs prefs{{"keys", {"rsa-sha2-512", "ssh-ed25519"}}};
    const auto out = ssh2::prefs_with_bugs(prefs, spec_of({{"rsa_sha2", "on"}}));
    EXPECT_FALSE(contains(out.at("keys"), "rsa-sha2-512"));
    EXPECT_TRUE(contains(out.at("keys"), "ssh-ed25519"));
    EXPECT_TRUE(contains(out.at("keys"), "ssh-rsa"));
}

TEST(PrefsWithBugs, FlagsOffOrAutoChangeNothing) {
    SshPrefs prefs{{"ciphers", {"aes128-cbc"}}};
    EXPECT_EQ(ssh2::prefs_with_bugs(prefs, spec_of({{"oldgex2", "off"}, {"rsa_sha2", "auto"}})),
              prefs);
}

}  // namespace
}  // namespace termiva
