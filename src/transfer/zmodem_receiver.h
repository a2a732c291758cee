// Receiving with ZMODEM: any number of files into one folder, damaged data repeated from
// the last good position, acknowledgements whenever the sender asks for them.
#pragma once

#include <filesystem>

#include "transfer/transfer_context.h"

namespace termiva::xfer {

void receive_with_zmodem(TransferContext& ctx, const std::filesystem::path& save_dir);

}  // namespace termiva::xfer
