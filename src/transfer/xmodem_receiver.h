// Receiving with XMODEM, XMODEM-CRC, XMODEM-1K, YMODEM and YMODEM-G.
#pragma once

#include <filesystem>

#include "transfer/transfer_context.h"
#include "transfer/xmodem_block.h"

namespace termiva::xfer {

// XMODEM carries no name; what a single received file is called.
inline constexpr const char* XMODEM_FILE_NAME = "xmodem-received.bin";

// Receives into `save_dir` until the sender ends the file (XMODEM) or the batch (YMODEM).
// XMODEM keeps the padding of the last block: the protocol cannot tell it from data.
void receive_with_blocks(TransferContext& ctx, const xm::BlockProtocol& protocol,
                         const std::filesystem::path& save_dir);

}  // namespace termiva::xfer
