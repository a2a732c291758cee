// Sending with ZMODEM: the receiver's capabilities (CRC-32, escaping, buffer size) decide
// the framing; it may ask to start or repeat from any position.
#pragma once

#include <filesystem>
#include <vector>

#include "transfer/transfer_context.h"

namespace termiva::xfer {

void send_with_zmodem(TransferContext& ctx, const std::vector<std::filesystem::path>& files);

}  // namespace termiva::xfer
