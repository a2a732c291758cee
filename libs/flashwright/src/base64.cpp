#include "base64.h"

#include <stdexcept>

namespace flashwright::detail {
namespace {

int sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::string base64_decode(std::string_view text) {
    std::string symbols;
    symbols.reserve(text.size());
    for (char c : text) {
        if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
        symbols += c;
    }
    if (symbols.size() % 4 != 0) throw std::invalid_argument("base64: incorrect padding");
    std::string out;
    out.reserve(symbols.size() / 4 * 3);
    for (std::size_t i = 0; i < symbols.size(); i += 4) {
        const bool last = i + 4 == symbols.size();
        int pad = 0;
        int v[4];
        for (int k = 0; k < 4; ++k) {
            const char c = symbols[i + k];
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++pad;
                continue;
            }
            if (pad > 0 || (v[k] = sextet(c)) < 0) {
                throw std::invalid_argument("base64: invalid character");
            }
        }
        const unsigned triple = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
        out += static_cast<char>((triple >> 16) & 0xFF);
        if (pad < 2) out += static_cast<char>((triple >> 8) & 0xFF);
        if (pad < 1) out += static_cast<char>(triple & 0xFF);
    }
    return out;
}

}  // namespace flashwright::detail
