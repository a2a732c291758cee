#include "transfer/zmodem_sender.h"

#include <chrono>
#include <cstdio>

#include "transfer/crc.h"
#include "transfer/source_file.h"
#include "transfer/zmodem_reader.h"

namespace termiva::xfer {
namespace {

using namespace zm;
using namespace std::chrono;

constexpr std::size_t SUBPACKET_SIZE = 1024;
// Subpackets are handed to the link in batches of about this size.
constexpr std::size_t SEND_BATCH = 8192;
// How long to wait for the rest of a header the receiver has started to send mid-stream.
constexpr milliseconds INTERRUPT_WAIT{20};
// A ZRINIT this soon after our file header was sent before the receiver saw the header:
// answering it with the header again would make the receiver take the file twice.
constexpr milliseconds CROSSED_HEADER_GRACE{750};

class ZmodemSender {
public:
    explicit ZmodemSender(TransferContext& ctx) : m_ctx(ctx), m_reader(ctx) {}

    void run(const std::vector<std::filesystem::path>& files) {
        greet();
        std::uint64_t bytes_left = 0;
        for (const auto& path : files) {
            std::error_code ec;
            auto size = std::filesystem::file_size(path, ec);
            if (!ec) bytes_left += size;
        }
        std::size_t files_left = files.size();
        for (const auto& path : files) {
            SourceFile file(path);
            send_file(file, files_left, bytes_left);
            --files_left;
            bytes_left -= std::min<std::uint64_t>(bytes_left, file.size());
        }
        finish();
    }

private:
    void fail_on_abort(const Header& h) {
        if (h.type == ZCAN || h.type == ZABORT) throw TransferFailed("receiver_cancelled");
        if (h.type == ZFERR) throw TransferFailed("receiver_write_failed");
    }

    void count_error(const char* what) {
        if (++m_errors > m_ctx.options().retries) throw TransferFailed(what);
    }

    void greet() {
        m_ctx.send(hex_header(Header::at(ZRQINIT, 0)));
        auto deadline = steady_clock::now() + m_ctx.options().start_timeout;
        while (steady_clock::now() < deadline) {
            HeaderRead r = m_reader.read_header(m_ctx.options().timeout);
            if (r.status != HeaderRead::OK) {
                m_ctx.send(hex_header(Header::at(ZRQINIT, 0)));
                continue;
            }
            const Header& h = r.header;
            fail_on_abort(h);
            if (h.type == ZCHALLENGE) {
                Header answer = h;
                answer.type = ZACK;
                m_ctx.send(hex_header(answer));
            } else if (h.type == ZRINIT) {
                std::uint8_t flags = h.zf0();
                m_crc32 = flags & CANFC32;
                m_escaper = Escaper(flags & ESCCTL);
                m_window = static_cast<std::uint32_t>(h.data[0]) | h.data[1] << 8;
                m_wait_each = !(flags & CANOVIO) && m_window == 0;
                return;
            } else if (h.type == ZRQINIT) {
                throw TransferFailed("peer_sending");
            }
        }
        throw TransferFailed("no_receiver");
    }

    void send_file(SourceFile& file, std::size_t files_left, std::uint64_t bytes_left) {
        m_ctx.begin_file(file.wire_name(), file.size());
        char info[96];
        std::snprintf(info, sizeof info, "%llu %llo %o 0 %zu %llu",
                      static_cast<unsigned long long>(file.size()),
                      static_cast<unsigned long long>(file.mtime() < 0 ? 0 : file.mtime()),
                      file.mode(), files_left, static_cast<unsigned long long>(bytes_left));
        std::string payload = file.wire_name();
        payload += '\0';
        payload += info;
        payload += '\0';
        std::string frame = binary_header(Header::with_flags(ZFILE, ZCBIN), m_crc32, m_escaper);
        append_subpacket(frame, payload, ZCRCW, m_crc32, m_escaper);

        // Repeated ZRINITs from before our file header mean nothing now.
        m_ctx.discard_pending();
        m_errors = 0;
        m_ctx.send(frame);
        auto sent_at = std::chrono::steady_clock::now();
        for (;;) {
            HeaderRead r = m_reader.read_header(m_ctx.options().timeout);
            if (r.status != HeaderRead::OK) {
                count_error("header_unanswered");
                m_ctx.send(frame);
                sent_at = std::chrono::steady_clock::now();
                continue;
            }
            const Header& h = r.header;
            fail_on_abort(h);
            switch (h.type) {
                case ZRPOS:
                    if (send_data(file, h.position())) m_ctx.file_done(file.wire_name());
                    return;
                case ZSKIP:
                    return;
                case ZCRC:
                    answer_crc(file, h.position());
                    break;
                case ZRINIT:
                    if (std::chrono::steady_clock::now() - sent_at < CROSSED_HEADER_GRACE) break;
                    [[fallthrough]];
                case ZNAK:
                    count_error("header_refused");
                    m_ctx.send(frame);
                    sent_at = std::chrono::steady_clock::now();
                    break;
                default:
                    break;
            }
        }
    }

    void answer_crc(SourceFile& file, std::uint32_t length) {
        std::uint64_t end =
            length == 0 ? file.size() : std::min<std::uint64_t>(length, file.size());
        std::uint32_t crc = 0xFFFFFFFFu;
        for (std::uint64_t at = 0; at < end;) {
            std::string chunk = file.read_at(
                at, static_cast<std::size_t>(std::min<std::uint64_t>(65536, end - at)));
            crc = crc32_raw(chunk, crc);
            at += chunk.size();
        }
        m_ctx.send(hex_header(Header::at(ZCRC, ~crc)));
    }

    // Streams from `pos` until the receiver has the whole file. False when it skipped it.
    bool send_data(SourceFile& file, std::uint64_t pos) {
        m_errors = 0;
        std::uint64_t last_error_pos = pos;
        for (;;) {
            if (pos > file.size()) pos = file.size();
            std::optional<std::uint64_t> restart = stream_frames(file, pos);
            if (!restart) {
                // Everything sent; the end of file answers with ZRINIT or a position.
                m_ctx.send(binary_header(Header::at(ZEOF, static_cast<std::uint32_t>(file.size())),
                                         m_crc32, m_escaper));
                restart = await_eof_answer(file);
                if (!restart) return true;
                if (*restart == SKIPPED) return false;
            }
            if (*restart == SKIPPED) return false;
            if (*restart > last_error_pos) {
                m_errors = 0;
            }
            count_error("repeats");
            last_error_pos = *restart;
            pos = *restart;
        }
    }

    static constexpr std::uint64_t SKIPPED = ~std::uint64_t{0};

    // Sends ZDATA frames from `pos` to the end of the file. Returns a position to restart
    // from when the receiver asks for one, SKIPPED, or nullopt when all went out.
    std::optional<std::uint64_t> stream_frames(SourceFile& file, std::uint64_t& pos) {
        std::string out =
            binary_header(Header::at(ZDATA, static_cast<std::uint32_t>(pos)), m_crc32, m_escaper);
        std::uint64_t since_ack = 0;
        if (pos >= file.size()) {
            append_subpacket(out, {}, ZCRCE, m_crc32, m_escaper);
            m_ctx.send(out);
            return std::nullopt;
        }
        while (pos < file.size()) {
            std::string data = file.read_at(pos, SUBPACKET_SIZE);
            bool last = pos + data.size() >= file.size();
            std::uint8_t end = ZCRCG;
            if (last) {
                end = ZCRCE;
            } else if (m_wait_each || (m_window && since_ack + data.size() >= m_window)) {
                end = ZCRCW;
            }
            append_subpacket(out, data, end, m_crc32, m_escaper);
            pos += data.size();
            since_ack += data.size();
            if (end != ZCRCG || out.size() >= SEND_BATCH) {
                m_ctx.send(out);
                out.clear();
            }
            m_ctx.progress(pos);
            if (end == ZCRCW) {
                std::optional<std::uint64_t> restart = await_window_ack(pos - since_ack);
                if (restart) return restart;
                since_ack = 0;
                out = binary_header(Header::at(ZDATA, static_cast<std::uint32_t>(pos)), m_crc32,
                                    m_escaper);
                continue;
            }
            if (m_ctx.has_pending()) {
                HeaderRead r = m_reader.read_header(INTERRUPT_WAIT);
                if (r.status == HeaderRead::OK) {
                    fail_on_abort(r.header);
                    // What is still buffered is worthless to a receiver hunting for a
                    // header, so it is dropped.
                    if (r.header.type == ZRPOS) return r.header.position();
                    if (r.header.type == ZSKIP) return SKIPPED;
                }
            }
        }
        m_ctx.send(out);
        return std::nullopt;
    }

    // After ZCRCW: the receiver's ZACK lets the next window go; a time-out repeats the
    // window from its start.
    std::optional<std::uint64_t> await_window_ack(std::uint64_t window_start) {
        for (;;) {
            HeaderRead r = m_reader.read_header(m_ctx.options().timeout);
            if (r.status != HeaderRead::OK) return window_start;
            fail_on_abort(r.header);
            if (r.header.type == ZACK) return std::nullopt;
            if (r.header.type == ZRPOS) return r.header.position();
            if (r.header.type == ZSKIP) return SKIPPED;
        }
    }

    std::optional<std::uint64_t> await_eof_answer(SourceFile& file) {
        for (;;) {
            HeaderRead r = m_reader.read_header(m_ctx.options().timeout);
            if (r.status != HeaderRead::OK) {
                count_error("end_unconfirmed");
                m_ctx.send(binary_header(Header::at(ZEOF, static_cast<std::uint32_t>(file.size())),
                                         m_crc32, m_escaper));
                continue;
            }
            fail_on_abort(r.header);
            switch (r.header.type) {
                case ZRINIT:
                    return std::nullopt;
                case ZRPOS:
                    return r.header.position();
                case ZSKIP:
                    return SKIPPED;
                default:
                    break;
            }
        }
    }

    void finish() {
        m_errors = 0;
        const std::string fin = hex_header(Header::at(ZFIN, 0));
        m_ctx.send(fin);
        for (;;) {
            HeaderRead r = m_reader.read_header(m_ctx.options().timeout);
            if (r.status == HeaderRead::OK && r.header.type == ZFIN) break;
            if (r.status == HeaderRead::OK) fail_on_abort(r.header);
            count_error("session_unclosed");
            m_ctx.send(fin);
        }
        m_ctx.send("OO");
    }

    TransferContext& m_ctx;
    Reader m_reader;
    Escaper m_escaper;
    bool m_crc32 = false;
    bool m_wait_each = false;
    std::uint32_t m_window = 0;
    int m_errors = 0;
};

}  // namespace

void send_with_zmodem(TransferContext& ctx, const std::vector<std::filesystem::path>& files) {
    ZmodemSender(ctx).run(files);
}

}  // namespace termiva::xfer
