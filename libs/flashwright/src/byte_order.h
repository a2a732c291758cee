// Little-endian packing of the protocol's 16- and 32-bit fields.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace flashwright::detail {

inline void put_u16(std::string& out, std::uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
}

inline void put_u32(std::string& out, std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8)
        out += static_cast<char>((v >> shift) & 0xFF);
}

inline std::string words_le(std::initializer_list<std::uint32_t> words) {
    std::string out;
    for (auto w : words)
        put_u32(out, w);
    return out;
}

inline std::uint16_t get_u16(std::string_view in, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(in[at]) |
                                      (static_cast<std::uint8_t>(in[at + 1]) << 8));
}

inline std::uint32_t get_u32(std::string_view in, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<std::uint8_t>(in[at + i]);
    return v;
}

}  // namespace flashwright::detail
