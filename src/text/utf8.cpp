#include "text/utf8.h"

#include <cstring>

namespace termiva::text {

namespace {

constexpr char REPLACEMENT[] = "\xEF\xBF\xBD";

// Length of the sequence a lead byte starts, 0 for a byte that cannot start one.
int sequence_length(unsigned char b) {
    if (b < 0x80) return 1;
    if (b >= 0xC2 && b <= 0xDF) return 2;
    if (b >= 0xE0 && b <= 0xEF) return 3;
    if (b >= 0xF0 && b <= 0xF4) return 4;
    return 0;
}

// Whether `b` may follow `lead` as the second byte (the overlong, surrogate and
// out-of-range exclusions live here); later bytes are plain continuation bytes.
bool valid_second(unsigned char lead, unsigned char b) {
    switch (lead) {
        case 0xE0:
            return b >= 0xA0 && b <= 0xBF;
        case 0xED:
            return b >= 0x80 && b <= 0x9F;
        case 0xF0:
            return b >= 0x90 && b <= 0xBF;
        case 0xF4:
            return b >= 0x80 && b <= 0x8F;
        default:
            return b >= 0x80 && b <= 0xBF;
    }
}

bool is_continuation(unsigned char b) {
    return b >= 0x80 && b <= 0xBF;
}

// Decodes s[0..n) into out; returns how many trailing bytes form an incomplete but
// so-far valid sequence (those are not consumed).
std::size_t decode_span(const unsigned char* s, std::size_t n, std::string& out) {
    std::size_t i = 0;
    while (i < n) {
        // Copy ASCII runs in bulk: the common case for terminal output.
        std::size_t run = i;
        while (run < n && s[run] < 0x80)
            ++run;
        if (run > i) {
            out.append(reinterpret_cast<const char*>(s + i), run - i);
            i = run;
            if (i >= n) break;
        }
        unsigned char lead = s[i];
        int len = sequence_length(lead);
        if (len == 0) {
            out += REPLACEMENT;
            ++i;
            continue;
        }
        std::size_t have = 1;
        bool ok = true;
        while (have < static_cast<std::size_t>(len)) {
            if (i + have >= n) break;
            unsigned char b = s[i + have];
            bool good = have == 1 ? valid_second(lead, b) : is_continuation(b);
            if (!good) {
                ok = false;
                break;
            }
            ++have;
        }
        if (!ok) {
            out += REPLACEMENT;  // the maximal subpart seen so far
            i += have;
            continue;
        }
        if (have < static_cast<std::size_t>(len)) return n - i;  // incomplete at the end
        out.append(reinterpret_cast<const char*>(s + i), have);
        i += have;
    }
    return 0;
}

}  // namespace

std::size_t count_code_points(std::string_view utf8) {
    std::size_t n = 0;
    for (unsigned char c : utf8)
        n += (c & 0xC0) != 0x80;
    return n;
}

void Utf8Sanitizer::decode(std::string_view bytes, std::string& out) {
    auto data = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t n = bytes.size();
    if (m_pending_len > 0) {
        // Complete the kept sequence with as few new bytes as it needs.
        unsigned char joined[8];
        std::memcpy(joined, m_pending, m_pending_len);
        std::size_t take = n < 4 ? n : 4;
        std::memcpy(joined + m_pending_len, data, take);
        std::size_t total = m_pending_len + take;
        std::string head;
        std::size_t left = decode_span(joined, total, head);
        std::size_t consumed_from_joined = total - left;
        if (consumed_from_joined <= m_pending_len) {
            // Still incomplete: everything new was swallowed (fewer than 4 bytes arrived).
            out += head;
            std::memcpy(m_pending, joined + consumed_from_joined, left);
            m_pending_len = left;
            return;
        }
        // Decode the joined window only up to where it first reached fresh bytes
        // that the main pass can handle itself.
        std::size_t used_new = consumed_from_joined - m_pending_len;
        out += head;
        data += used_new;
        n -= used_new;
        m_pending_len = 0;
        if (left > 0 && n == 0) {
            std::memcpy(m_pending, joined + consumed_from_joined, left);
            m_pending_len = left;
            return;
        }
    }
    std::size_t left = decode_span(data, n, out);
    std::memcpy(m_pending, data + n - left, left);
    m_pending_len = left;
}

void Utf8Sanitizer::finish(std::string& out) {
    if (m_pending_len > 0) out += REPLACEMENT;
    m_pending_len = 0;
}

std::string cut_status_line(std::string_view text, std::size_t max_bytes) {
    if (text.size() <= max_bytes) return std::string(text);
    std::size_t cut = max_bytes;
    // Back to the first byte of the character the cut falls in.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    std::string out(text.substr(0, cut));
    out += CUT_MARK;
    return out;
}

}  // namespace termiva::text
