// What a job hands back once it has ended: the bytes behind the last byte of each
// protocol's session end, whether they came in the same chunk or later, with ZMODEM's
// closing "OO" whole, partial or missing, and after a peer's abort.
#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <random>
#include <sstream>

#include "support/test_support.h"
#include "transfer/xmodem_block.h"
#include "transfer/xyzmodem_transfer.h"
#include "transfer/zmodem_frame.h"
#include "unit/transfer_event_log.h"
#include "unit/transfer_test_helpers.h"

namespace termiva {
namespace {

using namespace std::chrono;
namespace fs = std::filesystem;
namespace zm = xfer::zm;
namespace xm = xfer::xm;
using termiva::testing::TempDir;
using termiva::testing::TransferEventLog;

using termiva::testing::fast_options;
using termiva::testing::random_content;
using termiva::testing::slurp;

// A whole ZMODEM upload of one small file as a sender puts it on the wire, up to and
// including its ZFIN (hex, so CR LF close it). The receiver reads it in one piece.
std::string zmodem_upload(const std::string& name, const std::string& content) {
    zm::Escaper esc;
    auto size = static_cast<std::uint32_t>(content.size());
    std::string s = zm::hex_header(zm::Header::at(zm::ZRQINIT, 0));
    s += zm::binary_header(zm::Header::with_flags(zm::ZFILE, zm::ZCBIN), true, esc);
    std::string info = name;
    info += '\0';
    info += std::to_string(size) + " 0 644 0 1 " + std::to_string(size);
    info += '\0';
    zm::append_subpacket(s, info, zm::ZCRCW, true, esc);
    s += zm::binary_header(zm::Header::at(zm::ZDATA, 0), true, esc);
    zm::append_subpacket(s, content, zm::ZCRCE, true, esc);
    s += zm::binary_header(zm::Header::at(zm::ZEOF, size), true, esc);
    s += zm::hex_header(zm::Header::at(zm::ZFIN, 0));
    return s;
}

// One job driven by a test: what it sends is collected, its events logged.
struct Driven {
    Driven(const std::string& protocol, const std::string& direction,
           std::optional<std::vector<std::string>> files, std::optional<std::string> dir)
        : job(
              protocol, direction,
              [this](std::string_view b) {
                  std::lock_guard lock(mutex);
                  sent.append(b);
              },
              log.sink(), std::move(files), std::move(dir), fast_options()) {
        job.start();
    }
    ~Driven() { job.cancel(); }
    std::string sent_so_far() {
        std::lock_guard lock(mutex);
        return sent;
    }

    TransferEventLog log;
    std::mutex mutex;
    std::string sent;
    XYZModemTransfer job;
};

struct Ending {
    const char* what;
    std::string after_fin;    // what the sender puts behind its ZFIN
    std::string handed_back;  // what the receiver must not use
};

TEST(TransferTail, ZmodemReceiverHandsBackWhatFollowsItsSessionEnd) {
    const std::string content = random_content(3000, 7) + "OO\x18OO";
    const std::vector<Ending> endings{
        {"OO then a prompt", "OOAFTER-MARK\r\n$ ", "AFTER-MARK\r\n$ "},
        {"no OO", "AFTER-MARK\r\n$ ", "AFTER-MARK\r\n$ "},
        {"one O", "O$ ", "$ "},
        {"text starting with O", "OOOOPS\r\n", "OOPS\r\n"},
        {"a partial frame and binary bytes",
         "OO**\x18"
         "B0\xff\x01",
         "**\x18"
         "B0\xff\x01"},
        {"OO alone", "OO", ""},
        {"nothing", "", ""},
    };
    for (const auto& e : endings) {
        TempDir tmp;
        Driven r("zmodem", "recv", std::nullopt, tmp.path().string());
        // The whole session and what follows arrive as one chunk.
        r.job.feed(zmodem_upload("tail.bin", content) + e.after_fin);
        auto done = r.log.wait_done(seconds(5));
        ASSERT_TRUE(done.has_value()) << e.what;
        EXPECT_TRUE(done->at("ok").get<bool>()) << e.what << " " << done->dump();
        EXPECT_EQ(slurp(tmp.path() / "tail.bin"), content) << e.what;
        EXPECT_EQ(r.job.take_unused(), e.handed_back) << e.what;
        // Each byte once; later bytes follow in order.
        EXPECT_EQ(r.job.take_unused(), "") << e.what;
        r.job.feed("later ");
        r.job.feed("bytes");
        EXPECT_EQ(r.job.take_unused(), "later bytes") << e.what;
    }
}

TEST(TransferTail, ZmodemReceiverFedOneByteAtATimeStillStopsAtTheEnd) {
    TempDir tmp;
    const std::string content = random_content(500, 8);
    Driven r("zmodem", "recv", std::nullopt, tmp.path().string());
    std::string wire = zmodem_upload("slow.bin", content) + "OO$ ";
    for (char c : wire) {
        r.job.feed(std::string_view(&c, 1));
        if (r.job.is_done()) break;
    }
    auto done = r.log.wait_done(seconds(5));
    ASSERT_TRUE(done.has_value());
    EXPECT_TRUE(done->at("ok").get<bool>()) << done->dump();
    EXPECT_EQ(slurp(tmp.path() / "slow.bin"), content);
    EXPECT_EQ(r.job.take_unused(), "$ ");
}

TEST(TransferTail, NothingIsHandedBackWhileTheJobRuns) {
    TempDir tmp;
    Driven r("zmodem", "recv", std::nullopt, tmp.path().string());
    std::string wire = zmodem_upload("run.bin", "abc");
    r.job.feed(wire.substr(0, wire.size() / 2));
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_FALSE(r.job.is_done());
    EXPECT_EQ(r.job.take_unused(), "");
    r.job.feed(wire.substr(wire.size() / 2) + "OO#");
    ASSERT_TRUE(r.log.wait_done(seconds(5)).has_value());
    EXPECT_EQ(r.job.take_unused(), "#");
}

// Both of our ZMODEM sides, each peer's last words arriving in one chunk with text behind.
TEST(TransferTail, ZmodemBothSidesHandBackTheTextBehindThePeersLastBytes) {
    TempDir tmp;
    fs::create_directories(tmp.path() / "dst");
    const std::string content = random_content(70000, 9);
    auto source = tmp.path() / "both.bin";
    std::ofstream(source, std::ios::binary) << content;

    const std::string zfin = zm::hex_header(zm::Header::at(zm::ZFIN, 0));
    const std::string to_sender = "rz done\r\n$ ";
    const std::string to_receiver = "sz done\r\n$ ";
    TransferEventLog send_log, recv_log;
    std::unique_ptr<XYZModemTransfer> sender, receiver;
    sender = std::make_unique<XYZModemTransfer>(
        "zmodem", "send",
        [&](std::string_view b) {
            receiver->feed(b == "OO" ? std::string(b) + to_receiver : std::string(b));
        },
        send_log.sink(), std::vector<std::string>{source.string()}, std::nullopt, fast_options());
    receiver = std::make_unique<XYZModemTransfer>(
        "zmodem", "recv",
        [&](std::string_view b) {
            sender->feed(b == zfin ? std::string(b) + to_sender : std::string(b));
        },
        recv_log.sink(), std::nullopt, (tmp.path() / "dst").string(), fast_options());
    receiver->start();
    sender->start();
    auto send_done = send_log.wait_done(seconds(20));
    auto recv_done = recv_log.wait_done(seconds(20));
    ASSERT_TRUE(send_done && recv_done);
    EXPECT_TRUE(send_done->at("ok").get<bool>()) << send_done->dump();
    EXPECT_TRUE(recv_done->at("ok").get<bool>()) << recv_done->dump();
    EXPECT_TRUE(slurp(tmp.path() / "dst" / "both.bin") == content);
    EXPECT_EQ(sender->take_unused(), to_sender);
    EXPECT_EQ(receiver->take_unused(), to_receiver);
    sender.reset();
    receiver.reset();
}

std::string checksum_block(std::uint8_t seq, std::string_view data, bool crc) {
    return xm::build_block(seq, xm::padded(data, xm::SHORT_BLOCK), crc);
}

TEST(TransferTail, XmodemReceiverHandsBackWhatFollowsTheSecondEot) {
    for (const char* protocol : {"xmodem", "xmodem-crc"}) {
        TempDir tmp;
        bool crc = std::string(protocol) == "xmodem-crc";
        Driven r(protocol, "recv", std::nullopt, tmp.path().string());
        r.job.feed(checksum_block(1, "hello", crc) + "\x04\x04" + "AFTER\x04" + "MARK");
        auto done = r.log.wait_done(seconds(5));
        ASSERT_TRUE(done.has_value()) << protocol;
        EXPECT_TRUE(done->at("ok").get<bool>()) << protocol << " " << done->dump();
        EXPECT_EQ(slurp(tmp.path() / "xmodem-received.bin"), xm::padded("hello", 128));
        EXPECT_EQ(r.job.take_unused(), "AFTER\x04MARK") << protocol;
    }
}

TEST(TransferTail, YmodemReceiverHandsBackWhatFollowsTheClosingBlock) {
    TempDir tmp;
    const std::string content = random_content(1500, 10);
    Driven r("ymodem", "recv", std::nullopt, tmp.path().string());
    std::string wire =
        xm::build_block(0, xm::header_payload("y.bin", content.size(), 0, 0644), true);
    wire += xm::build_block(1, xm::padded(content.substr(0, 1024), 1024), true);
    wire += xm::build_block(2, xm::padded(content.substr(1024), 1024), true);
    wire += "\x04\x04";
    wire += xm::build_block(0, std::string(128, '\0'), true);
    r.job.feed(wire + "\x01\x02$ ");
    auto done = r.log.wait_done(seconds(5));
    ASSERT_TRUE(done.has_value());
    EXPECT_TRUE(done->at("ok").get<bool>()) << done->dump();
    EXPECT_EQ(slurp(tmp.path() / "y.bin"), content);
    EXPECT_EQ(r.job.take_unused(), "\x01\x02$ ");
}

struct SenderEnding {
    const char* protocol;
    std::string answers;  // the receiver's whole side, up to its last byte
};

TEST(TransferTail, BlockSendersHandBackWhatFollowsTheLastAnswer) {
    // 300 bytes: three 128-byte blocks for XMODEM-CRC, one 1024-byte block for YMODEM.
    const std::vector<SenderEnding> cases{
        {"xmodem-crc", "C\x06\x06\x06\x06"},
        {"ymodem",
         "C\x06"
         "C\x06\x06"
         "C\x06"},
        // YMODEM-G acknowledges only the end of file and the closing block.
        {"ymodem-g", "GG\x06G\x06"},
        // ... and may leave the closing block unacknowledged.
        {"ymodem-g", "GG\x06G"},
    };
    for (const auto& c : cases) {
        TempDir tmp;
        auto source = tmp.path() / "s.bin";
        std::ofstream(source, std::ios::binary) << random_content(300, 11);
        Driven s(c.protocol, "send", std::vector<std::string>{source.string()}, std::nullopt);
        s.job.feed(c.answers + "$ prompt");
        auto done = s.log.wait_done(seconds(5));
        ASSERT_TRUE(done.has_value()) << c.protocol;
        EXPECT_TRUE(done->at("ok").get<bool>()) << c.protocol << " " << done->dump();
        EXPECT_EQ(s.job.take_unused(), "$ prompt") << c.protocol << " " << c.answers.size();
    }
}

TEST(TransferTail, APeersAbortIsFollowedByItsShellAgain) {
    TempDir tmp;
    Driven r("xmodem", "recv", std::nullopt, tmp.path().string());
    r.job.feed("\x18\x18$ ");
    auto done = r.log.wait_done(seconds(5));
    ASSERT_TRUE(done.has_value());
    EXPECT_FALSE(done->at("ok").get<bool>());
    EXPECT_EQ(r.job.take_unused(), "$ ");
}

TEST(TransferTail, AJobCancelledBeforeItStartedHandsBackWhatItWasFed) {
    TempDir tmp;
    TransferEventLog log;
    XYZModemTransfer job(
        "zmodem", "recv", [](std::string_view) {}, log.sink(), std::nullopt, tmp.path().string(),
        fast_options());
    job.feed("early ");
    job.cancel();
    job.feed("late");
    EXPECT_TRUE(job.is_done());
    EXPECT_EQ(job.take_unused(), "early late");
}

}  // namespace
}  // namespace termiva
