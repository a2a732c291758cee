#include "transfer/zmodem_frame.h"

#include "transfer/crc.h"

namespace termiva::xfer::zm {

Header Header::at(std::uint8_t type, std::uint32_t position) {
    Header h;
    h.type = type;
    for (int i = 0; i < 4; ++i)
        h.data[i] = static_cast<std::uint8_t>(position >> (8 * i));
    return h;
}

Header Header::with_flags(std::uint8_t type, std::uint8_t zf0, std::uint8_t zf1, std::uint8_t zf2,
                          std::uint8_t zf3) {
    Header h;
    h.type = type;
    h.data = {zf3, zf2, zf1, zf0};
    return h;
}

std::uint32_t Header::position() const {
    return static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
           static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
}

Escaper::Escaper(bool escape_controls) {
    for (unsigned c = 0; c < 256; ++c) {
        unsigned low = c & 0x7F;
        bool always = low == ZDLE || low == 0x10 || low == XON || low == XOFF;
        m_escape[c] = always || (escape_controls && low < 0x20);
    }
}

void Escaper::append(std::string& out, std::uint8_t c) {
    // CR after '@' is escaped too: "@<CR>" is a Telenet escape.
    bool escape = m_escape[c] || ((c & 0x7F) == '\r' && (m_last & 0x7F) == '@');
    if (escape) {
        out += static_cast<char>(ZDLE);
        out += static_cast<char>(c ^ 0x40);
    } else {
        out += static_cast<char>(c);
    }
    m_last = c;
}

void Escaper::append(std::string& out, std::string_view data) {
    // Runs of bytes that need no escape are copied whole; most data is such a run.
    std::size_t start = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        auto c = static_cast<std::uint8_t>(data[i]);
        if (!m_escape[c] && (c & 0x7F) != '\r') continue;
        out.append(data.data() + start, i - start);
        if (i > start) m_last = static_cast<std::uint8_t>(data[i - 1]);
        append(out, c);
        start = i + 1;
    }
    if (start < data.size()) {
        out.append(data.data() + start, data.size() - start);
        m_last = static_cast<std::uint8_t>(data.back());
    }
}

namespace {

std::string_view header_bytes(const Header& h, char (&buf)[5]) {
    buf[0] = static_cast<char>(h.type);
    for (int i = 0; i < 4; ++i)
        buf[i + 1] = static_cast<char>(h.data[i]);
    return {buf, 5};
}

void append_hex(std::string& out, std::uint8_t b) {
    static const char digits[] = "0123456789abcdef";
    out += digits[b >> 4];
    out += digits[b & 0x0F];
}

void append_crc(std::string& out, std::string_view covered, bool crc32, Escaper& esc) {
    if (crc32) {
        std::uint32_t c = crc32_raw(covered, 0xFFFFFFFFu);
        c = ~c;
        for (int i = 0; i < 4; ++i)
            esc.append(out, static_cast<std::uint8_t>(c >> (8 * i)));
    } else {
        std::uint16_t c = crc16(covered);
        esc.append(out, static_cast<std::uint8_t>(c >> 8));
        esc.append(out, static_cast<std::uint8_t>(c & 0xFF));
    }
}

}  // namespace

std::string hex_header(const Header& h) {
    char buf[5];
    std::string_view bytes = header_bytes(h, buf);
    std::string out = "**";
    out += static_cast<char>(ZDLE);
    out += static_cast<char>(ZHEX);
    for (char c : bytes)
        append_hex(out, static_cast<std::uint8_t>(c));
    std::uint16_t c = crc16(bytes);
    append_hex(out, static_cast<std::uint8_t>(c >> 8));
    append_hex(out, static_cast<std::uint8_t>(c & 0xFF));
    out += '\r';
    out += static_cast<char>(0x8A);
    // The XON restarts a sender that an XOFF stopped; not after ZACK or ZFIN, whose
    // peers may already be reading data.
    if (h.type != ZACK && h.type != ZFIN) out += static_cast<char>(XON);
    return out;
}

std::string binary_header(const Header& h, bool crc32, Escaper& esc) {
    char buf[5];
    std::string_view bytes = header_bytes(h, buf);
    std::string out;
    out += static_cast<char>(ZPAD);
    out += static_cast<char>(ZDLE);
    out += static_cast<char>(crc32 ? ZBIN32 : ZBIN);
    esc.append(out, bytes);
    append_crc(out, bytes, crc32, esc);
    return out;
}

void append_subpacket(std::string& out, std::string_view data, std::uint8_t end, bool crc32,
                      Escaper& esc) {
    esc.append(out, data);
    out += static_cast<char>(ZDLE);
    out += static_cast<char>(end);
    if (crc32) {
        std::uint32_t c = crc32_raw(data, 0xFFFFFFFFu);
        c = ~crc32_update(c, end);
        for (int i = 0; i < 4; ++i)
            esc.append(out, static_cast<std::uint8_t>(c >> (8 * i)));
    } else {
        std::uint16_t c = crc16_update(crc16(data), end);
        esc.append(out, static_cast<std::uint8_t>(c >> 8));
        esc.append(out, static_cast<std::uint8_t>(c & 0xFF));
    }
    if (end == ZCRCW) out += static_cast<char>(XON);
}

std::string abort_sequence() {
    return std::string(8, '\x18') + std::string(8, '\x08');
}

}  // namespace termiva::xfer::zm
