// The XMODEM / XMODEM-CRC / XMODEM-1K / YMODEM / YMODEM-G receiver; the first byte picks
// the protocol, the rest is what the sender sent.
#include "receiver_harness.h"
#include "transfer/xmodem_receiver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static termiva::fuzz::ScratchDir dir;
    if (size < 1) return 0;
    static const char* const NAMES[] = {"xmodem", "xmodem-crc", "xmodem-1k", "ymodem", "ymodem-g"};
    const auto protocol = termiva::xfer::xm::block_protocol(NAMES[data[0] % 5]);
    TERMIVA_FUZZ_CHECK(protocol.has_value());
    termiva::fuzz::run_receiver(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1),
                                [&](termiva::xfer::TransferContext& ctx) {
                                    receive_with_blocks(ctx, *protocol, dir.path());
                                });
    dir.clear();
    return 0;
}
