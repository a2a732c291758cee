#include "transfer/zmodem_reader.h"

#include "transfer/crc.h"

namespace termiva::xfer::zm {

using namespace std::chrono;

int Reader::get_raw(milliseconds timeout) {
    int c = m_ctx.get(timeout);
    if (c == ZDLE) {
        if (++m_cans >= 5) throw TransferFailed("peer_cancelled");
    } else if (c != ByteLink::TIMED_OUT) {
        m_cans = 0;
    }
    return c;
}

int Reader::get_escaped(milliseconds timeout) {
    for (;;) {
        int c = get_raw(timeout);
        if (c < 0) return c;
        if (c == XON || c == XOFF || c == (XON | 0x80) || c == (XOFF | 0x80)) continue;
        if (c != ZDLE) return c;
        for (;;) {
            int e = get_raw(timeout);
            if (e < 0) return e;
            if (e == XON || e == XOFF || e == (XON | 0x80) || e == (XOFF | 0x80)) continue;
            if (e == ZCRCE || e == ZCRCG || e == ZCRCQ || e == ZCRCW) return FRAME_END | e;
            if (e == ZRUB0) return 0x7F;
            if (e == ZRUB1) return 0xFF;
            if (e == ZDLE) return BAD;  // the start of an abort; get_raw counts it
            if ((e & 0x60) == 0x40) return e ^ 0x40;
            return BAD;
        }
    }
}

HeaderRead Reader::read_header(milliseconds timeout) {
    auto deadline = steady_clock::now() + timeout;
    bool after_pad = false;
    for (;;) {
        auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
        if (left.count() <= 0) return {HeaderRead::TIMED_OUT, {}, false};
        int c = get_raw(left);
        if (c == ByteLink::TIMED_OUT) return {HeaderRead::TIMED_OUT, {}, false};
        if ((c & 0x7F) == ZPAD) {
            after_pad = true;
            continue;
        }
        if (c == ZDLE && after_pad) {
            int kind = get_raw(m_ctx.options().char_timeout);
            if (kind == ZBIN) return read_binary_header(false);
            if (kind == ZBIN32) return read_binary_header(true);
            if (kind == ZHEX) return read_hex_header();
        }
        after_pad = false;
    }
}

HeaderRead Reader::read_binary_header(bool crc32) {
    const auto timeout = m_ctx.options().char_timeout;
    std::string bytes;
    std::size_t total = crc32 ? 9 : 7;
    while (bytes.size() < total) {
        int c = get_escaped(timeout);
        if (c == ByteLink::TIMED_OUT) return {HeaderRead::TIMED_OUT, {}, false};
        if (c < 0 || c > 0xFF) return {HeaderRead::DAMAGED, {}, false};
        bytes += static_cast<char>(c);
    }
    std::string_view covered(bytes.data(), 5);
    bool ok;
    if (crc32) {
        std::uint32_t expect = ~crc32_raw(covered, 0xFFFFFFFFu);
        std::uint32_t got = 0;
        for (int i = 0; i < 4; ++i)
            got |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[5 + i])) << (8 * i);
        ok = expect == got;
    } else {
        std::uint16_t expect = crc16(covered);
        std::uint16_t got = static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[5]) << 8 |
                                                       static_cast<std::uint8_t>(bytes[6]));
        ok = expect == got;
    }
    if (!ok) return {HeaderRead::DAMAGED, {}, false};
    HeaderRead r{HeaderRead::OK, {}, false};
    r.crc32 = crc32;
    r.header.type = static_cast<std::uint8_t>(bytes[0]);
    for (int i = 0; i < 4; ++i)
        r.header.data[i] = static_cast<std::uint8_t>(bytes[i + 1]);
    return r;
}

HeaderRead Reader::read_hex_header() {
    const auto timeout = m_ctx.options().char_timeout;
    auto nibble = [](int c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string bytes;
    while (bytes.size() < 7) {
        int hi = get_raw(timeout);
        int lo = hi < 0 ? hi : get_raw(timeout);
        if (hi == ByteLink::TIMED_OUT || lo == ByteLink::TIMED_OUT)
            return {HeaderRead::TIMED_OUT, {}, false};
        int h = nibble(hi & 0x7F);
        int l = nibble(lo & 0x7F);
        if (h < 0 || l < 0) return {HeaderRead::DAMAGED, {}, false};
        bytes += static_cast<char>(h << 4 | l);
    }
    std::uint16_t expect = crc16(std::string_view(bytes.data(), 5));
    std::uint16_t got = static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[5]) << 8 |
                                                   static_cast<std::uint8_t>(bytes[6]));
    if (expect != got) return {HeaderRead::DAMAGED, {}, false};
    HeaderRead r{HeaderRead::OK, {}, false};
    r.header.type = static_cast<std::uint8_t>(bytes[0]);
    for (int i = 0; i < 4; ++i)
        r.header.data[i] = static_cast<std::uint8_t>(bytes[i + 1]);
    take_line_end(r.header.type);
    return r;
}

void Reader::take_line_end(std::uint8_t type) {
    // A ZACK comes while data streams: nothing is waited for there. After ZFIN the line
    // end is the session's last word from the peer, and what follows is not ours, so
    // only a CR and an LF are taken, never a byte of what comes next. The XON after
    // other headers is skipped as noise by the next read.
    auto wait = type == ZACK ? milliseconds(0) : m_ctx.options().char_timeout;
    for (int expected : {'\r', '\n'}) {
        int c = m_ctx.peek(wait);
        if (c < 0 || (c & 0x7F) != expected) return;
        get_raw(wait);
    }
}

void Reader::take_plain_run(std::string& out, std::size_t max_length) {
    // Bytes that are neither ZDLE nor flow control are data as they stand: take the run of
    // them already received in one piece.
    std::string_view ahead = m_ctx.buffered();
    std::size_t room = max_length > out.size() ? max_length - out.size() : 0;
    std::size_t n = 0;
    std::size_t limit = std::min(ahead.size(), room);
    while (n < limit) {
        auto c = static_cast<std::uint8_t>(ahead[n]);
        if (c == ZDLE || (c & 0x7F) == XON || (c & 0x7F) == XOFF) break;
        ++n;
    }
    if (n == 0) return;
    out.append(ahead.data(), n);
    m_ctx.consume(n);
    m_cans = 0;
}

SubpacketRead Reader::read_subpacket(std::string& out, bool crc32, std::size_t max_length) {
    const auto timeout = m_ctx.options().char_timeout;
    out.clear();
    for (;;) {
        int c = get_escaped(timeout);
        if (c == ByteLink::TIMED_OUT) return {SubpacketRead::TIMED_OUT};
        if (c < 0) return {SubpacketRead::DAMAGED};
        if (c & FRAME_END) {
            auto end = static_cast<std::uint8_t>(c & 0xFF);
            std::size_t n = crc32 ? 4 : 2;
            std::uint32_t got = 0;
            for (std::size_t i = 0; i < n; ++i) {
                int b = get_escaped(timeout);
                if (b == ByteLink::TIMED_OUT) return {SubpacketRead::TIMED_OUT};
                if (b < 0 || b > 0xFF) return {SubpacketRead::DAMAGED};
                got = crc32 ? got | static_cast<std::uint32_t>(b) << (8 * i)
                            : got << 8 | static_cast<std::uint32_t>(b);
            }
            std::uint32_t expect;
            if (crc32) {
                expect = ~crc32_update(crc32_raw(out, 0xFFFFFFFFu), end);
            } else {
                expect = crc16_update(crc16(out), end);
            }
            if (expect != got) return {SubpacketRead::DAMAGED};
            return {SubpacketRead::OK, end};
        }
        if (out.size() >= max_length) return {SubpacketRead::DAMAGED};
        out += static_cast<char>(c);
        take_plain_run(out, max_length);
    }
}

}  // namespace termiva::xfer::zm
