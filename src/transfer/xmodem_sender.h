// Sending with XMODEM, XMODEM-CRC, XMODEM-1K, YMODEM and YMODEM-G.
#pragma once

#include <filesystem>
#include <vector>

#include "transfer/transfer_context.h"
#include "transfer/xmodem_block.h"

namespace termiva::xfer {

// Sends `files` (exactly one unless the protocol is a batch protocol). Throws
// TransferFailed or TransferCancelled.
void send_with_blocks(TransferContext& ctx, const xm::BlockProtocol& protocol,
                      const std::vector<std::filesystem::path>& files);

}  // namespace termiva::xfer
