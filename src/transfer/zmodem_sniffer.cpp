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

}  // namespace termiva
