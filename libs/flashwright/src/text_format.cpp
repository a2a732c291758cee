#include "text_format.h"

#include <cstdio>

namespace flashwright::detail {

std::string hex2(unsigned value) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02x", value & 0xFFu);
    return buf;
}

std::string hex8(std::uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", static_cast<unsigned>(value));
    return buf;
}

std::string hex8_upper(std::uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(value));
    return buf;
}

std::string hex_upper(std::uint64_t value) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(value));
    return buf;
}

std::string render_bytes(std::string_view bytes) {
    const bool has_single = bytes.find('\'') != std::string_view::npos;
    const bool has_double = bytes.find('"') != std::string_view::npos;
    const char quote = (has_single && !has_double) ? '"' : '\'';
    std::string out = "b";
    out += quote;
    for (unsigned char c : bytes) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == static_cast<unsigned char>(quote)) {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            out += "\\x" + hex2(c);
        }
    }
    out += quote;
    return out;
}

std::string one_decimal(double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f", value);
    return buf;
}

std::string base_name(std::string_view path) {
    const auto cut = path.find_last_of("/\\");
    return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

}  // namespace flashwright::detail
