#include "transfer/xmodem_sender.h"

#include "transfer/source_file.h"

namespace termiva::xfer {
namespace {

using namespace std::chrono;

struct LinkMode {
    bool crc = false;
    bool streaming = false;
};

class BlockSender {
public:
    BlockSender(TransferContext& ctx, const xm::BlockProtocol& protocol)
        : m_ctx(ctx), m_protocol(protocol) {}

    void run(const std::vector<std::filesystem::path>& files) {
        for (const auto& path : files) {
            SourceFile file(path);
            LinkMode mode = wait_for_request();
            if (m_protocol.batch) {
                send_header(file, mode);
                // After the header the receiver asks again for the data (YMODEM-G too).
                if (!mode.streaming) mode = wait_for_request();
            }
            send_contents(file, mode);
            m_ctx.file_done(file.wire_name());
        }
        if (m_protocol.batch) end_batch();
    }

private:
    // The receiver's request decides checksum or CRC and whether to stream.
    LinkMode wait_for_request() {
        auto deadline = steady_clock::now() + m_ctx.options().start_timeout;
        int cans = 0;
        while (steady_clock::now() < deadline) {
            auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
            int c = m_ctx.get(std::min(left, m_ctx.options().timeout));
            if (c == ByteLink::TIMED_OUT) continue;
            if (c == xm::NAK) return {false, false};
            if (c == xm::CRC_REQUEST) return {true, false};
            if (c == xm::STREAM_REQUEST) return {true, true};
            if (c == xm::CAN) {
                if (++cans >= 2) throw TransferFailed("receiver_cancelled");
            } else {
                cans = 0;
            }
        }
        throw TransferFailed("receiver_silent");
    }

    // Sends `block` until acknowledged. YMODEM-G receivers do not acknowledge.
    void send_acked(const std::string& block, bool streaming) {
        m_ctx.send(block);
        if (streaming) return;
        for (int attempt = 0; attempt <= m_ctx.options().retries; ++attempt) {
            if (attempt > 0) m_ctx.send(block);
            if (await_ack()) return;
        }
        throw TransferFailed("receiver_stopped");
    }

    // True on ACK; false on NAK or time-out (resend). Stray requests are ignored: acting
    // on one could pair a later ACK with the wrong block.
    bool await_ack() {
        int cans = 0;
        for (;;) {
            int c = m_ctx.get(m_ctx.options().timeout);
            if (c == ByteLink::TIMED_OUT || c == xm::NAK) return false;
            if (c == xm::ACK) return true;
            if (c == xm::CAN) {
                if (++cans >= 2) throw TransferFailed("receiver_cancelled");
            } else {
                cans = 0;
            }
        }
    }

    void send_header(SourceFile& file, const LinkMode& mode) {
        m_ctx.begin_file(file.wire_name(), file.size());
        std::string payload =
            xm::header_payload(file.wire_name(), file.size(), file.mtime(), file.mode());
        std::string block = xm::build_block(0, payload, true);
        if (mode.streaming) {
            // A streaming receiver answers the header with its next request only.
            m_ctx.send(block);
            LinkMode again = wait_for_request();
            if (!again.streaming) throw TransferFailed("left_streaming");
            return;
        }
        send_acked(block, false);
    }

    void send_contents(SourceFile& file, const LinkMode& mode) {
        if (!m_protocol.batch) m_ctx.begin_file(file.wire_name(), file.size());
        std::uint8_t seq = 1;
        std::uint64_t offset = 0;
        while (offset < file.size()) {
            std::uint64_t left = file.size() - offset;
            std::size_t size = m_protocol.block_size;
            if (left <= xm::SHORT_BLOCK) size = xm::SHORT_BLOCK;
            std::string data = file.read_at(offset, size);
            send_acked(xm::build_block(seq, xm::padded(data, size), mode.crc), mode.streaming);
            offset += data.size();
            ++seq;
            m_ctx.progress(offset);
        }
        send_end_of_file();
    }

    void send_end_of_file() {
        const std::string eot(1, static_cast<char>(xm::EOT));
        for (int attempt = 0; attempt <= m_ctx.options().retries; ++attempt) {
            m_ctx.send(eot);
            if (await_ack()) return;
        }
        throw TransferFailed("end_unacknowledged");
    }

    // An empty header block ends a batch. Every file is already acknowledged, so a
    // receiver that goes away without acknowledging this one is not an error.
    void end_batch() {
        LinkMode mode = wait_for_request();
        std::string block = xm::build_block(0, std::string(xm::SHORT_BLOCK, '\0'), true);
        m_ctx.send(block);
        if (mode.streaming) {
            // A streaming receiver may still acknowledge this block: that byte is the
            // session's, not part of what the peer prints afterwards.
            if (m_ctx.peek(m_ctx.options().char_timeout) == xm::ACK) {
                m_ctx.get(m_ctx.options().char_timeout);
            }
            return;
        }
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (await_ack()) return;
            m_ctx.send(block);
        }
    }

    TransferContext& m_ctx;
    xm::BlockProtocol m_protocol;
};

}  // namespace

void send_with_blocks(TransferContext& ctx, const xm::BlockProtocol& protocol,
                      const std::vector<std::filesystem::path>& files) {
    BlockSender(ctx, protocol).run(files);
}

}  // namespace termiva::xfer
