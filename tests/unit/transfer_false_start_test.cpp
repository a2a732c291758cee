// A receive begun by what looked like a ZMODEM sender's start header may be a console
// that printed those bytes among its own: it gives up within its limits, says nothing
// to the peer that a console would print, and hands back every byte it read so that the
// terminal shows them. A real sender gets past the check unharmed.
#include <gtest/gtest.h>

#include <mutex>

#include "support/test_support.h"
#include "transfer/xyzmodem_transfer.h"
#include "transfer/zmodem_frame.h"
#include "unit/transfer_event_log.h"
#include "unit/transfer_test_helpers.h"

namespace termiva {
namespace {

using namespace std::chrono;
namespace fs = std::filesystem;
namespace zm = xfer::zm;
using termiva::testing::fast_options;
using termiva::testing::random_content;
using termiva::testing::TempDir;
using termiva::testing::TransferEventLog;

TransferOptions auto_receive(milliseconds wait) {
    TransferOptions options = fast_options();
    options.false_start_wait = wait;
    options.false_start_errors = 3;
    return options;
}

struct FalseStartRun {
    nlohmann::json done;
    std::string sent;      // everything the job said to the peer
    std::string given;     // what it handed back
    std::size_t files{0};  // left in the receive folder
};

// Feeds `pieces` one after the other, `gap` apart, and waits for the job's end.
FalseStartRun run(const std::vector<std::string>& pieces, TransferOptions options,
                  milliseconds gap = milliseconds(0)) {
    TempDir dir;
    TransferEventLog log;
    std::mutex sent_lock;
    FalseStartRun out;
    {
        XYZModemTransfer job(
            "zmodem", "recv",
            [&](std::string_view bytes) {
                std::lock_guard lock(sent_lock);
                out.sent.append(bytes);
            },
            log.sink(), std::nullopt, dir.path().string(), options);
        job.start();
        for (const auto& piece : pieces) {
            job.feed(piece);
            std::this_thread::sleep_for(gap);
        }
        auto done = log.wait_done(seconds(30));
        if (done) out.done = *done;
        out.given = job.take_unused();
    }
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path()))
        ++out.files;
    return out;
}

std::string start_header() {
    return zm::hex_header(zm::Header::at(zm::ZRQINIT, 0));
}

TEST(ZmodemFalseStart, GarbageAfterTheStartIsGivenUpOnAndHandedBackWhole) {
    // What a board prints: the start pattern, then its boot messages, some of which look
    // like broken headers.
    const std::string fed_first =
        "**\x18"
        "B00 boot: rst cause 0x1\r\n";
    const std::string fed_then =
        "**\x18"
        "B0zz broken\r\n**\x18"
        "Bqq\r\nload 0x40080000 ready\r\n";
    FalseStartRun r = run({fed_first, fed_then}, auto_receive(seconds(20)), milliseconds(50));
    ASSERT_FALSE(r.done.is_null()) << "the job never ended";
    EXPECT_FALSE(r.done.value("ok", true));
    EXPECT_EQ(r.done.value("reason_code", ""), "false_start") << r.done.dump();
    EXPECT_FALSE(r.done.value("abort_sent", false)) << r.done.dump();
    EXPECT_EQ(r.sent.find('\x18' + std::string("\x18\x18\x18\x18")), std::string::npos)
        << "an abort went to what was no sender";
    EXPECT_EQ(r.given, fed_first + fed_then);
    EXPECT_EQ(r.files, 0u);
}

TEST(ZmodemFalseStart, AStartThatIsOnlyEverRepeatedOrEchoedEndsAtTheTimeLimit) {
    // Our own start answer, echoed back by a shell, is no sign of a sender either.
    const std::string echoed =
        zm::hex_header(zm::Header::with_flags(zm::ZRINIT, zm::CANFDX | zm::CANOVIO));
    const std::string fed = start_header() + "some text\r\n" + echoed + start_header();
    const auto began = steady_clock::now();
    FalseStartRun r = run({fed}, auto_receive(milliseconds(600)));
    EXPECT_EQ(r.done.value("reason_code", ""), "false_start") << r.done.dump();
    EXPECT_EQ(r.given, fed);
    // Well before the retries a user-started receive would spend (4 x 500 ms here).
    EXPECT_LT(steady_clock::now() - began, seconds(10));
}

TEST(ZmodemFalseStart, AFloodWithoutHeadersIsNoStart) {
    const std::string flood = "**\x18" + std::string(600 * 1024, 'y');
    FalseStartRun r = run({flood}, auto_receive(seconds(20)));
    EXPECT_EQ(r.done.value("reason_code", ""), "false_start") << r.done.dump();
    EXPECT_EQ(r.given.size(), flood.size());
    EXPECT_EQ(r.given, flood);
}

TEST(ZmodemFalseStart, ARealSenderIsReceivedAsWithoutTheCheck) {
    const std::string content = random_content(50000, 9);
    zm::Escaper esc;
    std::string session = start_header();
    session += zm::binary_header(zm::Header::with_flags(zm::ZFILE, zm::ZCBIN), true, esc);
    std::string info = "real.bin";
    info.push_back('\0');
    info += "50000 0 100644";
    info.push_back('\0');
    zm::append_subpacket(session, info, zm::ZCRCW, true, esc);
    const std::size_t file_told = session.size();
    session += zm::binary_header(zm::Header::at(zm::ZDATA, 0), true, esc);
    for (std::size_t at = 0; at < content.size(); at += zm::MAX_SUBPACKET) {
        const bool last = at + zm::MAX_SUBPACKET >= content.size();
        zm::append_subpacket(session, std::string_view(content).substr(at, zm::MAX_SUBPACKET),
                             last ? zm::ZCRCE : zm::ZCRCG, true, esc);
    }
    session += zm::hex_header(zm::Header::at(zm::ZEOF, 50000));
    session += zm::hex_header(zm::Header::at(zm::ZFIN, 0));
    // The data comes later than the false-start limit: once the file is announced, the
    // start was real and the limit is over.
    FalseStartRun r = run({session.substr(0, file_told), session.substr(file_told)},
                          auto_receive(milliseconds(400)), milliseconds(600));
    EXPECT_TRUE(r.done.value("ok", false)) << r.done.dump();
    EXPECT_EQ(r.files, 1u);
    EXPECT_TRUE(r.given.empty()) << r.given.size() << " bytes handed back";
}

}  // namespace
}  // namespace termiva
