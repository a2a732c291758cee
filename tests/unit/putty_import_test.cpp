// PuTTY import from session files written as PuTTY writes them (~/.putty/sessions, one
// "Key=Value" file per escaped session name), through the page's two operations.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "app/json_values.h"
#include "platform/putty_sessions.h"
#include "unit/app_fixture.h"

namespace termiva::testing {
namespace {

namespace fs = std::filesystem;

void write_session(const fs::path& dir, const std::string& escaped, const std::string& body) {
    fs::create_directories(dir);
    std::ofstream(dir / escaped, std::ios::binary) << body;
}

class PuttyImportTest : public AppFixture {
protected:
    void SetUp() override {
        AppFixture::SetUp();
        app->putty_import().set_store(platform::putty_session_files(sessions));
    }
    Json list() { return *app->call_bridge("import_list_from_putty", Json::array()); }
    Json import(const Json& records) {
        return *app->call_bridge("import_putty_sessions", Json::array({records}));
    }
    fs::path sessions = dir.path() / "home" / ".putty" / "sessions";
};

TEST_F(PuttyImportTest, ListsEverySessionFileUnescapedWithItsValuesAsStored) {
    write_session(sessions, "my%20router",
                  "HostName=192.0.2.7\nProtocol=ssh\nUserName=admin\nPublicKeyFile=/home/a/k.ppk\n"
                  "PortNumber=2222\nCompression=1\nTerminalType=xterm\nLFImpliesCR=1\n"
                  "CRImpliesLF=0\nWinTitle=ignored\nnot a setting line\n");
    write_session(
        sessions, "board%20on%20COM3",
        "HostName=\r\nProtocol=serial\r\nSerialLine=/dev/ttyUSB0\r\nSerialSpeed=115200\r\n");
    write_session(sessions, "Default%20Settings", "Protocol=telnet\nPortNumber=x23\n");
    write_session(sessions, "%E4%B8%AD%E6%96%87%zz%4", "HostName=h\xff\xfe\n");
    fs::create_directories(sessions / "a-folder");  // not a session

    const Json records = list();
    ASSERT_EQ(records.size(), 4u) << records.dump(1);
    // In name order, whatever order the folder lists them in.
    EXPECT_EQ(records[0], (Json{{"name", "中文%zz%4"}, {"HostName", "h\uFFFD\uFFFD"}}));
    EXPECT_EQ(records[1], (Json{{"name", "Default Settings"},
                                {"Protocol", "telnet"},
                                {"PortNumber", "x23"}}));  // no number: kept as written
    EXPECT_EQ(records[2], (Json{{"name", "board on COM3"},
                                {"HostName", ""},
                                {"Protocol", "serial"},
                                {"SerialLine", "/dev/ttyUSB0"},
                                {"SerialSpeed", 115200}}));
    EXPECT_EQ(records[3], (Json{{"name", "my router"},
                                {"HostName", "192.0.2.7"},
                                {"Protocol", "ssh"},
                                {"UserName", "admin"},
                                {"PublicKeyFile", "/home/a/k.ppk"},
                                {"PortNumber", 2222},
                                {"Compression", 1},
                                {"TerminalType", "xterm"},
                                {"LFImpliesCR", 1},
                                {"CRImpliesLF", 0}}));
}

TEST_F(PuttyImportTest, NoPuttyFolderListsNothing) {
    EXPECT_EQ(list(), Json::array());
}

TEST_F(PuttyImportTest, ImportedSessionsFollowTheMappingFieldByField) {
    write_session(sessions, "my%20router",
                  "HostName=192.0.2.7\nProtocol=SSH\nUserName=admin\nPublicKeyFile=/k.ppk\n"
                  "PortNumber=2222\nCompression=1\nLFImpliesCR=1\nCRImpliesLF=0\n");
    write_session(sessions, "serial", "HostName=\nProtocol=serial\nSerialLine=COM3\n");
    // PuTTY keeps the host and port of an earlier use beside the serial line and speed.
    write_session(sessions, "board",
                  "HostName=192.168.1.50\nPortNumber=22\nProtocol=serial\n"
                  "SerialLine=/dev/ttyUSB0\nSerialSpeed=115200\n");
    write_session(sessions, "odd",
                  "HostName=odd.example\nProtocol=gopher\nPortNumber=abc\n"
                  "Compression=0\nCRImpliesLF=1\n");
    const Json records = list();
    ASSERT_EQ(records.size(), 4u);
    const Json result = import(records);
    const Json& all = result["sessions"];
    ASSERT_EQ(all.size(), 4u) << result.dump(1);
    EXPECT_FALSE(result.contains("save_error"));

    auto by_name = [&](const std::string& name) {
        for (const auto& s : all)
            if (s["name"] == name) return s;
        ADD_FAILURE() << "no session " << name;
        return Json();
    };
    Json router = by_name("my router");
    ASSERT_TRUE(router["id"].is_string());
    EXPECT_EQ(router["id"].get<std::string>().size(), 32u);
    EXPECT_EQ(router.size(), 17u) << router.dump(1);
    router.erase("id");
    EXPECT_EQ(router, (Json{{"name", "my router"},
                            {"protocol", "ssh"},
                            {"host", "192.0.2.7"},
                            {"port", 2222},
                            {"username", "admin"},
                            {"password", ""},
                            {"private_key", "/k.ppk"},
                            {"compression", true},
                            {"agent_forwarding", false},
                            {"ip_version", "auto"},
                            {"port_forwards", Json::array()},
                            {"line_code_page", "utf-8"},
                            {"terminal_type", "xterm-256color"},
                            {"keepalive_sec", 30},
                            {"lfhascr", true},
                            {"crhaslf", false}}));

    const Json serial = by_name("serial");
    EXPECT_EQ(serial["protocol"], "serial");
    EXPECT_EQ(serial["host"], "COM3");
    EXPECT_EQ(serial["port"], 9600);  // no SerialSpeed: PuTTY's own default
    EXPECT_EQ(serial["compression"], false);
    const Json board = by_name("board");
    EXPECT_EQ(board["host"], "/dev/ttyUSB0");
    EXPECT_EQ(board["port"], 115200);

    const Json odd = by_name("odd");
    EXPECT_EQ(odd["protocol"], "ssh");  // unknown protocols become SSH
    EXPECT_EQ(odd["port"], 22);         // not a number
    EXPECT_EQ(odd["compression"], false);
    EXPECT_EQ(odd["crhaslf"], true);
    EXPECT_EQ(odd["username"], "");

    // What the page got is what is on disk.
    std::ifstream in(dir.path() / "sessions.json");
    EXPECT_EQ(Json::parse(in)["sessions"], all);
}

// An SSH proxy ("SSH to proxy and use port forwarding") is a jump host; other kinds of
// proxy are listed as not imported and leave the session without one.
TEST_F(PuttyImportTest, AnSshProxyBecomesTheJumpHostAndOtherProxiesAreSaidToBeSkipped) {
    write_session(sessions, "inner",
                  "HostName=10.0.0.5\nProtocol=ssh\nProxyMethod=6\n"
                  "ProxyHost=bastion.example\nProxyPort=2200\nProxyUsername=ops\n");
    write_session(sessions, "socks",
                  "HostName=h\nProtocol=ssh\nProxyMethod=2\n"
                  "ProxyHost=proxy.example\nProxyPort=1080\n");
    const Json records = list();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0]["proxy_jump"], "ops@bastion.example:2200");
    EXPECT_EQ(records[1]["proxy_skipped"], "SOCKS 5");
    EXPECT_FALSE(records[1].contains("proxy_jump"));
    const Json all = import(records)["sessions"];
    ASSERT_EQ(all.size(), 2u);
    for (const auto& session : all) {
        if (session["name"] == "inner") {
            EXPECT_EQ(session["proxy_jump"], "ops@bastion.example:2200");
        } else {
            EXPECT_FALSE(session.contains("proxy_jump")) << session.dump();
        }
    }
}

TEST_F(PuttyImportTest, ImportingAgainAddsNewSessionsAndLeavesExistingOnesAlone) {
    const Json own = app->save_session({{"name", "mine"}, {"protocol", "raw"}, {"host", "h"}});
    const Json records = Json::array({{{"name", "twice"}, {"HostName", "t"}}});
    import(records);
    const Json after = import(records)["sessions"];
    ASSERT_EQ(after.size(), 3u);
    EXPECT_EQ(after[0], own["sessions"][0]);
    EXPECT_EQ(after[1]["name"], "twice");
    EXPECT_EQ(after[2]["name"], "twice");
    EXPECT_NE(after[1]["id"], after[2]["id"]);
}

TEST_F(PuttyImportTest, RecordsWithoutANameTakeTheCatalogsNameInEitherLanguage) {
    Json sessions_now = import(Json::array({{{"HostName", "a"}}, {{"name", ""}}}))["sessions"];
    EXPECT_EQ(sessions_now[0]["name"], "Imported from PuTTY");
    EXPECT_EQ(sessions_now[1]["name"], "Imported from PuTTY");
    EXPECT_EQ(sessions_now[1]["host"], "");
    app->set_language("zh-Hant");
    sessions_now = import(Json::array({Json::object()}))["sessions"];
    EXPECT_EQ(sessions_now[2]["name"], "從 PuTTY 匯入");
}

TEST_F(PuttyImportTest, AnEmptyChoiceStillWritesTheFileAndGarbageIsRefused) {
    ASSERT_FALSE(fs::exists(dir.path() / "sessions.json"));
    EXPECT_EQ(import(Json::array()), (Json{{"sessions", Json::array()}}));
    EXPECT_TRUE(fs::exists(dir.path() / "sessions.json"));
    // Not a list, and list items that are not records: nothing is added.
    EXPECT_EQ(import("x"), (Json{{"sessions", Json::array()}}));
    EXPECT_EQ(import(Json::array({1, "two", nullptr}))["sessions"], Json::array());
}

TEST(PuttyNames, PercentEscapesDecodeToUtf8AndEverythingElsePassesThrough) {
    EXPECT_EQ(PuttyImport::unescape_name("my%20router"), "my router");
    EXPECT_EQ(PuttyImport::unescape_name("a%2Fb%2fc%25d"), "a/b/c%d");
    EXPECT_EQ(PuttyImport::unescape_name("100%"), "100%");
    EXPECT_EQ(PuttyImport::unescape_name("%g0%0"), "%g0%0");
    EXPECT_EQ(PuttyImport::unescape_name("%C3%A9t%C3"), "\u00E9t\uFFFD");
    EXPECT_EQ(PuttyImport::unescape_name("%00x"), std::string("\0x", 2));
}

TEST(PuttyVersion, ReadsTheReleaseNumberOfASourceTree) {
    TempDir tree;
    EXPECT_EQ(PuttyImport::read_putty_version(tree.path()), "");  // no version.h
    std::ofstream(tree.path() / "version.h") << "/* Generated by automated build script */\n"
                                                "#define SNAPSHOT\n#define TEXTVER \"x\"\n"
                                                "#define  RELEASE\t0.78\n#define RELEASE 9.9\n";
    EXPECT_EQ(PuttyImport::read_putty_version(tree.path()), "0.78");
    std::ofstream(tree.path() / "version.h") << "#define SNAPSHOT 2024-01-01\n\xff\xfe";
    EXPECT_EQ(PuttyImport::read_putty_version(tree.path()), "");
    fs::remove(tree.path() / "version.h");
    fs::create_directories(tree.path() / "version.h");  // a folder is no file
    EXPECT_EQ(PuttyImport::read_putty_version(tree.path()), "");
}

TEST(PuttyStore, TheDefaultStoreIsTheUsersPuttySessionsFolder) {
    TempDir home;
    write_session(home.path() / ".putty" / "sessions", "from%20home", "HostName=x\n");
    const char* old = std::getenv("HOME");
    const std::string saved = old ? old : "";
    ::setenv("HOME", home.path().c_str(), 1);
    auto store = platform::default_putty_session_store();
    if (old) ::setenv("HOME", saved.c_str(), 1);
    EXPECT_EQ(store->session_names(), std::vector<std::string>{"from%20home"});
    EXPECT_EQ(store->open_session("../etc"), nullptr);
    EXPECT_EQ(store->open_session("missing"), nullptr);
}

}  // namespace
}  // namespace termiva::testing
