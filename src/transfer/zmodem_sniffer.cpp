#include "transfer/zmodem_sniffer.h"

namespace termiva {

ZmodemSniffer::Result ZmodemSniffer::feed(std::string_view data) {
    Result result;
    std::string joined = m_tail;
    joined.append(data);
    std::size_t at = joined.find(START);
    if (at == std::string::npos) {
        result.shown.assign(data);
        std::size_t keep = std::min(joined.size(), START.size() - 1);
        m_tail = joined.substr(joined.size() - keep);
        return result;
    }
    result.detected = true;
    // A header that began in an earlier chunk: those bytes were shown already, and the
    // transfer gets the header whole.
    std::size_t shown_from_data = at > m_tail.size() ? at - m_tail.size() : 0;
    result.shown.assign(data.substr(0, shown_from_data));
    result.transfer = joined.substr(at);
    m_tail.clear();
    return result;
}

void ZmodemSniffer::reset() {
    m_tail.clear();
}

namespace {

bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The length of a receiver header's rest (after START) at the front of `rest`: 12 hex
// digits, CR, LF (its high bit may be set) and an optional XON; 0 when it is not whole.
std::size_t header_rest(std::string_view rest) {
    constexpr std::size_t kHex = 12;
    if (rest.size() < kHex + 2) return 0;
    for (std::size_t i = 0; i < kHex; ++i)
        if (!is_hex(rest[i])) return 0;
    if (rest[kHex] != '\r' || (static_cast<unsigned char>(rest[kHex + 1]) & 0x7f) != '\n') return 0;
    std::size_t n = kHex + 2;
    if (n < rest.size() && rest[n] == '\x11') ++n;
    return n;
}

}  // namespace

ZmodemReceiverWatch::Result ZmodemReceiverWatch::feed(std::string_view data) {
    Result result;
    std::string joined = m_tail;
    joined.append(data);
    std::size_t at = joined.find(START);
    if (at == std::string::npos) {
        result.shown.assign(data);
        std::size_t keep = std::min(joined.size(), START.size() - 1);
        m_tail = joined.substr(joined.size() - keep);
        return result;
    }
    result.waiting = true;
    m_tail.clear();
    const std::size_t header_in_data =
        at >= (joined.size() - data.size()) ? at - (joined.size() - data.size()) : 0;
    // Begun in an earlier chunk: that part is on the screen already, so the rest is too.
    if (at < joined.size() - data.size()) {
        result.shown.assign(data);
        return result;
    }
    const std::size_t after = header_in_data + START.size();
    const std::size_t rest = header_rest(data.substr(after));
    result.shown.assign(data.substr(0, header_in_data));
    if (rest == 0)
        result.shown.append(data.substr(header_in_data));
    else
        result.shown.append(data.substr(after + rest));
    return result;
}

void ZmodemReceiverWatch::reset() {
    m_tail.clear();
}

}  // namespace termiva
