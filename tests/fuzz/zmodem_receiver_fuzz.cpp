// The ZMODEM receiver fed a sender's bytes: headers, subpackets, escapes, CRCs.
#include "receiver_harness.h"
#include "transfer/zmodem_receiver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static termiva::fuzz::ScratchDir dir;
    termiva::fuzz::run_receiver(
        std::string_view(reinterpret_cast<const char*>(data), size),
        [](termiva::xfer::TransferContext& ctx) { receive_with_zmodem(ctx, dir.path()); });
    dir.clear();
    return 0;
}
