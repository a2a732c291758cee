#include "transfer/xmodem_receiver.h"

#include <optional>

#include "platform/utf8_path.h"
#include "transfer/file_names.h"
#include "transfer/received_file.h"

namespace termiva::xfer {
namespace {

using namespace std::chrono;

// Receivers asking for CRC fall back to the checksum after this many unanswered requests.
constexpr int CRC_REQUESTS_BEFORE_FALLBACK = 3;

struct Incoming {
    enum Kind { BLOCK, END, CANCELLED, TIMED_OUT, DAMAGED } kind;
    std::uint8_t seq = 0;
    std::string payload;
};

class BlockReceiver {
public:
    BlockReceiver(TransferContext& ctx, const xm::BlockProtocol& protocol,
                  std::filesystem::path dir)
        : m_ctx(ctx), m_protocol(protocol), m_dir(std::move(dir)), m_crc(protocol.crc) {}

    void run() {
        if (!m_protocol.batch) {
            receive_file(XMODEM_FILE_NAME, std::nullopt);
            return;
        }
        for (;;) {
            xm::FileHeader header = receive_header();
            if (header.name.empty()) return;
            receive_file(safe_base_name(header.name), header.size);
        }
    }

private:
    std::uint8_t request_char() const {
        if (m_protocol.streaming) return xm::STREAM_REQUEST;
        return m_crc ? xm::CRC_REQUEST : xm::NAK;
    }

    void send_byte(std::uint8_t c) { m_ctx.send(std::string(1, static_cast<char>(c))); }

    // One block, end of file or cancel; garbage between blocks is skipped.
    Incoming read_incoming() {
        const auto& opt = m_ctx.options();
        auto deadline = steady_clock::now() + opt.timeout;
        for (;;) {
            auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
            if (left.count() <= 0) return {Incoming::TIMED_OUT, 0, {}};
            int c = m_ctx.get(left);
            if (c == ByteLink::TIMED_OUT) return {Incoming::TIMED_OUT, 0, {}};
            if (c == xm::EOT) return {Incoming::END, 0, {}};
            if (c == xm::CAN) {
                if (m_ctx.get(opt.char_timeout) == xm::CAN) return {Incoming::CANCELLED, 0, {}};
                continue;
            }
            if (c != xm::SOH && c != xm::STX) continue;
            std::size_t size = c == xm::STX ? xm::LONG_BLOCK : xm::SHORT_BLOCK;
            std::size_t trailer = m_crc ? 2 : 1;
            std::string raw;
            raw.reserve(size + 2 + trailer);
            while (raw.size() < size + 2 + trailer) {
                int b = m_ctx.get(opt.char_timeout);
                if (b == ByteLink::TIMED_OUT) return {Incoming::DAMAGED, 0, {}};
                raw += static_cast<char>(b);
            }
            auto seq = static_cast<std::uint8_t>(raw[0]);
            if (static_cast<std::uint8_t>(raw[1]) != static_cast<std::uint8_t>(0xFF - seq)) {
                return {Incoming::DAMAGED, 0, {}};
            }
            std::string_view payload(raw.data() + 2, size);
            if (!xm::trailer_matches(payload, std::string_view(raw).substr(2 + size), m_crc)) {
                return {Incoming::DAMAGED, 0, {}};
            }
            return {Incoming::BLOCK, seq, std::string(payload)};
        }
    }

    // A damaged block: let the rest of it pass, then ask again. Streaming cannot repeat.
    void reject_damaged(int& errors) {
        if (m_protocol.streaming) throw TransferFailed("damaged_streaming");
        if (++errors > m_ctx.options().retries) throw TransferFailed("damaged_blocks");
        m_ctx.purge(m_ctx.options().char_timeout);
        send_byte(xm::NAK);
    }

    xm::FileHeader receive_header() {
        int errors = 0;
        send_byte(request_char());
        for (;;) {
            Incoming in = read_incoming();
            switch (in.kind) {
                case Incoming::TIMED_OUT:
                    if (++errors > m_ctx.options().retries) {
                        throw TransferFailed("sender_timeout");
                    }
                    send_byte(request_char());
                    break;
                case Incoming::DAMAGED:
                    reject_damaged(errors);
                    break;
                case Incoming::CANCELLED:
                    throw TransferFailed("sender_cancelled");
                case Incoming::END:
                    // The previous file's end repeated: our acknowledgement was lost.
                    send_byte(xm::ACK);
                    break;
                case Incoming::BLOCK:
                    if (in.seq != 0) throw TransferFailed("expected_header_block");
                    xm::FileHeader header = xm::parse_header_payload(in.payload);
                    if (header.name.empty()) {
                        send_byte(xm::ACK);
                        return header;
                    }
                    if (!m_protocol.streaming) send_byte(xm::ACK);
                    return header;
            }
        }
    }

    void receive_file(const std::string& name, std::optional<std::uint64_t> size) {
        ReceivedFile out(m_dir, name, size, m_ctx.options());
        m_ctx.begin_file(name, size);
        send_byte(request_char());
        bool started = false;
        int requests = 1;
        int errors = 0;
        std::uint8_t expected = 1;
        std::uint64_t written = 0;
        bool eot_seen = false;
        for (;;) {
            Incoming in = read_incoming();
            if (in.kind != Incoming::END && in.kind != Incoming::TIMED_OUT) eot_seen = false;
            switch (in.kind) {
                case Incoming::TIMED_OUT:
                    if (++errors > m_ctx.options().retries) {
                        throw TransferFailed("sender_timeout");
                    }
                    if (!started) {
                        if (!m_protocol.batch && m_crc && !m_protocol.streaming &&
                            ++requests > CRC_REQUESTS_BEFORE_FALLBACK) {
                            m_crc = false;
                        }
                        send_byte(request_char());
                    } else {
                        send_byte(xm::NAK);
                    }
                    break;
                case Incoming::DAMAGED:
                    reject_damaged(errors);
                    break;
                case Incoming::CANCELLED:
                    throw TransferFailed("sender_cancelled");
                case Incoming::END: {
                    // A lone EOT may be line noise: only a repeated one ends the file.
                    if (!eot_seen) {
                        eot_seen = true;
                        send_byte(xm::NAK);
                        break;
                    }
                    send_byte(xm::ACK);
                    if (size && written < *size) throw TransferFailed("ended_early");
                    auto where = out.commit();
                    m_ctx.file_done(platform::path_to_utf8(where));
                    return;
                }
                case Incoming::BLOCK:
                    if (in.seq == expected) {
                        std::string_view data = in.payload;
                        if (size) {
                            std::uint64_t room = *size - written;
                            if (data.size() > room) data = data.substr(0, room);
                        }
                        out.write(data);
                        written += data.size();
                        started = true;
                        errors = 0;
                        ++expected;
                        if (!m_protocol.streaming) send_byte(xm::ACK);
                        m_ctx.progress(written);
                    } else if (in.seq == static_cast<std::uint8_t>(expected - 1) ||
                               (m_protocol.batch && !started && in.seq == 0)) {
                        // A repeat of what we already have: our ACK was lost.
                        if (!m_protocol.streaming) send_byte(xm::ACK);
                        if (in.seq == 0) send_byte(request_char());
                    } else {
                        throw TransferFailed("sequence_lost");
                    }
                    break;
            }
        }
    }

    TransferContext& m_ctx;
    xm::BlockProtocol m_protocol;
    std::filesystem::path m_dir;
    bool m_crc;
};

}  // namespace

void receive_with_blocks(TransferContext& ctx, const xm::BlockProtocol& protocol,
                         const std::filesystem::path& save_dir) {
    BlockReceiver(ctx, protocol, save_dir).run();
}

}  // namespace termiva::xfer
