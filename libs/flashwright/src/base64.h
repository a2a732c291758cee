// Standard base64 decoding for the stub files.
#pragma once

#include <string>
#include <string_view>

namespace flashwright::detail {

// Decodes standard base64 (whitespace ignored, '=' padding required to a multiple of four).
// Throws std::invalid_argument on any other character or a bad length.
std::string base64_decode(std::string_view text);

}  // namespace flashwright::detail
