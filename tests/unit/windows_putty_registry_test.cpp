// PuTTY's sessions in the registry, written the way a user's PuTTY would have them (by
// reg.exe, which under Wine is `wine reg add`), under a test key of the current user.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>

#include "platform/child_process.h"
#include "platform/windows/putty_registry.h"

namespace termiva::platform {
namespace {

using namespace std::chrono_literals;

class WindowsPuttyRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        root = "Software\\TermivaTest\\" + std::to_string(::GetCurrentProcessId());
        key = std::wstring(root.begin(), root.end()) + L"\\Sessions";
    }
    void TearDown() override { reg({"delete", "HKCU\\" + root, "/f"}); }
    static void reg(std::vector<std::string> args) {
        args.insert(args.begin(), "reg.exe");
        ChildProcess child(args);
        const auto outcome = child.communicate("", 60s);
        ASSERT_TRUE(outcome.finished);
        ASSERT_EQ(outcome.exit_code, 0) << outcome.out << outcome.err;
    }
    void add(const std::string& session, const std::string& name, const std::string& type,
             const std::string& data) {
        reg({"add", "HKCU\\" + root + "\\Sessions\\" + session, "/v", name, "/t", type, "/d", data,
             "/f"});
    }
    std::string root;
    std::wstring key;
};

TEST_F(WindowsPuttyRegistry, ReadsTextsAndNumbersAsPuttyWroteThem) {
    add("my%20router", "HostName", "REG_SZ", "192.0.2.1");
    add("my%20router", "PortNumber", "REG_DWORD", "2222");
    add("my%20router", "Protocol", "REG_SZ", "ssh");
    add("my%20router", "WinTitle", "REG_SZ", "\xe6\xa0\xbc\xe5\xbc\x8f");
    add("my%20router", "TermWidth", "REG_SZ", "80");
    add("my%20router", "LineCodePage", "REG_SZ", "not a number");
    add("my%20router", "Blob", "REG_BINARY", "0102");
    add("serial%20COM3", "SerialLine", "REG_SZ", "COM3");

    const auto store = windows::putty_registry_store(key);
    auto names = store->session_names();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"my%20router", "serial%20COM3"}));

    const auto session = store->open_session("my%20router");
    ASSERT_TRUE(session);
    EXPECT_EQ(session->value("HostName", PuttyValueKind::text),
              PuttyValue(std::string("192.0.2.1")));
    EXPECT_EQ(session->value("PortNumber", PuttyValueKind::integer), PuttyValue(2222LL));
    // The registry keeps the type: a DWORD is a number whatever the caller expected.
    EXPECT_EQ(session->value("PortNumber", PuttyValueKind::text), PuttyValue(2222LL));
    EXPECT_EQ(session->value("WinTitle", PuttyValueKind::text),
              PuttyValue(std::string("\xe6\xa0\xbc\xe5\xbc\x8f")));
    EXPECT_EQ(session->value("TermWidth", PuttyValueKind::integer), PuttyValue(80LL));
    EXPECT_EQ(session->value("TermWidth", PuttyValueKind::text), PuttyValue(std::string("80")));
    EXPECT_EQ(session->value("LineCodePage", PuttyValueKind::integer),
              PuttyValue(std::string("not a number")));
    EXPECT_FALSE(session->value("Blob", PuttyValueKind::text).has_value());
    EXPECT_FALSE(session->value("Missing", PuttyValueKind::text).has_value());
    ASSERT_TRUE(store->open_session("serial%20COM3"));
    EXPECT_EQ(store->open_session("serial%20COM3")->value("SerialLine", PuttyValueKind::text),
              PuttyValue(std::string("COM3")));
}

TEST_F(WindowsPuttyRegistry, MissingKeysAndEscapingNamesGiveNothing) {
    EXPECT_TRUE(windows::putty_registry_store(key)->session_names().empty());
    add("one", "HostName", "REG_SZ", "h");
    const auto store = windows::putty_registry_store(key);
    EXPECT_FALSE(store->open_session("two"));
    EXPECT_FALSE(store->open_session(""));
    // "..\\Sessions\\one" would name a key beside the sessions, not a session.
    EXPECT_FALSE(store->open_session("..\\Sessions\\one"));
    EXPECT_FALSE(store->open_session("one\\"));
    EXPECT_TRUE(store->open_session("one"));
}

}  // namespace
}  // namespace termiva::platform
