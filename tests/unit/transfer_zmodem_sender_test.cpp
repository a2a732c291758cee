// Our ZMODEM sender facing a scripted receiver: it keeps within the buffer the receiver
// announces, waits for the acknowledgement, and starts wherever the receiver asks.
#include <gtest/gtest.h>

#include <fstream>
#include <mutex>

#include "support/test_support.h"
#include "transfer/xyzmodem_transfer.h"
#include "transfer/zmodem_reader.h"
#include "unit/transfer_event_log.h"

namespace termiva::xfer::zm {
namespace {

using namespace std::chrono;

// Reads what the sender wrote, frame by frame.
class ScriptedReceiver {
public:
    ScriptedReceiver() : m_ctx(m_link, nullptr, nullptr, options()), m_reader(m_ctx) {}

    void take(std::string_view bytes) { m_link.push(bytes); }

    HeaderRead next_header() { return m_reader.read_header(milliseconds(2000)); }

    // The data of one frame up to its end marker; `end` gets the marker.
    std::string frame_data(bool crc32, std::uint8_t& end) {
        std::string all, part;
        for (;;) {
            SubpacketRead r = m_reader.read_subpacket(part, crc32);
            if (r.status != SubpacketRead::OK) {
                ADD_FAILURE() << "damaged subpacket";
                return all;
            }
            all += part;
            if (r.end != ZCRCG) {
                end = r.end;
                return all;
            }
        }
    }

    // True when nothing but flow-control bytes arrives for `span`.
    bool quiet_for(milliseconds span) {
        for (;;) {
            int c = m_link.get(span);
            if (c == ByteLink::TIMED_OUT) return true;
            if (c != XON) return false;
        }
    }

private:
    static TransferOptions options() {
        TransferOptions o;
        o.char_timeout = milliseconds(1000);
        return o;
    }
    ByteLink m_link;
    TransferContext m_ctx;
    Reader m_reader;
};

class ZmodemSenderAgainstScript : public ::testing::Test {
protected:
    void start(std::size_t size) {
        content.clear();
        for (std::size_t i = 0; i < size; ++i)
            content += static_cast<char>(i * 7 + i / 251);
        auto path = tmp.path() / "f.bin";
        std::ofstream(path, std::ios::binary) << content;
        TransferOptions o;
        o.timeout = milliseconds(3000);
        job = std::make_unique<XYZModemTransfer>(
            "zmodem", "send", [this](std::string_view b) { peer.take(b); }, log.sink(),
            std::vector<std::string>{path.string()}, std::nullopt, o);
        job->start();
        HeaderRead r = peer.next_header();
        ASSERT_EQ(r.status, HeaderRead::OK);
        ASSERT_EQ(r.header.type, ZRQINIT);
    }

    void answer(const Header& h) { job->feed(hex_header(h)); }

    // Reads the ZFILE frame and its data subpacket.
    void expect_file_header() {
        HeaderRead r = peer.next_header();
        ASSERT_EQ(r.status, HeaderRead::OK);
        ASSERT_EQ(r.header.type, ZFILE);
        std::uint8_t end = 0;
        std::string info = peer.frame_data(r.crc32, end);
        EXPECT_EQ(end, ZCRCW);
        EXPECT_EQ(info.substr(0, info.find('\0')), "f.bin");
        // Then the size in decimal, followed by the other fields.
        EXPECT_EQ(info.substr(info.find('\0') + 1, std::to_string(content.size()).size() + 1),
                  std::to_string(content.size()) + " ");
    }

    void TearDown() override {
        if (job) job->cancel();
        job.reset();
    }

    termiva::testing::TempDir tmp;
    termiva::testing::TransferEventLog log;
    ScriptedReceiver peer;
    std::string content;
    std::unique_ptr<XYZModemTransfer> job;
};

TEST_F(ZmodemSenderAgainstScript, StaysWithinTheReceiversBufferAndWaitsForItsAck) {
    start(10000);
    // CRC-16 only, a 2 KiB buffer.
    Header zrinit = Header::with_flags(ZRINIT, CANFDX | CANOVIO);
    zrinit.data[0] = 0x00;
    zrinit.data[1] = 0x08;
    answer(zrinit);
    expect_file_header();
    answer(Header::at(ZRPOS, 0));

    std::string received;
    for (;;) {
        HeaderRead r = peer.next_header();
        ASSERT_EQ(r.status, HeaderRead::OK);
        if (r.header.type == ZEOF) {
            EXPECT_EQ(r.header.position(), content.size());
            break;
        }
        ASSERT_EQ(r.header.type, ZDATA);
        EXPECT_FALSE(r.crc32);
        EXPECT_EQ(r.header.position(), received.size());
        std::uint8_t end = 0;
        std::string data = peer.frame_data(r.crc32, end);
        EXPECT_LE(data.size(), 2048u);
        received += data;
        if (end == ZCRCW) {
            // Nothing more until the window is acknowledged.
            EXPECT_TRUE(peer.quiet_for(milliseconds(200)));
            answer(Header::at(ZACK, static_cast<std::uint32_t>(received.size())));
        } else {
            EXPECT_EQ(end, ZCRCE);
        }
    }
    EXPECT_TRUE(received == content);
    answer(Header::with_flags(ZRINIT, CANFDX | CANOVIO));
    HeaderRead fin = peer.next_header();
    ASSERT_EQ(fin.status, HeaderRead::OK);
    EXPECT_EQ(fin.header.type, ZFIN);
    answer(Header::at(ZFIN, 0));
    auto done = log.wait_done(seconds(5));
    ASSERT_TRUE(done.has_value());
    EXPECT_TRUE(done->at("ok").get<bool>()) << done->dump();
}

TEST_F(ZmodemSenderAgainstScript, StartsAndRepeatsFromThePositionsTheReceiverNames) {
    start(6000);
    answer(Header::with_flags(ZRINIT, CANFDX | CANOVIO | CANFC32));
    expect_file_header();
    // A receiver that already holds the first 4000 bytes.
    answer(Header::at(ZRPOS, 4000));
    HeaderRead r = peer.next_header();
    ASSERT_EQ(r.status, HeaderRead::OK);
    ASSERT_EQ(r.header.type, ZDATA);
    EXPECT_TRUE(r.crc32);
    EXPECT_EQ(r.header.position(), 4000u);
    std::uint8_t end = 0;
    EXPECT_TRUE(peer.frame_data(r.crc32, end) == content.substr(4000));
    HeaderRead eof = peer.next_header();
    ASSERT_EQ(eof.header.type, ZEOF);
    // It asks again from 5000, as after a damaged packet.
    answer(Header::at(ZRPOS, 5000));
    r = peer.next_header();
    ASSERT_EQ(r.header.type, ZDATA);
    EXPECT_EQ(r.header.position(), 5000u);
    EXPECT_TRUE(peer.frame_data(r.crc32, end) == content.substr(5000));
    // And it skips the file on request, ending the session cleanly.
    ASSERT_EQ(peer.next_header().header.type, ZEOF);
    answer(Header::at(ZSKIP, 0));
    HeaderRead fin = peer.next_header();
    ASSERT_EQ(fin.header.type, ZFIN);
    answer(Header::at(ZFIN, 0));
    auto done = log.wait_done(seconds(5));
    ASSERT_TRUE(done.has_value());
    EXPECT_TRUE(done->at("ok").get<bool>());
}

TEST_F(ZmodemSenderAgainstScript, AReceiverAbortEndsTheJob) {
    start(100);
    answer(Header::with_flags(ZRINIT, CANFDX | CANOVIO | CANFC32));
    expect_file_header();
    job->feed(abort_sequence());
    auto done = log.wait_done(seconds(5));
    ASSERT_TRUE(done.has_value());
    EXPECT_FALSE(done->at("ok").get<bool>());
    EXPECT_EQ(done->at("reason"), "cancelled by the peer");
}

}  // namespace
}  // namespace termiva::xfer::zm
