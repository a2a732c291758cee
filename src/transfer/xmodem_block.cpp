#include "transfer/xmodem_block.h"

#include <charconv>
#include <cstdio>

#include "transfer/crc.h"

namespace termiva::xfer::xm {

std::optional<BlockProtocol> block_protocol(std::string_view name) {
    BlockProtocol p;
    if (name == "xmodem") return p;
    if (name == "xmodem-crc") {
        p.crc = true;
        return p;
    }
    if (name == "xmodem-1k") {
        p.crc = true;
        p.block_size = LONG_BLOCK;
        return p;
    }
    if (name == "ymodem" || name == "ymodem-g") {
        p.batch = true;
        p.crc = true;
        p.block_size = LONG_BLOCK;
        p.streaming = name == "ymodem-g";
        return p;
    }
    return std::nullopt;
}

std::string build_block(std::uint8_t seq, std::string_view payload, bool crc) {
    std::string block;
    block.reserve(payload.size() + 5);
    block += static_cast<char>(payload.size() == LONG_BLOCK ? STX : SOH);
    block += static_cast<char>(seq);
    block += static_cast<char>(0xFF - seq);
    block.append(payload);
    if (crc) {
        std::uint16_t c = crc16(payload);
        block += static_cast<char>(c >> 8);
        block += static_cast<char>(c & 0xFF);
    } else {
        block += static_cast<char>(checksum8(payload));
    }
    return block;
}

bool trailer_matches(std::string_view payload, std::string_view trailer, bool crc) {
    if (crc) {
        if (trailer.size() != 2) return false;
        std::uint16_t c = crc16(payload);
        return static_cast<std::uint8_t>(trailer[0]) == (c >> 8) &&
               static_cast<std::uint8_t>(trailer[1]) == (c & 0xFF);
    }
    return trailer.size() == 1 && static_cast<std::uint8_t>(trailer[0]) == checksum8(payload);
}

std::string padded(std::string_view data, std::size_t size) {
    std::string out(data);
    if (out.size() < size) out.append(size - out.size(), static_cast<char>(SUB));
    return out;
}

std::string header_payload(const std::string& name, std::uint64_t size, std::int64_t mtime,
                           unsigned mode) {
    char info[64];
    std::snprintf(info, sizeof info, "%llu %llo %o", static_cast<unsigned long long>(size),
                  static_cast<unsigned long long>(mtime < 0 ? 0 : mtime), mode);
    std::string payload = name;
    payload += '\0';
    payload += info;
    std::size_t target = payload.size() < SHORT_BLOCK ? SHORT_BLOCK : LONG_BLOCK;
    if (payload.size() >= target) payload.resize(target - 1);
    payload.append(target - payload.size(), '\0');
    return payload;
}

FileHeader parse_header_payload(std::string_view payload) {
    FileHeader h;
    std::size_t nul = payload.find('\0');
    h.name = std::string(payload.substr(0, nul));
    if (nul == std::string_view::npos || h.name.empty()) return h;
    std::string_view rest = payload.substr(nul + 1);
    std::size_t digits = 0;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9')
        ++digits;
    std::uint64_t size = 0;
    if (digits > 0 && std::from_chars(rest.data(), rest.data() + digits, size).ec == std::errc()) {
        h.size = size;
    }
    return h;
}

}  // namespace termiva::xfer::xm
