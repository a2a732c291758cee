// The typed session record: every field read once, the stored object kept whole, so a
// file written by another version comes back byte for byte in meaning.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "app/store/session_store.h"
#include "support/test_support.h"

namespace termiva {
namespace {

using nlohmann::json;

json read_json(const std::filesystem::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return json::parse(s.str());
}

// What another version might have written: fields this one does not know (nested too),
// values of the wrong type in known fields, a record that is not an object.
const json kForeignFile = json::parse(R"({
  "sessions": [
    {"id": "a1", "name": "box", "protocol": "ssh", "host": "h", "port": "2222",
     "future_field": {"nested": [1, "two", {"three": null}]}, "ui_color": "#abcdef",
     "keepalive_sec": "fast", "ssh_bugs": {"ignore2": "on", "rekey2": true}},
    {"id": "s1", "protocol": "serial", "host": " /dev/ttyUSB0 ", "port": 115200,
     "serial_bits": "seven", "serial_parity": "", "lfhascr": 1, "crhaslf": true},
    {"id": "t1", "protocol": "telnet-serial", "host": "srv", "port": 2217,
     "serial_baud": "57600", "telnet_env": [{"key": "A", "value": "1"}, {"key": ""},
                                           {"key": "A", "value": "2"}, "x"]},
    "not a session",
    {"id": 7, "protocol": null}
  ],
  "top_level_extra": true
})");

TEST(SessionRecord, AFileOfAnotherVersionIsWrittenBackWithEveryRecordAndKeyUnchanged) {
    testing::TempDir dir;
    const auto sessions_file = dir.path() / "sessions.json";
    { std::ofstream(sessions_file) << kForeignFile.dump(4); }
    SessionStore store(sessions_file, dir.path() / "settings.json", json::object());
    store.load_sessions();
    ASSERT_FALSE(store.save_sessions().has_value());
    // The records as they were; only the document's own wrapper is the store's.
    EXPECT_EQ(read_json(sessions_file)["sessions"], kForeignFile["sessions"]);

    // A change to one record through the page keeps the others and its own unknown keys.
    json changed = kForeignFile["sessions"][0];
    changed["name"] = "renamed";
    store.put(changed);
    ASSERT_FALSE(store.save_sessions().has_value());
    json expected = kForeignFile["sessions"];
    expected[0]["name"] = "renamed";
    EXPECT_EQ(read_json(sessions_file)["sessions"], expected);
    EXPECT_EQ(store.find("a1")->stored.at("future_field"),
              kForeignFile["sessions"][0]["future_field"]);
}

TEST(SessionRecord, ALocalSerialLineTakesItsRateFromPortAndHasNoTcpPort) {
    const Session serial(kForeignFile["sessions"][1]);
    EXPECT_EQ(serial.line_rate.or_default(9600), 115200);
    EXPECT_FALSE(serial.port.integer.has_value());
    EXPECT_EQ(serial.port.or_default(23), 23);
    EXPECT_EQ(tab_caption(serial), " /dev/ttyUSB0 :115200");
    // Bits that are no number fall back, and say what they were.
    EXPECT_EQ(serial.serial_bits.or_default(8), 8);
    EXPECT_EQ(serial.serial_bits.text, "seven");
    // An empty parity stays empty (present), unlike an absent one.
    ASSERT_TRUE(serial.serial_parity.has_value());
    EXPECT_EQ(*serial.serial_parity, "");
    EXPECT_FALSE(serial.serial_stop.has_value());
    // Line-end options turn on only for a stored `true`.
    EXPECT_FALSE(serial.lfhascr);
    EXPECT_TRUE(serial.crhaslf);

    const Session remote(kForeignFile["sessions"][2]);
    EXPECT_EQ(remote.port.or_default(23), 2217);
    EXPECT_EQ(remote.line_rate.or_default(9600), 57600);
    const std::vector<std::pair<std::string, std::string>> env{{"A", "2"}};
    EXPECT_EQ(remote.telnet_env, env);
}

TEST(SessionRecord, WrongTypesReadAsTheirFallbacksAndAbsentProtocolIsSsh) {
    const Session ssh(kForeignFile["sessions"][0]);
    EXPECT_EQ(ssh.port.or_default(22), 2222);
    EXPECT_EQ(ssh.keepalive_sec.or_default(30), 30);
    EXPECT_EQ(ssh.keepalive_sec.text, "fast");
    ASSERT_EQ(ssh.ssh_bugs.size(), 2u);
    EXPECT_EQ(ssh.ssh_bugs.at("ignore2").mode, "on");
    EXPECT_TRUE(ssh.ssh_bugs.at("ignore2").written_as_text);
    EXPECT_EQ(ssh.ssh_bugs.at("rekey2").mode, "on");
    EXPECT_FALSE(ssh.ssh_bugs.at("rekey2").written_as_text);

    const Session junk(kForeignFile["sessions"][3]);
    EXPECT_EQ(junk.protocol, "ssh");
    EXPECT_FALSE(junk.host.has_value());
    EXPECT_EQ(junk.stored, json("not a session"));

    const Session numbered(kForeignFile["sessions"][4]);
    EXPECT_EQ(numbered.protocol, "ssh");
    EXPECT_EQ(numbered.id, "7");
    EXPECT_TRUE(numbered.has_id(7));
    EXPECT_FALSE(numbered.has_id("7"));

    const Session empty_protocol(json{{"protocol", ""}, {"port", 99999999999LL}});
    EXPECT_EQ(empty_protocol.protocol, "");
    EXPECT_EQ(empty_protocol.port.or_default(23), 23);
    EXPECT_EQ(text_or(empty_protocol.host, "fallback"), "fallback");
}

}  // namespace
}  // namespace termiva
