#include "transfer/zmodem_sniffer.h"

namespace termiva {

MarkerFinder::Found MarkerFinder::find(std::string_view data) {
    Found result;
    const std::size_t reach = m_marker.size() - 1;
    // A marker that began in the kept bytes ends within the chunk's first `reach` bytes.
    if (!m_tail.empty()) {
        std::string border = m_tail;
        border.append(data.substr(0, reach));
        const std::size_t at = border.find(m_marker);
        if (at != std::string::npos && at < m_tail.size()) {
            result.found = true;
            result.carried = m_tail.substr(at);
            m_tail.clear();
            return result;
        }
    }
    const std::size_t at = data.find(m_marker);
    if (at != std::string_view::npos) {
        result.found = true;
        result.at = at;
        m_tail.clear();
        return result;
    }
    if (data.size() >= reach) {
        m_tail.assign(data.substr(data.size() - reach));
    } else {
        m_tail.append(data);
        if (m_tail.size() > reach) m_tail.erase(0, m_tail.size() - reach);
    }
    return result;
}

ZmodemSniffer::Result ZmodemSniffer::feed(std::string_view data) {
    Result result;
    MarkerFinder::Found start = m_finder.find(data);
    if (!start.found) {
        result.shown.assign(data);
        return result;
    }
    result.detected = true;
    // A header that began in an earlier chunk: those bytes were shown already, and the
    // transfer gets the header whole.
    result.shown.assign(data.substr(0, start.at));
    result.transfer = std::move(start.carried);
    result.transfer.append(data.substr(start.at));
    return result;
}

void ZmodemSniffer::reset() {
    m_finder.reset();
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
    MarkerFinder::Found start = m_finder.find(data);
    result.waiting = start.found;
    // Not there, or begun in an earlier chunk: that part is on the screen already, so the
    // rest is too.
    if (!start.found || !start.carried.empty()) {
        result.shown.assign(data);
        return result;
    }
    const std::size_t after = start.at + START.size();
    const std::size_t rest = header_rest(data.substr(after));
    result.shown.assign(data.substr(0, start.at));
    result.shown.append(data.substr(rest == 0 ? start.at : after + rest));
    return result;
}

void ZmodemReceiverWatch::reset() {
    m_finder.reset();
}

}  // namespace termiva
