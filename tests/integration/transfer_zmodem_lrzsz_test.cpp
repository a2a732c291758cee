// Our ZMODEM engine against lrzsz's sz and rz, over a socketpair and a socat pty pair.
#include <gtest/gtest.h>

#include "integration/transfer_lrzsz_support.h"
#include "support/test_support.h"

namespace termiva::testing {
namespace {

using namespace std::chrono;
namespace fs = std::filesystem;

class ZmodemWithLrzsz : public ::testing::Test {
protected:
    void SetUp() override {
        src = tmp.path() / "src";
        dst = tmp.path() / "dst";
        fs::create_directories(src);
        fs::create_directories(dst);
    }

    std::vector<std::string> write_sources(const std::vector<NamedContent>& files) {
        std::vector<std::string> paths;
        for (const auto& f : files) {
            write_file(src / f.name, f.content);
            paths.push_back((src / f.name).string());
        }
        return paths;
    }

    void expect_arrived(const std::vector<NamedContent>& files) {
        for (const auto& f : files) {
            ASSERT_TRUE(fs::exists(dst / f.name)) << f.name;
            EXPECT_TRUE(read_file(dst / f.name) == f.content) << f.name << " differs";
        }
    }

    PeerRun send_to_rz(const std::vector<NamedContent>& files,
                       std::vector<std::string> rz_options = {},
                       LinkKind link = LinkKind::SocketPair) {
        PeerRunPlan plan;
        plan.peer_argv = {"rz", "-b"};
        plan.peer_argv.insert(plan.peer_argv.end(), rz_options.begin(), rz_options.end());
        plan.peer_cwd = dst;
        plan.protocol = "zmodem";
        plan.direction = "send";
        plan.files = write_sources(files);
        plan.link = link;
        return run_with_peer(plan);
    }

    PeerRun receive_from_sz(const std::vector<NamedContent>& files,
                            std::vector<std::string> sz_options = {},
                            LinkKind link = LinkKind::SocketPair) {
        PeerRunPlan plan;
        plan.peer_argv = {"sz", "-b"};
        plan.peer_argv.insert(plan.peer_argv.end(), sz_options.begin(), sz_options.end());
        for (const auto& p : write_sources(files))
            plan.peer_argv.push_back(p);
        plan.peer_cwd = src;
        plan.protocol = "zmodem";
        plan.direction = "recv";
        plan.save_dir = dst.string();
        plan.link = link;
        return run_with_peer(plan);
    }

    static void expect_success(const PeerRun& run) {
        ASSERT_TRUE(run.done.has_value()) << "no done event; peer said:\n" << run.peer_log;
        EXPECT_TRUE(run.done->at("ok").get<bool>()) << run.done->dump() << "\npeer said:\n"
                                                    << run.peer_log;
        EXPECT_EQ(run.peer_status, std::optional<int>(0)) << run.peer_log;
    }

    TempDir tmp;
    fs::path src;
    fs::path dst;
};

TEST_F(ZmodemWithLrzsz, SendsABatchOfEveryEdgeSizeToRz) {
    TERMIVA_REQUIRE_PROGRAM(rz, "rz");
    auto files = standard_files();
    PeerRun run = send_to_rz(files);
    expect_success(run);
    expect_arrived(files);
    EXPECT_EQ(run.done->at("files").size(), files.size());
}

TEST_F(ZmodemWithLrzsz, ReceivesABatchOfEveryEdgeSizeFromSz) {
    TERMIVA_REQUIRE_PROGRAM(sz, "sz");
    auto files = standard_files();
    PeerRun run = receive_from_sz(files);
    expect_success(run);
    expect_arrived(files);
    EXPECT_EQ(run.done->at("files").size(), files.size());
}

TEST_F(ZmodemWithLrzsz, SendsAndReceivesOneMebibyteOfRandomBytes) {
    TERMIVA_REQUIRE_PROGRAM(sz, "sz");
    TERMIVA_REQUIRE_PROGRAM(rz, "rz");
    std::vector<NamedContent> big{{"big.bin", random_bytes(1 << 20, 7)}};
    expect_success(send_to_rz(big));
    expect_arrived(big);
    fs::remove(dst / "big.bin");
    expect_success(receive_from_sz(big));
    expect_arrived(big);
}

TEST_F(ZmodemWithLrzsz, WorksOverAPtyPairBothWays) {
    TERMIVA_REQUIRE_PROGRAM(sz, "sz");
    TERMIVA_REQUIRE_PROGRAM(socat, "socat");
    std::vector<NamedContent> files{
        {"a.bin", random_bytes(70000, 8)}, {"b.bin", every_byte_value()}, {"c.bin", "x"}};
    expect_success(send_to_rz(files, {}, LinkKind::PtyPair));
    expect_arrived(files);
    for (const auto& f : files)
        fs::remove(dst / f.name);
    expect_success(receive_from_sz(files, {}, LinkKind::PtyPair));
    expect_arrived(files);
}

TEST_F(ZmodemWithLrzsz, ReceivesCrc16FramesAndAnswersAWindowingSender) {
    TERMIVA_REQUIRE_PROGRAM(sz, "sz");
    std::vector<NamedContent> files{{"w.bin", random_bytes(50000, 9)}};
    // -o: 16-bit CRCs; -w: the sender waits for our acknowledgements every 4 KiB.
    expect_success(receive_from_sz(files, {"-o", "-w", "4096"}));
    expect_arrived(files);
}

TEST_F(ZmodemWithLrzsz, EscapesControlCharactersWhenRzAsks) {
    TERMIVA_REQUIRE_PROGRAM(rz, "rz");
    std::vector<NamedContent> files{{"e.bin", every_byte_value()}};
    expect_success(send_to_rz(files, {"-e"}));
    expect_arrived(files);
}

TEST_F(ZmodemWithLrzsz, ResumesWhereRzAlreadyHasPartOfTheFile) {
    TERMIVA_REQUIRE_PROGRAM(rz, "rz");
    std::string content = random_bytes(200000, 10);
    write_file(dst / "r.bin", content.substr(0, 120000));
    std::vector<NamedContent> files{{"r.bin", content}};
    PeerRun run = send_to_rz(files, {"-r"});
    expect_success(run);
    expect_arrived(files);
    // Only the missing part crossed the link.
    EXPECT_LT(run.bytes_to_peer, 120000u) << "sent " << run.bytes_to_peer;
}

TEST_F(ZmodemWithLrzsz, RepairsAByteDamagedOnTheWayToRz) {
    TERMIVA_REQUIRE_PROGRAM(rz, "rz");
    std::vector<NamedContent> files{{"d.bin", random_bytes(300000, 11)}};
    PeerRun clean = send_to_rz(files);
    expect_success(clean);
    fs::remove(dst / "d.bin");

    PeerRunPlan plan;
    plan.peer_argv = {"rz", "-b"};
    plan.peer_cwd = dst;
    plan.protocol = "zmodem";
    plan.direction = "send";
    plan.files = write_sources(files);
    plan.during = [](LrzszPeer& peer, XYZModemTransfer&, TransferEventLog&) {
        peer.corrupt_outgoing_at(150000);
    };
    PeerRun run = run_with_peer(plan);
    expect_success(run);
    expect_arrived(files);
    // The same file went out again from the damaged place: more bytes than a clean run.
    EXPECT_GT(run.bytes_to_peer, clean.bytes_to_peer) << "nothing was repeated";
}

TEST_F(ZmodemWithLrzsz, RepairsAByteDamagedOnTheWayFromSz) {
    TERMIVA_REQUIRE_PROGRAM(sz, "sz");
    std::vector<NamedContent> files{{"d.bin", random_bytes(300000, 12)}};
    PeerRunPlan plan;
    plan.peer_argv = {"sz", "-b", (src / "d.bin").string()};
    write_sources(files);
    plan.peer_cwd = src;
    plan.protocol = "zmodem";
    plan.direction = "recv";
    plan.save_dir = dst.string();
    plan.during = [](LrzszPeer& peer, XYZModemTransfer&, TransferEventLog&) {
        peer.corrupt_incoming_at(150000);
    };
    PeerRun run = run_with_peer(plan);
    expect_success(run);
    expect_arrived(files);
}

TEST_F(ZmodemWithLrzsz, EndsWithinTheTimeOutWhenSzIsKilled) {
    TERMIVA_REQUIRE_PROGRAM(sz, "sz");
    write_file(src / "k.bin", random_bytes(4 << 20, 13));
    PeerRunPlan plan;
    plan.peer_argv = {"sz", "-b", "-w", "16384", (src / "k.bin").string()};
    plan.peer_cwd = src;
    plan.protocol = "zmodem";
    plan.direction = "recv";
    plan.save_dir = dst.string();
    bool moving = false;
    kill_peer_when_moving(plan, moving, milliseconds(5), 20000);
    PeerRun run = run_with_peer(plan);
    ASSERT_TRUE(moving);
    ASSERT_TRUE(run.done.has_value()) << "no done event within the time-out";
    EXPECT_FALSE(run.done->at("ok").get<bool>());
    EXPECT_FALSE(run.done->value("reason", "").empty());
    // Nothing half received under the final name, nor anything else left behind.
    EXPECT_TRUE(fs::is_empty(dst));
}

TEST_F(ZmodemWithLrzsz, EndsWithinTheTimeOutWhenRzIsKilled) {
    TERMIVA_REQUIRE_PROGRAM(rz, "rz");
    PeerRunPlan plan;
    plan.peer_argv = {"rz", "-b", "-w", "16384"};
    plan.peer_cwd = dst;
    plan.protocol = "zmodem";
    plan.direction = "send";
    plan.files = write_sources({{"k.bin", random_bytes(4 << 20, 14)}});
    bool moving = false;
    kill_peer_when_moving(plan, moving, milliseconds(5), 20000);
    PeerRun run = run_with_peer(plan);
    ASSERT_TRUE(moving);
    ASSERT_TRUE(run.done.has_value()) << "no done event within the time-out";
    EXPECT_FALSE(run.done->at("ok").get<bool>());
    EXPECT_FALSE(run.done->value("reason", "").empty());
}

TEST_F(ZmodemWithLrzsz, CancelMakesSzAbortAndLeavesNoFile) {
    TERMIVA_REQUIRE_PROGRAM(sz, "sz");
    write_file(src / "c.bin", random_bytes(8 << 20, 15));
    PeerRunPlan plan;
    plan.peer_argv = {"sz", "-b", (src / "c.bin").string()};
    plan.peer_cwd = src;
    plan.protocol = "zmodem";
    plan.direction = "recv";
    plan.save_dir = dst.string();
    plan.done_within = seconds(10);
    plan.during = [&](LrzszPeer& peer, XYZModemTransfer& job, TransferEventLog& log) {
        peer.slow_down(milliseconds(5));
        ASSERT_TRUE(wait_progress(log, 20000, seconds(10)));
        job.cancel();
    };
    PeerRun run = run_with_peer(plan);
    ASSERT_TRUE(run.done.has_value());
    EXPECT_FALSE(run.done->at("ok").get<bool>());
    EXPECT_EQ(run.done->value("reason", ""), "cancelled");
    ASSERT_TRUE(run.peer_status.has_value()) << "sz did not stop";
    EXPECT_NE(*run.peer_status, 0);
    EXPECT_TRUE(fs::is_empty(dst));
}

TEST_F(ZmodemWithLrzsz, CancelMakesRzAbort) {
    TERMIVA_REQUIRE_PROGRAM(rz, "rz");
    PeerRunPlan plan;
    plan.peer_argv = {"rz", "-b"};
    plan.peer_cwd = dst;
    plan.protocol = "zmodem";
    plan.direction = "send";
    plan.files = write_sources({{"c.bin", random_bytes(8 << 20, 16)}});
    plan.done_within = seconds(10);
    plan.during = [&](LrzszPeer& peer, XYZModemTransfer& job, TransferEventLog& log) {
        peer.slow_down(milliseconds(5));
        ASSERT_TRUE(wait_progress(log, 20000, seconds(10)));
        job.cancel();
    };
    PeerRun run = run_with_peer(plan);
    ASSERT_TRUE(run.done.has_value());
    EXPECT_EQ(run.done->value("reason", ""), "cancelled");
    ASSERT_TRUE(run.peer_status.has_value()) << "rz did not stop";
    EXPECT_NE(*run.peer_status, 0);
}

TEST_F(ZmodemWithLrzsz, AHostileSenderPathLandsAsABaseNameInTheFolder) {
    TERMIVA_REQUIRE_PROGRAM(sz, "sz");
    fs::create_directories(src / "a" / "b");
    write_file(src / "x", "hostile");
    PeerRunPlan plan;
    // -f sends the path as given: "../../x" from src/a/b.
    plan.peer_argv = {"sz", "-b", "-f", "../../x"};
    plan.peer_cwd = src / "a" / "b";
    plan.protocol = "zmodem";
    plan.direction = "recv";
    plan.save_dir = (dst / "in").string();
    PeerRun run = run_with_peer(plan);
    expect_success(run);
    EXPECT_EQ(read_file(dst / "in" / "x"), "hostile");
    EXPECT_FALSE(fs::exists(dst / "x"));
    EXPECT_FALSE(fs::exists(tmp.path() / "x"));
}

TEST_F(ZmodemWithLrzsz, NeverOverwritesAnExistingFile) {
    TERMIVA_REQUIRE_PROGRAM(sz, "sz");
    write_file(dst / "same.bin", "already here");
    std::vector<NamedContent> files{{"same.bin", "new content"}};
    expect_success(receive_from_sz(files));
    EXPECT_EQ(read_file(dst / "same.bin"), "already here");
    EXPECT_EQ(read_file(dst / "same (1).bin"), "new content");
}

}  // namespace
}  // namespace termiva::testing
