// ZMODEM inside a local-shell tab through the real termiva-host, with lrzsz as the peer.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>

#include "support/host_process.h"
#include "support/test_support.h"

namespace termiva {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string random_bytes(std::size_t n) {
    std::mt19937 rng(1234);
    std::string out(n, '\0');
    for (auto& c : out)
        c = static_cast<char>(rng());
    return out;
}

class XferTab : public ::testing::Test {
protected:
    testing::TempDir dir;
    testing::HostProcess host{dir.path() / "data"};
    fs::path work = dir.path() / "work";

    void SetUp() override { fs::create_directories(work); }

    std::string open_shell() {
        json saved = host.call("save_session", {{{"name", "sh"},
                                                 {"protocol", "conpty"},
                                                 {"conpty_shell", "sh"},
                                                 {"conpty_cwd", work.string()}}});
        std::string tab = host.call("connect_session", {saved["id"]})["tab_id"];
        EXPECT_TRUE(host.wait_for_call(
            [&](const json& c) { return c["call"] == "terminalConnected" && c["args"][0] == tab; },
            5s));
        // Quiet prompt, so the output is only what the test produces. The marker is
        // computed, so the echo of the typed line cannot be taken for it.
        host.call("send_input", {tab, "PS1='$ '; stty -echo; echo READY-$((2+3))\r"});
        host.drain_until(tab, "READY-5\r\n$ ", 5s);
        return tab;
    }

    bool ended(const std::string& tab, const std::string& line) {
        return host
            .wait_for_call(
                [&](const json& c) {
                    return c["call"] == "setTerminalInfo" && c["args"][0] == tab &&
                           c["args"][1] == line;
                },
                30s)
            .has_value();
    }
};

TEST_F(XferTab, ASenderInTheOutputIsReceivedIntoDownloadsAndHiddenFromTheTerminal) {
    TERMIVA_REQUIRE_PROGRAM(sz, "sz");
    const std::string content = random_bytes(200'000);
    { std::ofstream(work / "payload.bin", std::ios::binary) << content; }
    std::string tab = open_shell();
    host.call("send_input", {tab, "echo before-transfer; " + sz.string() + " payload.bin\r"});
    EXPECT_TRUE(ended(tab, "─── ZMODEM detected, auto-receiving ───"));
    EXPECT_TRUE(ended(tab, "─── File transfer ended ───"));
    std::string shown = host.drain_until(tab, "$ ", 5s);
    EXPECT_NE(shown.find("before-transfer"), std::string::npos);
    EXPECT_EQ(shown.find("B00"), std::string::npos) << "transfer bytes reached the terminal";
    fs::path received = dir.path() / "data" / "downloads" / "payload.bin";
    ASSERT_TRUE(fs::exists(received));
    EXPECT_EQ(read_file(received), content);

    // The events reached the page, the last one being "done".
    json last;
    for (const auto& c : host.page_calls()) {
        if (c["call"] == "xferOnEvent") last = c["args"][1];
    }
    EXPECT_EQ(last["kind"], "done");
    EXPECT_EQ(last["ok"], true);
}

TEST_F(XferTab, WhatTheShellPrintsRightAfterEachSenderEndsReachesTheTerminal) {
    TERMIVA_REQUIRE_PROGRAM(sz, "sz");
    const std::string content = random_bytes(30'000);
    { std::ofstream(work / "p.bin", std::ios::binary) << content; }
    std::string tab = open_shell();
    // Back to back: each session's end, the shell's next line and the next sender's
    // start follow each other closely, often in one chunk.
    host.call("send_input", {tab, "for i in 1 2 3; do " + sz.string() +
                                      " p.bin; echo AFTER-MARK-$i; done; echo ALL-$((6*7))\r"});
    std::string shown = host.drain_until(tab, "ALL-42\r\n$ ", 30s);
    std::size_t at = 0;
    for (const char* mark : {"AFTER-MARK-1\r\n", "AFTER-MARK-2\r\n", "AFTER-MARK-3\r\n"}) {
        std::size_t found = shown.find(mark, at);
        ASSERT_NE(found, std::string::npos) << mark << " missing or out of order in: " << shown;
        at = found;
    }
    EXPECT_EQ(shown.find("B00"), std::string::npos) << "transfer bytes reached the terminal";
    EXPECT_EQ(shown.find("OO"), std::string::npos) << "a closing OO reached the terminal";
    fs::path downloads = dir.path() / "data" / "downloads";
    for (const char* name : {"p.bin", "p (1).bin", "p (2).bin"}) {
        EXPECT_EQ(read_file(downloads / name), content) << name;
    }
    auto ends = [&] {
        auto lines = host.info_lines(tab);
        return std::count(lines.begin(), lines.end(), "─── File transfer ended ───");
    };
    for (int i = 0; i < 100 && ends() < 3; ++i)
        std::this_thread::sleep_for(50ms);
    EXPECT_EQ(ends(), 3);
}

TEST_F(XferTab, AHostileSenderNameLandsInsideTheDownloadsFolder) {
    TERMIVA_REQUIRE_PROGRAM(sz, "sz");
    fs::create_directories(work / "a" / "b");
    { std::ofstream(work / "x", std::ios::binary) << "hostile"; }
    std::string tab = open_shell();
    // -f sends the path as given, "../../x" included.
    host.call("send_input", {tab, "cd a/b && " + sz.string() + " -f ../../x\r"});
    EXPECT_TRUE(ended(tab, "─── File transfer ended ───"));
    EXPECT_EQ(read_file(dir.path() / "data" / "downloads" / "x"), "hostile");
    EXPECT_FALSE(fs::exists(dir.path() / "x"));
}

TEST_F(XferTab, SendingToRzInTheTabDeliversTheFile) {
    TERMIVA_REQUIRE_PROGRAM(rz, "rz");
    const std::string content = random_bytes(150'000);
    fs::path source = dir.path() / "upload.bin";
    { std::ofstream(source, std::ios::binary) << content; }
    std::string tab = open_shell();
    host.call("send_input", {tab, rz.string() + "\r"});
    // The send starts once rz is listening (it says so before its ZRINIT).
    host.drain_until(tab, "waiting to receive", 10s);
    json r = host.call("xfer_start", {tab, "zmodem", "send", json::array({source.string()})});
    ASSERT_EQ(r["ok"], true) << r.dump();
    EXPECT_TRUE(r["save_dir"].is_null());
    EXPECT_TRUE(ended(tab, "─── File transfer ended ───"));
    // rz writes the file under its name as it goes: done once it has every byte.
    EXPECT_TRUE(testing::eventually(
        [&] {
            std::error_code ec;
            return fs::file_size(work / "upload.bin", ec) == content.size() && !ec;
        },
        10s));
    EXPECT_EQ(read_file(work / "upload.bin"), content);
}

}  // namespace
}  // namespace termiva
