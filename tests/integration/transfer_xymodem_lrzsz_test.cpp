// Our XMODEM, XMODEM-CRC, XMODEM-1K, YMODEM and YMODEM-G engines against lrzsz's
// sx/rx/sb/rb. XMODEM cannot carry a file's length: the last block is padded with SUB
// and both lrzsz and we keep that padding, so XMODEM contents are compared as "the file,
// then only SUB up to a whole block".
#include <gtest/gtest.h>

#include <future>

#include "integration/transfer_lrzsz_support.h"
#include "support/test_support.h"

namespace termiva::testing {
namespace {

using namespace std::chrono;
namespace fs = std::filesystem;

void expect_padded_copy(const std::string& got, const std::string& sent, const std::string& what) {
    ASSERT_GE(got.size(), sent.size()) << what;
    EXPECT_TRUE(got.compare(0, sent.size(), sent) == 0) << what << " differs";
    EXPECT_EQ(got.size() % 128, 0u) << what;
    EXPECT_LT(got.size() - sent.size(), 1024u) << what;
    EXPECT_EQ(got.find_first_not_of('\x1a', sent.size()), std::string::npos) << what;
}

void expect_success(const PeerRun& run) {
    ASSERT_TRUE(run.done.has_value()) << "no done event; peer said:\n" << run.peer_log;
    EXPECT_TRUE(run.done->at("ok").get<bool>()) << run.done->dump() << "\npeer said:\n"
                                                << run.peer_log;
    EXPECT_EQ(run.peer_status, std::optional<int>(0)) << run.peer_log;
}

class BlockProtocolsWithLrzsz : public ::testing::Test {
protected:
    void SetUp() override {
        src = tmp.path() / "src";
        dst = tmp.path() / "dst";
        fs::create_directories(src);
        fs::create_directories(dst);
    }

    std::string source(const NamedContent& f) {
        write_file(src / f.name, f.content);
        return (src / f.name).string();
    }

    PeerRun send(const std::string& protocol, std::vector<std::string> peer_argv,
                 const std::vector<NamedContent>& files, fs::path peer_dir) {
        PeerRunPlan plan;
        plan.peer_argv = std::move(peer_argv);
        plan.peer_cwd = peer_dir;
        plan.protocol = protocol;
        plan.direction = "send";
        plan.files.emplace();
        for (const auto& f : files)
            plan.files->push_back(source(f));
        return run_with_peer(plan);
    }

    PeerRun receive(const std::string& protocol, std::vector<std::string> peer_argv,
                    const std::vector<NamedContent>& files, fs::path save_dir) {
        PeerRunPlan plan;
        plan.peer_argv = std::move(peer_argv);
        for (const auto& f : files)
            plan.peer_argv.push_back(source(f));
        plan.peer_cwd = src;
        plan.protocol = protocol;
        plan.direction = "recv";
        plan.save_dir = save_dir.string();
        return run_with_peer(plan);
    }

    TempDir tmp;
    fs::path src;
    fs::path dst;
};

struct XmodemCase {
    std::string protocol;
    std::vector<std::string> rx_options;  // what makes rx ask for this variant
    std::vector<std::string> sx_options;
};

void PrintTo(const XmodemCase& c, std::ostream* os) {
    *os << c.protocol;
}

class XmodemWithLrzsz : public BlockProtocolsWithLrzsz,
                        public ::testing::WithParamInterface<XmodemCase> {};

TEST_P(XmodemWithLrzsz, SendsEveryEdgeSizeToRx) {
    TERMIVA_REQUIRE_PROGRAM(rx, "rx");
    // rx lingers a second after each file, so the sizes run side by side.
    std::vector<std::future<void>> runs;
    for (const auto& f : standard_files()) {
        runs.push_back(std::async(std::launch::async, [this, f] {
            std::vector<std::string> argv{"rx", "-b"};
            argv.insert(argv.end(), GetParam().rx_options.begin(), GetParam().rx_options.end());
            argv.push_back(f.name);
            PeerRun run = send(GetParam().protocol, argv, {f}, dst);
            expect_success(run);
            expect_padded_copy(read_file(dst / f.name), f.content, f.name);
        }));
    }
    for (auto& r : runs)
        r.get();
}

TEST_P(XmodemWithLrzsz, ReceivesEveryEdgeSizeFromSx) {
    TERMIVA_REQUIRE_PROGRAM(sx, "sx");
    for (const auto& f : standard_files()) {
        std::vector<std::string> argv{"sx", "-b"};
        argv.insert(argv.end(), GetParam().sx_options.begin(), GetParam().sx_options.end());
        fs::path into = dst / f.name;
        PeerRun run = receive(GetParam().protocol, argv, {f}, into);
        expect_success(run);
        expect_padded_copy(read_file(into / "xmodem-received.bin"), f.content, f.name);
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, XmodemWithLrzsz,
                         ::testing::Values(XmodemCase{"xmodem", {}, {}},
                                           XmodemCase{"xmodem-crc", {"-c"}, {}},
                                           XmodemCase{"xmodem-1k", {"-c"}, {"-k"}}),
                         [](const auto& info) {
                             std::string name = info.param.protocol;
                             for (auto& c : name) {
                                 if (c == '-') c = '_';
                             }
                             return name;
                         });

TEST_F(BlockProtocolsWithLrzsz, Xmodem1kMovesOneMebibyteBothWays) {
    TERMIVA_REQUIRE_PROGRAM(sx, "sx");
    NamedContent big{"big.bin", random_bytes(1 << 20, 21)};
    expect_success(send("xmodem-1k", {"rx", "-b", "-c", "big.bin"}, {big}, dst));
    expect_padded_copy(read_file(dst / "big.bin"), big.content, "to rx");
    expect_success(receive("xmodem-1k", {"sx", "-b", "-k"}, {big}, dst / "in"));
    expect_padded_copy(read_file(dst / "in" / "xmodem-received.bin"), big.content, "from sx");
}

TEST_F(BlockProtocolsWithLrzsz, XmodemCrcRepairsADamagedByteEitherWay) {
    TERMIVA_REQUIRE_PROGRAM(sx, "sx");
    NamedContent file{"d.bin", random_bytes(20000, 22)};
    PeerRunPlan plan;
    plan.peer_argv = {"rx", "-b", "-c", "d.bin"};
    plan.peer_cwd = dst;
    plan.protocol = "xmodem-crc";
    plan.direction = "send";
    plan.files = std::vector<std::string>{source(file)};
    plan.during = [](LrzszPeer& peer, XYZModemTransfer&, TransferEventLog&) {
        peer.corrupt_outgoing_at(10000);
    };
    PeerRun run = run_with_peer(plan);
    expect_success(run);
    expect_padded_copy(read_file(dst / "d.bin"), file.content, "to rx");
    EXPECT_GT(run.bytes_to_peer, 20000u + 157 * 5 + 133) << "no block was repeated";

    plan.peer_argv = {"sx", "-b", source(file)};
    plan.peer_cwd = src;
    plan.direction = "recv";
    plan.files.reset();
    plan.save_dir = (dst / "in").string();
    plan.during = [](LrzszPeer& peer, XYZModemTransfer&, TransferEventLog&) {
        peer.corrupt_incoming_at(10000);
    };
    run = run_with_peer(plan);
    expect_success(run);
    expect_padded_copy(read_file(dst / "in" / "xmodem-received.bin"), file.content, "from sx");
}

TEST_F(BlockProtocolsWithLrzsz, XmodemEndsWithinTheTimeOutWhenSxIsKilled) {
    TERMIVA_REQUIRE_PROGRAM(sx, "sx");
    PeerRunPlan plan;
    plan.peer_argv = {"sx", "-b", source({"k.bin", random_bytes(1 << 20, 23)})};
    plan.peer_cwd = src;
    plan.protocol = "xmodem-crc";
    plan.direction = "recv";
    plan.save_dir = dst.string();
    bool moving = false;
    kill_peer_when_moving(plan, moving, milliseconds(2), 5000);
    PeerRun run = run_with_peer(plan);
    ASSERT_TRUE(moving);
    ASSERT_TRUE(run.done.has_value()) << "no done event within the time-out";
    EXPECT_FALSE(run.done->at("ok").get<bool>());
    EXPECT_TRUE(fs::is_empty(dst));
}

TEST_F(BlockProtocolsWithLrzsz, XmodemEndsWithinTheTimeOutWhenRxIsKilled) {
    TERMIVA_REQUIRE_PROGRAM(rx, "rx");
    PeerRunPlan plan;
    plan.peer_argv = {"rx", "-b", "-c", "k.bin"};
    plan.peer_cwd = dst;
    plan.protocol = "xmodem-1k";
    plan.direction = "send";
    plan.files = std::vector<std::string>{source({"k.bin", random_bytes(1 << 20, 28)})};
    bool moving = false;
    kill_peer_when_moving(plan, moving, milliseconds(2), 5000);
    PeerRun run = run_with_peer(plan);
    ASSERT_TRUE(moving);
    ASSERT_TRUE(run.done.has_value()) << "no done event within the time-out";
    EXPECT_FALSE(run.done->at("ok").get<bool>());
    EXPECT_FALSE(run.done->value("reason", "").empty());
}

TEST_F(BlockProtocolsWithLrzsz, CancelMakesSxAndRbStop) {
    TERMIVA_REQUIRE_PROGRAM(sx, "sx");
    TERMIVA_REQUIRE_PROGRAM(rb, "rb");
    auto cancel_when_moving = [](LrzszPeer& peer, XYZModemTransfer& job, TransferEventLog& log) {
        peer.slow_down(milliseconds(2));
        ASSERT_TRUE(wait_progress(log, 5000, seconds(10)));
        job.cancel();
    };
    PeerRunPlan plan;
    plan.peer_argv = {"sx", "-b", source({"c.bin", random_bytes(1 << 20, 24)})};
    plan.peer_cwd = src;
    plan.protocol = "xmodem-crc";
    plan.direction = "recv";
    plan.save_dir = dst.string();
    plan.done_within = seconds(10);
    plan.during = cancel_when_moving;
    PeerRun run = run_with_peer(plan);
    ASSERT_TRUE(run.done.has_value());
    EXPECT_EQ(run.done->value("reason", ""), "cancelled");
    ASSERT_TRUE(run.peer_status.has_value()) << "sx did not stop";
    EXPECT_NE(*run.peer_status, 0);
    EXPECT_TRUE(fs::is_empty(dst));

    plan.peer_argv = {"rb", "-b"};
    plan.peer_cwd = dst;
    plan.direction = "send";
    plan.files = std::vector<std::string>{(src / "c.bin").string()};
    plan.protocol = "ymodem";
    run = run_with_peer(plan);
    ASSERT_TRUE(run.done.has_value());
    EXPECT_EQ(run.done->value("reason", ""), "cancelled");
    ASSERT_TRUE(run.peer_status.has_value()) << "rb did not stop";
    EXPECT_NE(*run.peer_status, 0);
}

TEST_F(BlockProtocolsWithLrzsz, YmodemSendsEveryEdgeSizeInBatchesOfThreeToRb) {
    TERMIVA_REQUIRE_PROGRAM(rb, "rb");
    auto files = standard_files();
    // rb lingers two seconds after each file: two batches of three side by side.
    std::vector<std::future<void>> runs;
    for (std::size_t first : {0u, 3u}) {
        runs.push_back(std::async(std::launch::async, [&, first] {
            std::vector<NamedContent> batch(files.begin() + first, files.begin() + first + 3);
            fs::path into = dst / std::to_string(first);
            fs::create_directories(into);
            PeerRun run = send("ymodem", {"rb", "-b"}, batch, into);
            expect_success(run);
            EXPECT_EQ(run.done->at("files").size(), 3u);
            for (const auto& f : batch) {
                EXPECT_TRUE(read_file(into / f.name) == f.content) << f.name;
            }
        }));
    }
    for (auto& r : runs)
        r.get();
}

TEST_F(BlockProtocolsWithLrzsz, YmodemReceivesABatchOfEveryEdgeSizeFromSb) {
    TERMIVA_REQUIRE_PROGRAM(sb, "sb");
    auto files = standard_files();
    for (const auto& options :
         {std::vector<std::string>{"sb", "-b"}, std::vector<std::string>{"sb", "-b", "-k"}}) {
        fs::path into = dst / options.back();
        PeerRun run = receive("ymodem", options, files, into);
        expect_success(run);
        EXPECT_EQ(run.done->at("files").size(), files.size());
        for (const auto& f : files) {
            EXPECT_TRUE(read_file(into / f.name) == f.content) << f.name << " " << options.back();
        }
    }
}

TEST_F(BlockProtocolsWithLrzsz, YmodemMovesOneMebibyteBothWays) {
    TERMIVA_REQUIRE_PROGRAM(sb, "sb");
    NamedContent big{"big.bin", random_bytes(1 << 20, 25)};
    expect_success(send("ymodem", {"rb", "-b"}, {big}, dst));
    EXPECT_TRUE(read_file(dst / "big.bin") == big.content);
    expect_success(receive("ymodem", {"sb", "-b", "-k"}, {big}, dst / "in"));
    EXPECT_TRUE(read_file(dst / "in" / "big.bin") == big.content);
}

TEST_F(BlockProtocolsWithLrzsz, YmodemGStreamsABatchFromSb) {
    TERMIVA_REQUIRE_PROGRAM(sb, "sb");
    auto files = standard_files();
    files.push_back({"big.bin", random_bytes(1 << 20, 26)});
    PeerRun run = receive("ymodem-g", {"sb", "-b", "-k"}, files, dst);
    expect_success(run);
    for (const auto& f : files)
        EXPECT_TRUE(read_file(dst / f.name) == f.content) << f.name;
}

TEST_F(BlockProtocolsWithLrzsz, YmodemGSenderFollowsRbWhichAsksForAcknowledgedBlocks) {
    TERMIVA_REQUIRE_PROGRAM(rb, "rb");
    // rb never asks for streaming; the sender then acknowledges block by block.
    std::vector<NamedContent> files{
        {"a.bin", random_bytes(3000, 27)}, {"b.bin", ""}, {"c.bin", every_byte_value()}};
    PeerRun run = send("ymodem-g", {"rb", "-b"}, files, dst);
    expect_success(run);
    for (const auto& f : files)
        EXPECT_TRUE(read_file(dst / f.name) == f.content) << f.name;
}

TEST_F(BlockProtocolsWithLrzsz, YmodemHostileSenderPathLandsAsABaseName) {
    TERMIVA_REQUIRE_PROGRAM(sb, "sb");
    fs::create_directories(src / "a" / "b");
    write_file(src / "x", "hostile");
    PeerRunPlan plan;
    plan.peer_argv = {"sb", "-b", "-f", "../../x"};
    plan.peer_cwd = src / "a" / "b";
    plan.protocol = "ymodem";
    plan.direction = "recv";
    plan.save_dir = (dst / "in").string();
    PeerRun run = run_with_peer(plan);
    expect_success(run);
    EXPECT_EQ(read_file(dst / "in" / "x"), "hostile");
    EXPECT_FALSE(fs::exists(dst / "x"));
}

}  // namespace
}  // namespace termiva::testing
