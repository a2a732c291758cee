// The terminal description a SUPDUP client sends first: six 36-bit words, each carried as
// six 6-bit bytes. Pure functions, so the wire form can be checked without a connection.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "sixbitline/export.h"
#include "sixbitline/protocol.h"

namespace termiva {

// The six bytes of one 36-bit word, most significant first; every byte is below 0100.
SIXBITLINE_API std::string encode_36bit_word(SupdupProtocol::Word word);

// The TTYOPT word: what this terminal can do and how it wants the server to behave.
SIXBITLINE_API SupdupProtocol::Word build_ttyopt(std::string_view charset, bool scrolling,
                                                 bool more_processing);

// The six words in the order they go out: count, type, options, height, width, scroll.
// The width word is one less than the columns (the last column stays free for the
// server's line-continuation mark); negative sizes are sent as 0.
SIXBITLINE_API std::array<SupdupProtocol::Word, 6> terminal_description_words(
    std::string_view charset, bool scrolling, bool more_processing, int term_height,
    int term_width);

}  // namespace termiva
