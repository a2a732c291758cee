#include "sixbitline/terminal_description.h"

#include <algorithm>

namespace termiva {

namespace {
using P = SupdupProtocol;
constexpr int BYTES_PER_WORD = 6;
constexpr int BITS_PER_BYTE = 6;
constexpr P::Word SIX_BIT_MASK = 077;
}  // namespace

std::string encode_36bit_word(SupdupProtocol::Word word) {
    std::string bytes(BYTES_PER_WORD, '\0');
    for (int i = 0; i < BYTES_PER_WORD; ++i) {
        const int shift = BITS_PER_BYTE * (BYTES_PER_WORD - 1 - i);
        bytes[i] = static_cast<char>((word >> shift) & SIX_BIT_MASK);
    }
    return bytes;
}

SupdupProtocol::Word build_ttyopt(std::string_view charset, bool scrolling, bool more_processing) {
    P::Word word =
        P::TOERS | P::TOMVB | P::TOMVU | P::TOLWR | P::TOLID | P::TOCID | P::TPCBS | P::TPORS;
    if (charset != P::CHARSET_ASCII) {
        word |= P::TOSAI | P::TOSA1;
    }
    if (scrolling) {
        word |= P::TOROL;
    }
    if (more_processing) {
        word |= P::TOMOR;
    }
    return word;
}

std::array<SupdupProtocol::Word, 6> terminal_description_words(std::string_view charset,
                                                               bool scrolling, bool more_processing,
                                                               int term_height, int term_width) {
    const int height = std::max(term_height, 0);
    const int width = std::max(term_width - 1, 0);
    return {P::WORDS,
            P::TCTYP,
            build_ttyopt(charset, scrolling, more_processing),
            static_cast<P::Word>(height),
            static_cast<P::Word>(width),
            P::TTYROL};
}

}  // namespace termiva
