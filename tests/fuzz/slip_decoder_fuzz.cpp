// The SLIP decoder fed a serial line's bytes in pieces: it never makes a packet that was
// not framed (empty, or more bytes than came in), and the cut does not change the result.
#include "flashwright_job.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::string_view line(reinterpret_cast<const char*>(data) + 1, size - 1);
    auto whole = termiva::fuzz::quiet_job();
    whole->_feed_slip_chunk(line);
    auto pieces = termiva::fuzz::quiet_job();
    for (std::string_view chunk : termiva::fuzz::chunks(line, data[0]))
        pieces->_feed_slip_chunk(chunk);
    std::size_t total = 0;
    for (const auto& packet : pieces->_packet_q) {
        TERMIVA_FUZZ_CHECK(!packet.empty());
        total += packet.size();
    }
    TERMIVA_FUZZ_CHECK(total <= line.size());
    TERMIVA_FUZZ_CHECK(whole->_packet_q == pieces->_packet_q);
    return 0;
}
