// A ZMODEM sender is not trusted with memory or the disk: a file stops at its announced
// size, one without a size at the limit for such files, sizes that ZMODEM's 32-bit
// positions or the disk cannot hold are refused before the first byte, and the reader
// waits for the job instead of holding everything the peer sends. Whatever ends a
// receive, no partial file stays behind.
#include <gtest/gtest.h>

#include <future>
#include <optional>

#include "support/test_support.h"
#include "transfer/byte_link.h"
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

// The whole session of a sender that announces `size_field` (nothing: no size) and then
// sends `content` regardless, as one stream: ZRQINIT, ZFILE, ZDATA, ZEOF, ZFIN.
std::string lying_session(const std::optional<std::string>& size_field,
                          const std::string& content) {
    zm::Escaper esc;
    std::string out = zm::hex_header(zm::Header::at(zm::ZRQINIT, 0));
    out += zm::binary_header(zm::Header::with_flags(zm::ZFILE, zm::ZCBIN), true, esc);
    std::string info = "lies.bin";
    info.push_back('\0');
    if (size_field) info += *size_field + " 0 100644";
    info.push_back('\0');
    zm::append_subpacket(out, info, zm::ZCRCW, true, esc);
    out += zm::binary_header(zm::Header::at(zm::ZDATA, 0), true, esc);
    for (std::size_t at = 0; at < content.size(); at += zm::MAX_SUBPACKET) {
        const bool last = at + zm::MAX_SUBPACKET >= content.size();
        zm::append_subpacket(out, std::string_view(content).substr(at, zm::MAX_SUBPACKET),
                             last ? zm::ZCRCE : zm::ZCRCG, true, esc);
    }
    out += zm::hex_header(zm::Header::at(zm::ZEOF, static_cast<std::uint32_t>(content.size())));
    out += zm::hex_header(zm::Header::at(zm::ZFIN, 0));
    return out;
}

struct Outcome {
    nlohmann::json done;
    std::vector<fs::path> left;  // every file in the receive folder afterwards (gone now)
    std::string first;           // what the first of them held
};

Outcome receive(const std::string& session, TransferOptions options) {
    TempDir dir;
    TransferEventLog log;
    XYZModemTransfer job(
        "zmodem", "recv", [](std::string_view) {}, log.sink(), std::nullopt, dir.path().string(),
        options);
    job.start();
    // In pieces, as a reader hands them over.
    for (std::size_t at = 0; at < session.size(); at += 65536)
        job.feed(std::string_view(session).substr(at, 65536));
    Outcome out;
    auto done = log.wait_done(seconds(30));
    if (done) out.done = *done;
    for (const auto& e : fs::directory_iterator(dir.path()))
        out.left.push_back(e.path());
    // Read while the folder is still there.
    if (!out.left.empty()) out.first = termiva::testing::slurp(out.left[0]);
    return out;
}

TEST(ZmodemReceiveBounds, AFileOfItsAnnouncedSizeIsReceived) {
    const std::string content = random_content(100000, 7);
    Outcome r = receive(lying_session("100000", content), fast_options());
    ASSERT_TRUE(r.done.value("ok", false)) << r.done.dump();
    ASSERT_EQ(r.left.size(), 1u);
    EXPECT_TRUE(r.first == content) << r.first.size() << " bytes received";
}

TEST(ZmodemReceiveBounds, ASenderGoingOnPastTheAnnouncedSizeFailsAndLeavesNoFile) {
    Outcome r = receive(lying_session("10", random_content(300000, 1)), fast_options());
    ASSERT_FALSE(r.done.is_null()) << "the job never ended";
    EXPECT_FALSE(r.done.value("ok", true));
    EXPECT_EQ(r.done.value("reason_code", ""), "past_announced_size") << r.done.dump();
    EXPECT_EQ(r.done.value("reason", ""), "the sender went on past the announced size of lies.bin");
    EXPECT_TRUE(r.left.empty()) << r.left[0];
}

TEST(ZmodemReceiveBounds, AFileWithoutASizeStopsAtTheLimitAndSaysSo) {
    TransferOptions options = fast_options();
    options.unannounced_limit = std::uint64_t{1} << 20;
    Outcome r = receive(lying_session(std::nullopt, random_content(3 << 20, 2)), options);
    EXPECT_EQ(r.done.value("reason_code", ""), "unannounced_too_long") << r.done.dump();
    EXPECT_EQ(r.done.value("reason", ""),
              "lies.bin came without a size and passed 1 MiB, the most taken then");
    EXPECT_TRUE(r.left.empty());
}

TEST(ZmodemReceiveBounds, SizesBeyondZmodemPositionsOrTheDiskAreRefusedBeforeTheFirstByte) {
    for (const char* size : {"9223372036854775808", "4294967296"}) {
        Outcome r = receive(lying_session(size, random_content(1000, 3)), fast_options());
        EXPECT_EQ(r.done.value("reason_code", ""), "too_large") << size << ": " << r.done.dump();
        EXPECT_TRUE(r.left.empty()) << size;
    }
    // A disk whose free space is all reserve: nothing fits.
    TransferOptions options = fast_options();
    options.disk_reserve = std::uint64_t{1} << 62;
    Outcome r = receive(lying_session("1000", random_content(1000, 4)), options);
    EXPECT_EQ(r.done.value("reason_code", ""), "no_space") << r.done.dump();
    EXPECT_TRUE(r.left.empty());
}

// The reader hands bytes over faster than the job takes them: it waits at the bound
// (instead of queueing hundreds of MiB), and goes on as soon as the job takes some, or at
// once when the transfer is closed.
TEST(ByteLinkBound, AProducerWaitsWhileTheConsumerIsFarBehind) {
    const std::string chunk(xfer::ByteLink::MAX_PENDING, 'x');
    for (const bool close_instead : {false, true}) {
        xfer::ByteLink link;
        link.push(chunk);  // fills the queue; a push into a full queue must wait
        auto second = std::async(std::launch::async, [&] { link.push("more"); });
        EXPECT_EQ(second.wait_for(milliseconds(300)), std::future_status::timeout)
            << "a push went into a full queue";
        if (close_instead) {
            link.close();
        } else {
            EXPECT_EQ(link.get(milliseconds(100)), 'x');
        }
        EXPECT_EQ(second.wait_for(seconds(10)), std::future_status::ready);
    }
}

}  // namespace
}  // namespace termiva
