#include "transfer/zmodem_receiver.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <optional>

#include "platform/utf8_path.h"
#include "transfer/file_names.h"
#include "transfer/received_file.h"
#include "transfer/zmodem_reader.h"

namespace termiva::xfer {
namespace {

using namespace zm;

constexpr std::uint64_t MAX_POSITION = 0xFFFFFFFFu;

// What a possibly false start may read before it is taken for one (a flood is no start).
constexpr std::size_t FALSE_START_MAX_HELD = std::size_t{256} << 10;

class ZmodemReceiver {
public:
    ZmodemReceiver(TransferContext& ctx, std::filesystem::path dir)
        : m_ctx(ctx), m_reader(ctx), m_dir(std::move(dir)) {}

    void run() {
        m_starting = m_ctx.options().false_start_wait.count() > 0;
        if (!m_starting) return receive();
        m_ctx.hold_taken(true);
        m_start_deadline = std::chrono::steady_clock::now() + m_ctx.options().false_start_wait;
        try {
            receive();
        } catch (const TransferFailed&) {
            // Whatever ended it before the sender said more than its start: show the bytes.
            if (m_starting) m_ctx.give_back_held();
            throw;
        }
    }

private:
    void receive() {
        send_zrinit();
        int errors = 0;
        for (;;) {
            HeaderRead r = m_reader.read_header(header_wait());
            if (m_starting) {
                check_start(r);
                // Until then the start's own limit is the only clock: a reader's wait cut
                // short by rounding must not count as a silent sender.
                if (r.status == HeaderRead::TIMED_OUT) continue;
            }
            if (r.status != HeaderRead::OK) {
                if (++errors > m_ctx.options().retries) {
                    throw TransferFailed(r.status == HeaderRead::TIMED_OUT ? "sender_timeout"
                                                                           : "damaged_headers");
                }
                ask_again();
                continue;
            }
            const Header& h = r.header;
            switch (h.type) {
                case ZRQINIT:
                    send_zrinit();
                    break;
                case ZSINIT:
                    on_sinit(r);
                    break;
                case ZFILE:
                    if (on_file(r)) {
                        errors = 0;
                    } else if (++errors > m_ctx.options().retries) {
                        throw TransferFailed("damaged_file_headers");
                    }
                    break;
                case ZDATA:
                    if (on_data(r)) {
                        errors = 0;
                    } else if (++errors > m_ctx.options().retries) {
                        throw TransferFailed("damaged_data");
                    }
                    break;
                case ZEOF:
                    // An end position behind ours is stale: it was sent before our
                    // request to repeat arrived, and the sender is repeating now.
                    if (m_file && h.position() == m_pos) {
                        finish_file();
                        send_zrinit();
                        errors = 0;
                    }
                    break;
                case ZFIN:
                    if (m_file) {
                        throw TransferFailed("sender_ended_early");
                    }
                    m_ctx.send(hex_header(Header::at(ZFIN, 0)));
                    take_closing_oo();
                    return;
                case ZCAN:
                case ZABORT:
                    throw TransferFailed("sender_cancelled");
                case ZFREECNT:
                    m_ctx.send(hex_header(Header::at(ZACK, 0)));
                    break;
                case ZCOMMAND: {
                    // Remote commands are never run here.
                    std::string ignored;
                    m_reader.read_subpacket(ignored, r.crc32);
                    m_ctx.send(hex_header(Header::at(ZCOMPL, 1)));
                    break;
                }
                case ZCHALLENGE: {
                    Header answer = h;
                    answer.type = ZACK;
                    m_ctx.send(hex_header(answer));
                    break;
                }
                default:
                    break;
            }
        }
    }

    // How long the next header may take: never past a possibly false start's limit.
    std::chrono::milliseconds header_wait() const {
        const auto wait = m_ctx.options().timeout;
        if (!m_starting) return wait;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            m_start_deadline - std::chrono::steady_clock::now());
        return std::clamp(left, std::chrono::milliseconds(1), wait);
    }

    // Until the sender says what a sender says after its start (a file, its settings, a
    // command or its end), a few damaged headers, a little time or a flood show that it
    // was no sender at all. Other good headers prove nothing: a repeated ZRQINIT, or our
    // own ZRINIT echoed back by a shell that took it for typing.
    void check_start(const HeaderRead& r) {
        const std::uint8_t type = r.header.type;
        if (r.status == HeaderRead::OK &&
            (type == ZFILE || type == ZSINIT || type == ZCOMMAND || type == ZFIN)) {
            m_starting = false;
            m_ctx.hold_taken(false);
            return;
        }
        if (r.status == HeaderRead::DAMAGED) ++m_start_errors;
        if (m_start_errors >= m_ctx.options().false_start_errors ||
            std::chrono::steady_clock::now() >= m_start_deadline ||
            m_ctx.held_size() > FALSE_START_MAX_HELD) {
            throw TransferFailed("false_start");
        }
    }

    void send_zrinit() {
        m_ctx.send(hex_header(Header::with_flags(ZRINIT, CANFDX | CANOVIO | CANFC32)));
    }

    // The sender's "OO" after our ZFIN: nothing depends on it, and some senders leave
    // it out. Only O's are taken: whatever else follows (a shell prompt) is not ours.
    void take_closing_oo() {
        for (int i = 0; i < 2; ++i) {
            if (m_ctx.peek(m_ctx.options().char_timeout) != 'O') return;
            m_ctx.get(m_ctx.options().char_timeout);
        }
    }

    // After a time-out or a damaged header: ask for what we need next.
    void ask_again() {
        if (m_file) {
            m_ctx.send(hex_header(Header::at(ZRPOS, static_cast<std::uint32_t>(m_pos))));
        } else {
            send_zrinit();
        }
    }

    void on_sinit(const HeaderRead& r) {
        std::string attention;
        if (m_reader.read_subpacket(attention, r.crc32, 1024).status == SubpacketRead::OK) {
            m_ctx.send(hex_header(Header::at(ZACK, 1)));
        } else {
            m_ctx.send(hex_header(Header::at(ZNAK, 0)));
        }
    }

    // False when the file header arrived damaged.
    bool on_file(const HeaderRead& r) {
        std::string info;
        if (m_reader.read_subpacket(info, r.crc32, 1024).status != SubpacketRead::OK) {
            m_ctx.send(hex_header(Header::at(ZNAK, 0)));
            return false;
        }
        std::string sent_name = info.substr(0, info.find('\0'));
        std::string name = safe_base_name(sent_name);
        if (m_file && m_file->name() == name) {
            // The sender did not hear our position and repeats the file header.
            m_ctx.send(hex_header(Header::at(ZRPOS, static_cast<std::uint32_t>(m_pos))));
            return true;
        }
        m_file.reset();
        m_size.reset();
        if (auto nul = info.find('\0'); nul != std::string::npos) {
            std::string_view rest = std::string_view(info).substr(nul + 1);
            std::uint64_t size = 0;
            auto [ptr, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), size);
            if (ec == std::errc() && ptr != rest.data()) m_size = size;
        }
        // Positions are 32 bits: a larger file could never be received whole.
        if (m_size && *m_size > MAX_POSITION) throw TransferFailed("too_large", {{"path", name}});
        m_file.emplace(m_dir, name, m_size, m_ctx.options());
        m_pos = 0;
        m_ctx.begin_file(name, m_size);
        m_ctx.send(hex_header(Header::at(ZRPOS, 0)));
        return true;
    }

    // True when data was taken; false when the frame was out of place or damaged.
    bool on_data(const HeaderRead& r) {
        if (!m_file) {
            send_zrinit();
            return false;
        }
        if (r.header.position() != m_pos) {
            m_ctx.send(hex_header(Header::at(ZRPOS, static_cast<std::uint32_t>(m_pos))));
            return false;
        }
        bool any = false;
        for (;;) {
            SubpacketRead s = m_reader.read_subpacket(m_buffer, r.crc32);
            if (s.status != SubpacketRead::OK) {
                m_ctx.send(hex_header(Header::at(ZRPOS, static_cast<std::uint32_t>(m_pos))));
                return any;
            }
            any = true;
            m_file->write(m_buffer);
            m_pos += m_buffer.size();
            if (m_pos > MAX_POSITION) throw TransferFailed("too_large", {{"path", m_file->name()}});
            m_ctx.progress(m_pos);
            switch (s.end) {
                case ZCRCW:
                    m_ctx.send(hex_header(Header::at(ZACK, static_cast<std::uint32_t>(m_pos))));
                    return true;
                case ZCRCQ:
                    m_ctx.send(hex_header(Header::at(ZACK, static_cast<std::uint32_t>(m_pos))));
                    break;
                case ZCRCE:
                    return true;
                default:
                    break;
            }
        }
    }

    void finish_file() {
        if (m_size && *m_size != m_file->size()) {
            throw TransferFailed("wrong_size", {{"name", m_file->name()}});
        }
        auto where = m_file->commit();
        m_ctx.file_done(platform::path_to_utf8(where));
        m_file.reset();
    }

    TransferContext& m_ctx;
    Reader m_reader;
    std::filesystem::path m_dir;
    std::optional<ReceivedFile> m_file;
    std::optional<std::uint64_t> m_size;
    // 64 bits, so that a sender going on past 4 GiB is seen rather than wrapping to 0.
    std::uint64_t m_pos = 0;
    std::string m_buffer;
    // A receive that may be a false start, until the sender says more than its start.
    bool m_starting = false;
    int m_start_errors = 0;
    std::chrono::steady_clock::time_point m_start_deadline;
};

}  // namespace

void receive_with_zmodem(TransferContext& ctx, const std::filesystem::path& save_dir) {
    ZmodemReceiver(ctx, save_dir).run();
}

}  // namespace termiva::xfer
