// The detector of a ZMODEM sender in terminal output: whatever the chunking, it shows
// every byte before the header, hands over the header and what follows whole, and
// detects exactly where the header first completes.
#include "fuzz_support.h"
#include "transfer/zmodem_sniffer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using termiva::ZmodemSniffer;
    if (size < 1) return 0;
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t header = input.find(ZmodemSniffer::START);
    ZmodemSniffer sniffer;
    std::size_t start = 0;
    for (std::string_view chunk : termiva::fuzz::chunks(input, data[0], 8)) {
        const std::size_t end = start + chunk.size();
        ZmodemSniffer::Result r = sniffer.feed(chunk);
        if (header == std::string_view::npos || header + ZmodemSniffer::START.size() > end) {
            TERMIVA_FUZZ_CHECK(!r.detected);
            TERMIVA_FUZZ_CHECK(r.shown == chunk);
            TERMIVA_FUZZ_CHECK(r.transfer.empty());
        } else {
            TERMIVA_FUZZ_CHECK(r.detected);
            TERMIVA_FUZZ_CHECK(r.transfer == input.substr(header, end - header));
            const std::size_t shown = header > start ? header - start : 0;
            TERMIVA_FUZZ_CHECK(r.shown == input.substr(start, shown));
            return 0;
        }
        start = end;
    }
    return 0;
}
