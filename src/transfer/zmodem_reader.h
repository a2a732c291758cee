// ZMODEM as the receiving side sees it: headers found among noise, escaped data
// subpackets, and the peer's abort (five CAN in a row).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "transfer/transfer_context.h"
#include "transfer/zmodem_frame.h"

namespace termiva::xfer::zm {

struct HeaderRead {
    enum Status { OK, TIMED_OUT, DAMAGED } status = TIMED_OUT;
    Header header;
    bool crc32 = false;  // the header came as ZBIN32: its data subpackets use CRC-32
};

struct SubpacketRead {
    enum Status { OK, TIMED_OUT, DAMAGED } status = DAMAGED;
    std::uint8_t end = 0;  // ZCRCE, ZCRCG, ZCRCQ or ZCRCW
};

class Reader {
public:
    explicit Reader(TransferContext& ctx) : m_ctx(ctx) {}

    // The next header within `timeout`; everything before it is skipped. Throws
    // TransferFailed when the peer aborts.
    HeaderRead read_header(std::chrono::milliseconds timeout);
    // One data subpacket into `out` (replaced).
    SubpacketRead read_subpacket(std::string& out, bool crc32,
                                 std::size_t max_length = MAX_SUBPACKET);

private:
    static constexpr int FRAME_END = 0x100;
    static constexpr int BAD = -3;

    int get_raw(std::chrono::milliseconds timeout);
    // A data byte, FRAME_END | end character, ByteLink::TIMED_OUT or BAD.
    int get_escaped(std::chrono::milliseconds timeout);
    HeaderRead read_binary_header(bool crc32);
    HeaderRead read_hex_header();
    // The CR LF (either maybe with the high bit) that ends a hex header, when present.
    void take_line_end(std::uint8_t type);
    void take_plain_run(std::string& out, std::size_t max_length);

    TransferContext& m_ctx;
    int m_cans = 0;
};

}  // namespace termiva::xfer::zm
