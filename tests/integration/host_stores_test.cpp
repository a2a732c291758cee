// The stores through the real termiva-host, whichever build of it runs (the Windows one
// under Wine too): an unreadable sessions file is kept aside and the next save starts a
// good one; PuTTY's sessions in the registry are listed and imported.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/host_process.h"
#include "support/test_support.h"

namespace termiva {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

std::string read_all(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The file of this machine that a file name the host reported names (the inverse of
// testing::host_path).
fs::path local_path(std::string name) {
    if (!testing::host_under_wine()) return name;
    if (name.rfind("Z:", 0) == 0 || name.rfind("z:", 0) == 0) name.erase(0, 2);
    for (auto& c : name)
        if (c == '\\') c = '/';
    return name;
}

TEST(HostStores, AnUnreadableSessionsFileIsKeptAsideAndTheNextSaveStartsAGoodOne) {
    testing::TempDir dir;
    const std::string broken = "{\"sessions\": [ {\"id\": \"a\", \"host\": ";
    { std::ofstream(dir.path() / "sessions.json", std::ios::binary) << broken; }
    {
        testing::HostProcess host(dir.path());
        const json state = host.call("get_initial_state");
        EXPECT_TRUE(state["sessions"].empty()) << state.dump();
        ASSERT_EQ(state["notices"].size(), 1u) << state.dump();
        const json& notice = state["notices"][0];
        EXPECT_EQ(notice["key"], "notice.store_unreadable");
        EXPECT_EQ(local_path(notice["file"].get<std::string>()), dir.path() / "sessions.json");
        const fs::path kept = local_path(notice["moved_to"].get<std::string>());
        EXPECT_EQ(kept.parent_path(), dir.path());
        EXPECT_EQ(read_all(kept), broken);  // nothing of it lost
        const json saved = host.call(
            "save_session",
            json::array({json{{"name", "after"}, {"protocol", "raw"}, {"host", "127.0.0.1"}}}));
        EXPECT_FALSE(saved.contains("save_error")) << saved.dump();
        EXPECT_EQ(host.quit(), 0);
    }
    testing::HostProcess again(dir.path());
    const json state = again.call("get_initial_state");
    ASSERT_EQ(state["sessions"].size(), 1u) << state.dump();
    EXPECT_EQ(state["sessions"][0]["name"], "after");
    EXPECT_TRUE(state["notices"].empty()) << state.dump();
}

// What the page saves is stored with the types the program reads: a number or a list given
// for a name is its text, a text given for a switch its truth, a list field that is no list
// is left out; and a text longer than a field may hold (1 MiB) is refused with the field's
// name, the stored sessions untouched, instead of being written and read on every start.
TEST(HostStores, APageRecordIsStoredWithItsFieldsTypesAndAnOversizedFieldIsRefused) {
    testing::TempDir dir;
    {
        testing::HostProcess host(dir.path());
        const json odd = {{"name", 5},
                          {"protocol", "raw"},
                          {"host", json::array({"x"})},
                          {"port", 23.0},
                          {"keepalive_sec", "30"},
                          {"compression", "yes"},
                          {"lfhascr", 1},
                          {"port_forwards", "L1:a:2"},
                          {"ssh_bugs", 7},
                          {"kept", json::array({1, 2})}};
        const json saved = host.call("save_session", json::array({odd}));
        ASSERT_EQ(saved["sessions"].size(), 1u) << saved.dump();
        const json& rec = saved["sessions"][0];
        EXPECT_EQ(rec["name"], "5");
        EXPECT_EQ(rec["host"], "[\"x\"]");
        EXPECT_EQ(rec["port"], 23);
        EXPECT_EQ(rec["keepalive_sec"], "30");
        EXPECT_EQ(rec["compression"], true);
        EXPECT_EQ(rec["lfhascr"], false);
        EXPECT_FALSE(rec.contains("port_forwards")) << rec.dump();
        EXPECT_FALSE(rec.contains("ssh_bugs")) << rec.dump();
        EXPECT_EQ(rec["kept"], json::array({1, 2}));  // a key of another version, as it was

        json big = rec;
        big["notes"] = std::string((std::size_t{1} << 20) + 1, 'n');
        const json refused = host.call("save_session", json::array({big}), 30s);
        EXPECT_EQ(refused["refused"], (json{{"field", "notes"}, {"limit", 1 << 20}}))
            << refused.dump().substr(0, 200);
        EXPECT_TRUE(refused["id"].is_null());
        ASSERT_EQ(refused["sessions"].size(), 1u);
        EXPECT_FALSE(refused["sessions"][0].contains("notes"));
        EXPECT_EQ(host.quit(), 0);
    }
    EXPECT_LT(fs::file_size(dir.path() / "sessions.json"), 4096u);
    testing::HostProcess again(dir.path());
    const json state = again.call("get_initial_state");
    ASSERT_EQ(state["sessions"].size(), 1u) << state.dump();
    EXPECT_EQ(state["sessions"][0]["name"], "5");
    EXPECT_EQ(state["sessions"][0]["lfhascr"], false);
}

// Writes one value of a PuTTY session into the Wine prefix's registry.
void putty_registry_value(const std::string& session, const std::string& name,
                          const std::string& type, const std::string& data) {
    const char* prefix = std::getenv("TERMIVA_WINEPREFIX");
    ASSERT_NE(prefix, nullptr) << "TERMIVA_WINEPREFIX names the host's Wine prefix";
    const std::string command =
        "WINEPREFIX='" + std::string(prefix) + "' WINEDEBUG=-all timeout 60 wine reg add " +
        "'HKCU\\Software\\SimonTatham\\PuTTY\\Sessions\\" + session + "' /v " + name + " /t " +
        type + " /d '" + data + "' /f >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

TEST(HostStores, PuttySessionsInTheRegistryAreListedAndImported) {
    if (!testing::host_under_wine()) {
        GTEST_SKIP() << "PuTTY keeps its sessions in the registry on Windows only (the Linux "
                        "host reads ~/.putty; its import has unit tests)";
    }
    putty_registry_value("Wine%20Box", "HostName", "REG_SZ", "board.example");
    putty_registry_value("Wine%20Box", "Protocol", "REG_SZ", "telnet");
    putty_registry_value("Wine%20Box", "PortNumber", "REG_DWORD", "2323");
    testing::TempDir dir;
    testing::HostProcess host(dir.path());
    const json listed = host.call("import_list_from_putty");
    json found;
    for (const auto& rec : listed)
        if (rec.value("name", "") == "Wine Box") found = rec;
    ASSERT_TRUE(found.is_object()) << listed.dump();
    EXPECT_EQ(found["HostName"], "board.example");
    EXPECT_EQ(found["PortNumber"], 2323);
    const json imported = host.call("import_putty_sessions", json::array({json::array({found})}));
    ASSERT_EQ(imported["sessions"].size(), 1u) << imported.dump();
    const json& session = imported["sessions"][0];
    EXPECT_EQ(session["name"], "Wine Box");
    EXPECT_EQ(session["protocol"], "telnet");
    EXPECT_EQ(session["host"], "board.example");
    EXPECT_EQ(session["port"], 2323);
}

}  // namespace
}  // namespace termiva
