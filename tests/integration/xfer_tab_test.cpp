// ZMODEM inside a local-shell tab, and on a raw TCP connection, through the real
// termiva-host, with lrzsz as the peer.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>

#include "fixtures/peer_process.h"
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

// Received files go to "downloads" in the test's data folder, named in the settings as a
// user would, instead of the user's own Downloads folder.
void receive_into_data_folder(testing::HostProcess& host, const fs::path& test_dir) {
    const json values{{"download_folder", testing::host_path(test_dir / "data" / "downloads")}};
    ASSERT_EQ(host.call("set_page_settings", json::array({values}))["settings"]["download_folder"],
              values["download_folder"]);
}

class XferTab : public ::testing::Test {
protected:
    testing::TempDir dir;
    testing::HostProcess host{dir.path() / "data"};
    fs::path work = dir.path() / "work";

    void SetUp() override {
        if (testing::host_under_wine())
            GTEST_SKIP() << "these transfers run in a local sh shell; XferOverTcp covers the "
                            "Windows host";
        fs::create_directories(work);
        receive_into_data_folder(host, dir.path());
    }

    // A local shell in `work`. Quiet (no echo, a plain prompt) unless `as_typed`: then
    // the terminal line echoes what reaches it, as for a user.
    std::string open_shell(const std::string& shell = "sh", bool as_typed = false) {
        json saved = host.call("save_session", {{{"name", shell},
                                                 {"protocol", "conpty"},
                                                 {"conpty_shell", shell},
                                                 {"conpty_cwd", work.string()}}});
        std::string tab = host.call("connect_session", {saved["id"]})["tab_id"];
        EXPECT_TRUE(host.wait_for_call(
            [&](const json& c) {
                return testing::HostProcess::is_call(c, "terminalConnected", tab);
            },
            5s));
        // Quiet prompt, so the output is only what the test produces. The marker is
        // computed, so the echo of the typed line cannot be taken for it.
        host.call("send_input", {tab, std::string("PS1='$ '; ") + (as_typed ? "" : "stty -echo; ") +
                                          "echo READY-$((2+3))\r"});
        host.drain_until(tab, "READY-5\r\n", 5s);
        host.drain_until(tab, "$ ", 5s);
        return tab;
    }

    // The index of the first page call from `from` on that satisfies `pred`, or -1.
    long index_of(const std::function<bool(const json&)>& pred, std::size_t from = 0) {
        const auto calls = host.page_calls();
        for (std::size_t i = from; i < calls.size(); ++i)
            if (pred(calls[i])) return static_cast<long>(i);
        return -1;
    }

    bool ended(const std::string& tab, const std::string& line) {
        return host
            .wait_for_call(
                [&](const json& c) {
                    return testing::HostProcess::is_call(c, "setTerminalInfo", tab) &&
                           testing::HostProcess::arg(c, 1) == line;
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
    std::string shown = host.drain_until(tab, "waiting to receive", 10s);
    // rz asking for files reaches the page as an offer to send, and its request line does
    // not reach the terminal.
    EXPECT_TRUE(testing::eventually(
        [&] {
            for (const auto& c : host.page_calls()) {
                if (testing::HostProcess::is_call(c, "xferOnEvent", tab) &&
                    c["args"][1]["kind"] == "receiver_waiting")
                    return true;
            }
            return false;
        },
        10s));
    shown += host.drain_until(tab, "", 1s);
    EXPECT_EQ(shown.find("B01"), std::string::npos) << shown;
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

// Control characters no shell output holds here: what binary transfer frames are full of,
// and CAN, the abort's own byte.
bool holds_binary(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 && c != '\r' && c != '\n' && c != '\t' && c != '\x1b';
    });
}

TEST_F(XferTab, TheEndLineComesBeforeThePromptThatFollowsTheTransfer) {
    TERMIVA_REQUIRE_PROGRAM(sz, "sz");
    { std::ofstream(work / "p.bin", std::ios::binary) << random_bytes(3'000'000); }
    std::string tab = open_shell();
    host.call("send_input", {tab, sz.string() + " p.bin; echo AFTER-$((6*7))\r"});
    // Pulled all along, as the page does, so the output that follows the transfer is news
    // to the page: the program says so with terminalOutput, which must come after the end
    // line it belongs behind.
    std::string shown;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (shown.find("AFTER-42\r\n$ ") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        shown += host.call("drain_terminal", {tab}).get<std::string>();
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_NE(shown.find("AFTER-42\r\n$ "), std::string::npos) << shown;
    auto file_event = [&](const json& c) {
        return testing::HostProcess::is_call(c, "xferOnEvent", tab) &&
               testing::HostProcess::arg(c, 1).value("kind", "") == "file";
    };
    auto end_line = [&](const json& c) {
        return testing::HostProcess::is_call(c, "setTerminalInfo", tab) &&
               testing::HostProcess::arg(c, 1) == "─── File transfer ended ───";
    };
    auto output = [&](const json& c) {
        return testing::HostProcess::is_call(c, "terminalOutput", tab);
    };
    const long file = index_of(file_event);
    ASSERT_GE(file, 0);
    const long end = index_of(end_line, static_cast<std::size_t>(file));
    ASSERT_GT(end, file);
    // Nothing reached the terminal between the file's start and the end line...
    const long early = index_of(output, static_cast<std::size_t>(file));
    EXPECT_GT(early, end) << "output was pushed before the end line";
    // ...and what followed did, after it.
    EXPECT_GT(index_of(output, static_cast<std::size_t>(end)), end);
}

TEST_F(XferTab, CancellingAReceiveMidFileShowsNothingOfTheBrokenSession) {
    TERMIVA_REQUIRE_PROGRAM(sz, "sz");
    { std::ofstream(work / "big.bin", std::ios::binary) << random_bytes(60'000'000); }
    std::string tab = open_shell();
    host.call("send_input", {tab, sz.string() + " big.bin\r"});
    ASSERT_TRUE(host.wait_for_call(
        [&](const json& c) {
            return testing::HostProcess::is_call(c, "xferOnEvent", tab) &&
                   testing::HostProcess::arg(c, 1).value("kind", "") == "progress" &&
                   testing::HostProcess::arg(c, 1).value("bytes", 0) > 0;
        },
        20s));
    std::string shown = host.call("drain_terminal", {tab}).get<std::string>();
    EXPECT_EQ(host.call("xfer_cancel", {tab}), true);
    EXPECT_TRUE(ended(tab, "─── File transfer failed: cancelled ───"));
    // sz reads the line until it has taken in the abort and left: type once the shell
    // prompts again, as a user would.
    shown += host.drain_until(tab, "$ ", 10s);
    // Our start answers and the abort reached the shell as typed input; the line kill after
    // the abort cleared what was left on its line, so the next command runs as typed.
    host.call("send_input", {tab, "echo AFTER-$((6*7))\r"});
    shown += host.drain_until(tab, "AFTER-42\r\n$ ", 10s);
    EXPECT_NE(shown.find("AFTER-42\r\n$ "), std::string::npos) << shown;
    EXPECT_FALSE(holds_binary(shown))
        << "the broken session reached the terminal: " << shown.substr(0, 200);
    EXPECT_FALSE(fs::exists(dir.path() / "data" / "downloads" / "big.bin"));
}

TEST_F(XferTab, AReceiveCancelledBeforeAnySenderLeavesNoEchoOfItsAbort) {
    TERMIVA_REQUIRE_PROGRAM(bash, "bash");
    // Shells as users have them: the terminal line echoes; bash's line editor reads the
    // keys, plain sh leaves the line to the terminal's own editing.
    for (const std::string shell : {"bash", "sh"}) {
        SCOPED_TRACE(shell);
        std::string tab = open_shell(shell, true);
        json r = host.call("xfer_start", {tab, "zmodem", "recv"});
        ASSERT_EQ(r["ok"], true) << r.dump();
        // The receiver's first requests reach the shell, which echoes them back to the job.
        std::this_thread::sleep_for(500ms);
        EXPECT_EQ(host.call("xfer_cancel", {tab}), true);
        EXPECT_TRUE(ended(tab, "─── File transfer failed: cancelled ───"));
        // Our start answers and the abort reached the shell as typed input; the line kill
        // after the abort cleared what was left on its line, so the next command runs as
        // typed.
        host.call("send_input", {tab, "echo AFTER-$((6*7))\r"});
        std::string shown = host.drain_until(tab, "AFTER-42\r\n", 10s);
        EXPECT_NE(shown.find("AFTER-42\r\n"), std::string::npos) << shown;
        EXPECT_EQ(shown.find("^X"), std::string::npos) << shown;
        EXPECT_EQ(shown.find("^H"), std::string::npos) << shown;
        // The kill's echo erasing what the line did show ("\b \b" a column) is terminal text.
        std::string without_erasures = shown;
        for (auto at = without_erasures.find("\b \b"); at != std::string::npos;
             at = without_erasures.find("\b \b", at))
            without_erasures.erase(at, 3);
        EXPECT_FALSE(holds_binary(without_erasures)) << shown;
        host.call("close_tab", {tab});
    }
}

// A console that prints a ZMODEM start among its own output (a board booting, a binary
// shown with cat) kept the tab deaf for over a minute: everything it printed went to an
// auto-receive waiting for a sender. The receive gives up within seconds, and what it
// held reaches the terminal; our own start answers echoed back do not keep it going.
TEST_F(XferTab, AFalseStartGivesUpQuicklyAndShowsWhatItHeld) {
    std::string tab = open_shell("sh", true);
    host.call("send_input",
              {tab, "printf '**\\030B00 not a sender\\r\\n'; sleep 1; echo HELD-$((6*7))\r"});
    EXPECT_TRUE(ended(tab, "─── ZMODEM detected, auto-receiving ───"));
    EXPECT_TRUE(ended(tab,
                      "─── File transfer failed: no ZMODEM sender followed the start "
                      "header; what arrived is shown ───"));
    std::string shown = host.drain_until(tab, "HELD-42\r\n", 10s);
    EXPECT_NE(shown.find("HELD-42\r\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("not a sender"), std::string::npos) << shown;
    // Our start answers reached the shell as typed input: the last one's tail after its
    // carriage return still waits on the line, so the next command starts a line of its own.
    host.call("send_input", {tab, "\recho AFTER-$((6*7))\r"});
    shown = host.drain_until(tab, "AFTER-42\r\n", 10s);
    EXPECT_NE(shown.find("AFTER-42\r\n"), std::string::npos) << shown;
    EXPECT_FALSE(host.call("xfer_status", {tab})["active"].get<bool>());
}

// lrzsz behind a raw TCP tab: the same transfers without a local shell, so they run against
// the Windows host as well (the files it writes and reads are named by the host's own paths).
class XferOverTcp : public ::testing::Test {
protected:
    testing::TempDir dir;
    testing::HostProcess host{dir.path() / "data"};
    fs::path work = dir.path() / "work";
    std::unique_ptr<testing::PeerProcess> peer;
    int port = 0;

    std::filesystem::path socat;

    void SetUp() override {
        TERMIVA_REQUIRE_PROGRAM(found, "socat");
        socat = found;
        fs::create_directories(work);
        receive_into_data_folder(host, dir.path());
    }

    // A raw tab on a peer that runs the shell command `command` in `work` with the
    // connection as its standard input and output.
    std::string open_on(const std::string& command) {
        port = testing::free_loopback_port();
        peer = std::make_unique<testing::PeerProcess>(
            std::vector<std::string>{
                socat.string(), "-d",
                "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,fork",
                "SYSTEM:cd '" + work.string() + "' && exec " + command + ",nofork"},
            dir.path() / "peer.log");
        EXPECT_TRUE(peer->wait_port(port)) << peer->log();
        return host.open_session(
            {{"name", "lrzsz"}, {"protocol", "raw"}, {"host", "127.0.0.1"}, {"port", port}});
    }
    bool info(const std::string& tab, const std::string& line) {
        return host
            .wait_for_call(
                [&](const json& c) {
                    return testing::HostProcess::is_call(c, "setTerminalInfo", tab) &&
                           testing::HostProcess::arg(c, 1) == line;
                },
                30s)
            .has_value();
    }
};

TEST_F(XferOverTcp, ASenderOnTheConnectionIsReceivedIntoDownloads) {
    TERMIVA_REQUIRE_PROGRAM(sz, "sz");
    const std::string content = random_bytes(300'000);
    { std::ofstream(work / "über-payload.bin", std::ios::binary) << content; }
    { std::ofstream(work / "second.bin", std::ios::binary) << "second"; }
    // A name outside ASCII: the file made in the downloads folder must keep it.
    std::string tab = open_on(sz.string() + " über-payload.bin second.bin");
    EXPECT_TRUE(info(tab, "─── ZMODEM detected, auto-receiving ───"));
    EXPECT_TRUE(info(tab, "─── File transfer ended ───"));
    const fs::path downloads = dir.path() / "data" / "downloads";
    EXPECT_TRUE(read_file(downloads / "über-payload.bin") == content)
        << "received " << read_file(downloads / "über-payload.bin").size() << " bytes; "
        << peer->log();
    EXPECT_EQ(read_file(downloads / "second.bin"), "second");
    json last;
    for (const auto& c : host.page_calls()) {
        if (testing::HostProcess::is_call(c, "xferOnEvent", tab)) last = c["args"][1];
    }
    EXPECT_EQ(last["kind"], "done");
    EXPECT_EQ(last["ok"], true);
}

TEST_F(XferOverTcp, AFileSentToRzOnTheConnectionArrivesWhole) {
    TERMIVA_REQUIRE_PROGRAM(rz, "rz");
    const std::string content = random_bytes(200'000);
    const fs::path source = dir.path() / "格式 upload.bin";
    { std::ofstream(source, std::ios::binary) << content; }
    std::string tab = open_on(rz.string());
    EXPECT_TRUE(testing::eventually(
        [&] {
            for (const auto& c : host.page_calls()) {
                if (testing::HostProcess::is_call(c, "xferOnEvent", tab) &&
                    c["args"][1]["kind"] == "receiver_waiting")
                    return true;
            }
            return false;
        },
        10s));
    json r =
        host.call("xfer_start", {tab, "zmodem", "send", json::array({testing::host_path(source)})});
    ASSERT_EQ(r["ok"], true) << r.dump();
    EXPECT_TRUE(info(tab, "─── File transfer ended ───"));
    EXPECT_TRUE(testing::eventually(
        [&] {
            std::error_code ec;
            return fs::file_size(work / "格式 upload.bin", ec) == content.size() && !ec;
        },
        10s));
    EXPECT_TRUE(read_file(work / "格式 upload.bin") == content)
        << "received " << read_file(work / "格式 upload.bin").size() << " bytes; " << peer->log();
}

}  // namespace
}  // namespace termiva
