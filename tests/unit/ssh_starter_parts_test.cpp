// The SSH-2 starter's own rules: port, algorithm preferences, bug flags, forwarding
// rules, key preparation and the converter runner.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "app/starters/ssh_support.h"
#include "app/termiva_app.h"
#include "support/test_support.h"

namespace termiva {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

TEST(SshPort, DefaultsTo22WhenMissingEmptyOrZero) {
    std::string error;
    EXPECT_EQ(ssh_port_of(Session(json::object()), error), 22);
    EXPECT_EQ(ssh_port_of(Session(json{{"port", ""}}), error), 22);
    EXPECT_EQ(ssh_port_of(Session(json{{"port", 0}}), error), 22);
    EXPECT_EQ(ssh_port_of(Session(json{{"port", "0"}}), error), 22);
    EXPECT_EQ(ssh_port_of(Session(json{{"port", nullptr}}), error), 22);
    EXPECT_TRUE(error.empty());
}

TEST(SshPort, ReadsNumbersAndNumericText) {
    std::string error;
    EXPECT_EQ(ssh_port_of(Session(json{{"port", 2222}}), error), 2222);
    EXPECT_EQ(ssh_port_of(Session(json{{"port", " 2022 "}}), error), 2022);
}

TEST(SshPort, RefusesTextThatIsNoPortAndNumbersOutOfRange) {
    std::string error;
    EXPECT_FALSE(ssh_port_of(Session(json{{"port", "22x"}}), error).has_value());
    EXPECT_NE(error.find("22x"), std::string::npos);
    error.clear();
    EXPECT_FALSE(ssh_port_of(Session(json{{"port", 70000}}), error).has_value());
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(ssh_port_of(Session(json{{"port", -1}}), error).has_value());
}

class SshPrefsFromSessionTest : public ::testing::Test {
protected:
    testing::TempDir data;
    TermivaApp app{nullptr, nullptr, data.path()};
};

TEST_F(SshPrefsFromSessionTest, NoLegacyFlagAndNoListsGiveAnEmptyMap) {
    EXPECT_EQ(ssh_prefs_json(Session(json{{"host", "h"}})), json::object());
    EXPECT_EQ(
        ssh_prefs_json(Session(json{{"ssh_legacy_compat", false}, {"ssh_kex", json::array()}})),
        json::object());
}

TEST_F(SshPrefsFromSessionTest, LegacyFlagStartsFromTheLegacyTable) {
    EXPECT_EQ(ssh_prefs_json(Session(json{{"ssh_legacy_compat", true}})),
              ssh_prefs_to_json(LEGACY_SSH_PREFS));
}

TEST_F(SshPrefsFromSessionTest, ASessionListReplacesItsCategoryOnly) {
    const json prefs = ssh_prefs_json(
        Session(json{{"ssh_legacy_compat", true}, {"ssh_ciphers", {"aes256-ctr", "aes128-cbc"}}}));
    EXPECT_EQ(prefs["ciphers"], json({"aes256-ctr", "aes128-cbc"}));
    EXPECT_EQ(prefs["kex"], json(LEGACY_SSH_PREFS.at("kex")));
    EXPECT_EQ(prefs["macs"], json(LEGACY_SSH_PREFS.at("macs")));
    EXPECT_EQ(prefs["keys"], json(LEGACY_SSH_PREFS.at("keys")));
}

TEST_F(SshPrefsFromSessionTest, ListsWithoutTheLegacyFlagKeepTheirOrder) {
    const json prefs = ssh_prefs_json(
        Session(json{{"ssh_kex", {"b", "a"}}, {"ssh_macs", "hmac-sha1, hmac-sha2-256"}}));
    EXPECT_EQ(prefs, json({{"kex", {"b", "a"}}, {"macs", {"hmac-sha1", "hmac-sha2-256"}}}));
    EXPECT_EQ(ssh_prefs_from_json(prefs).at("macs"),
              (std::vector<std::string>{"hmac-sha1", "hmac-sha2-256"}));
}

TEST(SshBugModes, ReadsTextsBooleansAndNumbersAndSkipsTheRest) {
    const auto modes = ssh_bug_modes(
        json{{"ignore2", "on"}, {"rekey2", false}, {"oldgex2", 1}, {"winadj", json::array()}});
    EXPECT_EQ(modes, (std::map<std::string, std::string>{
                         {"ignore2", "on"}, {"rekey2", "off"}, {"oldgex2", "on"}}));
    EXPECT_TRUE(ssh_bug_modes(json("not a map")).empty());
}

TEST(ForwardRule, LowerCaseTypeAndSpacesAroundTheSpecAreAccepted) {
    const auto rule = parse_forward_rule(json{{"type", "l"}, {"spec", "  8080:db.internal:5432 "}});
    EXPECT_EQ(rule.kind, ForwardRule::Kind::local);
    EXPECT_EQ(rule.type, "L");
    EXPECT_EQ(rule.spec, "8080:db.internal:5432");
    EXPECT_EQ(rule.listen_port, 8080);
    EXPECT_EQ(rule.dest_host, "db.internal");
    EXPECT_EQ(rule.dest_port, 5432);
}

TEST(ForwardRule, RemoteRulesNameTheServerPortFirst) {
    const auto rule = parse_forward_rule(json{{"type", "R"}, {"spec", "9000:localhost:22"}});
    EXPECT_EQ(rule.kind, ForwardRule::Kind::remote);
    EXPECT_EQ(rule.listen_port, 9000);
    EXPECT_EQ(rule.dest_host, "localhost");
    EXPECT_EQ(rule.dest_port, 22);
}

TEST(ForwardRule, MalformedSpecsUnknownTypesAndEmptySpecsAreIgnored) {
    EXPECT_EQ(parse_forward_rule(json{{"type", "L"}, {"spec", "8080:db"}}).kind,
              ForwardRule::Kind::ignored);
    EXPECT_EQ(parse_forward_rule(json{{"type", "L"}, {"spec", "1:[::1]:2"}}).kind,
              ForwardRule::Kind::ignored);
    EXPECT_EQ(parse_forward_rule(json{{"type", "L"}, {"spec", "  "}}).kind,
              ForwardRule::Kind::ignored);
    EXPECT_EQ(parse_forward_rule(json("not a rule")).kind, ForwardRule::Kind::ignored);
}

TEST(ForwardRule, NonNumericOrOutOfRangePortsAreInvalidWithAReason) {
    const auto rule = parse_forward_rule(json{{"type", "L"}, {"spec", "80x:db:5432"}});
    EXPECT_EQ(rule.kind, ForwardRule::Kind::invalid);
    EXPECT_EQ(rule.type + rule.spec, "L80x:db:5432");
    EXPECT_NE(rule.error.find("80x"), std::string::npos);
    EXPECT_EQ(parse_forward_rule(json{{"type", "R"}, {"spec", "70000:h:1"}}).kind,
              ForwardRule::Kind::invalid);
    EXPECT_EQ(parse_forward_rule(json{{"type", "R"}, {"spec", "1:h:-5"}}).kind,
              ForwardRule::Kind::invalid);
}

TEST(ForwardRule, DynamicRulesListenOnAnOptionalAddressAndRefuseMoreParts) {
    const auto plain = parse_forward_rule(json{{"type", "d"}, {"spec", "1080"}});
    EXPECT_EQ(plain.kind, ForwardRule::Kind::dynamic);
    EXPECT_EQ(plain.listen_host, "");
    EXPECT_EQ(plain.listen_port, 1080);
    const auto v6 = parse_forward_rule(json{{"type", "D"}, {"spec", "[::1]:9050"}});
    EXPECT_EQ(v6.kind, ForwardRule::Kind::dynamic);
    EXPECT_EQ(v6.listen_host, "::1");
    EXPECT_EQ(v6.listen_port, 9050);
    const auto extra = parse_forward_rule(json{{"type", "D"}, {"spec", "1:a:2"}});
    EXPECT_EQ(extra.kind, ForwardRule::Kind::invalid);
    EXPECT_NE(extra.error.find("[bind_address:]port"), std::string::npos);
}

TEST(JumpChain, HopsReadAsOpenSshWritesThemAndBadListsSayWhy) {
    const JumpChain chain = parse_jump_chain(" ops@bastion:2200 , [fe80::1]:22,inner ");
    ASSERT_EQ(chain.hops.size(), 3u) << chain.error;
    EXPECT_EQ(chain.hops[0].user, "ops");
    EXPECT_EQ(chain.hops[0].host, "bastion");
    EXPECT_EQ(chain.hops[0].port, 2200);
    EXPECT_EQ(chain.hops[1].host, "fe80::1");
    EXPECT_EQ(chain.hops[2].port, 22);
    EXPECT_TRUE(parse_jump_chain("none").hops.empty());
    EXPECT_NE(parse_jump_chain("a,,b").error.find("empty"), std::string::npos);
    EXPECT_NE(parse_jump_chain("h:0").error.find("port"), std::string::npos);
    EXPECT_NE(parse_jump_chain("fe80::1").error.find("brackets"), std::string::npos);
    EXPECT_NE(parse_jump_chain("a b").error.find("host"), std::string::npos);
    EXPECT_NE(parse_jump_chain("a,b,c,d,e,f,g,h,i").error.find("8"), std::string::npos);
    EXPECT_NE(parse_jump_chain(std::string(MAX_JUMP_TEXT + 1, 'a')).error.find("1024"),
              std::string::npos);
}

class EnsureOpensshKeyTest : public ::testing::Test {
protected:
    std::filesystem::path write(const std::string& name, const std::string& content) {
        auto path = dir.path() / name;
        std::ofstream(path) << content;
        return path;
    }
    testing::TempDir dir;
    testing::TempDir data;
    TermivaApp app{nullptr, nullptr, data.path()};
};

TEST_F(EnsureOpensshKeyTest, MissingEmptyOrFolderPathsAreNotFound) {
    for (const std::string& path :
         {std::string(), (dir.path() / "nope.pem").string(), dir.path().string()}) {
        auto [key, error] = app._ensure_openssh_key(path);
        EXPECT_FALSE(key.has_value()) << path;
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(*error, "Private key file not found");
    }
}

TEST_F(EnsureOpensshKeyTest, NonPpkKeysArePassedOnAsTheyAre) {
    for (const char* name : {"id.pem", "id.key", "id_ed25519"}) {
        const auto path = write(name, "key");
        auto [key, error] = app._ensure_openssh_key(path.string());
        EXPECT_EQ(key, path);
        EXPECT_FALSE(error.has_value());
    }
}

TEST_F(EnsureOpensshKeyTest, PpkWithoutConverterNamesTheMissingProgramWhateverTheCase) {
    app.puttygen_exe.reset();
    for (const char* name : {"a.ppk", "b.PPK"}) {
        auto [key, error] = app._ensure_openssh_key(write(name, "x").string());
        EXPECT_FALSE(key.has_value());
        ASSERT_TRUE(error.has_value());
        EXPECT_NE(error->find("puttygen"), std::string::npos) << *error;
    }
}

TEST_F(EnsureOpensshKeyTest, AConverterThatCannotRunIsAnExecutionFailure) {
    app.puttygen_exe = dir.path() / "no-such-puttygen";
    auto [key, error] = app._ensure_openssh_key(write("c.ppk", "x").string());
    EXPECT_FALSE(key.has_value());
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->rfind("puttygen execution failed: ", 0), 0u) << *error;
}

TEST_F(EnsureOpensshKeyTest, AFailingConverterReportsItsErrorOutput) {
    // A stand-in converter that fails the way puttygen does on a broken file.
    const auto fake = write("fake-puttygen", "#!/bin/sh\necho 'bad key file' >&2\nexit 1\n");
    std::filesystem::permissions(fake, std::filesystem::perms::owner_all);
    app.puttygen_exe = fake;
    auto [key, error] = app._ensure_openssh_key(write("d.ppk", "x").string());
    EXPECT_FALSE(key.has_value());
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(*error, "puttygen conversion failed: bad key file");
}

TEST_F(EnsureOpensshKeyTest, ConvertedCopyIsOwnerOnlyAndNamedForTheProgram) {
    // A stand-in converter that writes its output file like puttygen does.
    const auto fake = write("fake-puttygen", "#!/bin/sh\nprintf converted > \"$5\"\n");
    std::filesystem::permissions(fake, std::filesystem::perms::owner_all);
    app.puttygen_exe = fake;
    auto [key, error] = app._ensure_openssh_key(write("e.ppk", "x").string());
    ASSERT_TRUE(key.has_value()) << error.value_or("");
    const std::string name = key->filename().string();
    EXPECT_EQ(name.rfind("termiva_", 0), 0u);
    EXPECT_EQ(name.size(), std::string("termiva_").size() + 10 + 4);
    EXPECT_EQ(key->extension(), ".pem");
    EXPECT_EQ(key->parent_path(), std::filesystem::temp_directory_path());
    struct stat info {};
    ASSERT_EQ(::stat(key->c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    std::ifstream in(*key);
    std::string content((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(content, "converted");
    std::filesystem::remove(*key);
}

TEST(RunWithTimeLimit, CapturesExitCodeAndBothStreams) {
    const auto result =
        run_with_time_limit({"/bin/sh", "-c", "echo out; echo err >&2; exit 3"}, 5s);
    EXPECT_EQ(result.exit_code, 3);
    EXPECT_EQ(result.out, "out\n");
    EXPECT_EQ(result.err, "err\n");
}

TEST(RunWithTimeLimit, KillsAProgramThatOutlivesTheLimit) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(run_with_time_limit({"/bin/sh", "-c", "sleep 30"}, 300ms), std::runtime_error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);  // bounded, not a speed check
}

TEST(RunWithTimeLimit, AProgramThatCannotStartIsAnError) {
    EXPECT_THROW(run_with_time_limit({"/nonexistent/program"}, 5s), std::runtime_error);
    EXPECT_THROW(run_with_time_limit({}, 5s), std::runtime_error);
}

}  // namespace
}  // namespace termiva
