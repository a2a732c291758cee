// Blocks of the XMODEM family (XMODEM, XMODEM-CRC, XMODEM-1K, YMODEM, YMODEM-G): framing,
// trailers and the YMODEM header block that carries a file's name and size.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace termiva::xfer::xm {

constexpr std::uint8_t SOH = 0x01;
constexpr std::uint8_t STX = 0x02;
constexpr std::uint8_t EOT = 0x04;
constexpr std::uint8_t ACK = 0x06;
constexpr std::uint8_t NAK = 0x15;
constexpr std::uint8_t CAN = 0x18;
constexpr std::uint8_t SUB = 0x1A;
constexpr std::uint8_t CRC_REQUEST = 'C';
constexpr std::uint8_t STREAM_REQUEST = 'G';

constexpr std::size_t SHORT_BLOCK = 128;
constexpr std::size_t LONG_BLOCK = 1024;

// What a protocol name means for the block protocols.
struct BlockProtocol {
    bool batch = false;                    // YMODEM: names and sizes in block 0, several files
    bool streaming = false;                // YMODEM-G: no acknowledgements, an error aborts
    bool crc = false;                      // the receiver asks for CRC-16 rather than the checksum
    std::size_t block_size = SHORT_BLOCK;  // what a sender uses for full blocks
};

// Nullopt for names outside the family (zmodem, unknown names).
std::optional<BlockProtocol> block_protocol(std::string_view name);

// SOH/STX, sequence, complement, payload, then checksum or CRC (high byte first).
// `payload` must be exactly 128 or 1024 bytes.
std::string build_block(std::uint8_t seq, std::string_view payload, bool crc);

// Whether `trailer` (1 or 2 bytes) matches `payload`.
bool trailer_matches(std::string_view payload, std::string_view trailer, bool crc);

// `data` padded with SUB up to `size`.
std::string padded(std::string_view data, std::size_t size);

struct FileHeader {
    std::string name;  // empty: the end of the batch
    std::optional<std::uint64_t> size;
};

// Block 0's payload: "name\0size mtime mode" with NULs up to 128 (or 1024 when needed).
std::string header_payload(const std::string& name, std::uint64_t size, std::int64_t mtime,
                           unsigned mode);
FileHeader parse_header_payload(std::string_view payload);

}  // namespace termiva::xfer::xm
