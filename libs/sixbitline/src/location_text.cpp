#include "location_text.h"

namespace termiva {

namespace {

bool is_continuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// Length of the well-formed UTF-8 sequence starting at `i`, or 0 if there is none.
std::size_t utf8_sequence_length(std::string_view text, std::size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if (!is_continuation(static_cast<unsigned char>(text[i + k]))) {
            return 0;
        }
    }
    return length;
}

}  // namespace

std::string location_to_ascii(std::string_view utf8) {
    std::string ascii;
    ascii.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            ascii += c == 0 ? '?' : static_cast<char>(c);
            ++i;
            continue;
        }
        const std::size_t length = utf8_sequence_length(utf8, i);
        ascii += '?';
        i += length == 0 ? 1 : length;
    }
    return ascii;
}

}  // namespace termiva
