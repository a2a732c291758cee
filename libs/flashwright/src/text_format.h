// Small formatting helpers for log texts and diagnostics.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace flashwright::detail {

// Two lower-case hex digits.
std::string hex2(unsigned value);
// Eight lower-case hex digits.
std::string hex8(std::uint32_t value);
// Eight upper-case hex digits.
std::string hex8_upper(std::uint32_t value);
// Upper-case hex without padding.
std::string hex_upper(std::uint64_t value);
// A byte string as a printable literal: b'OHAI\x00\xc0'.
std::string render_bytes(std::string_view bytes);
// "True" / "False", as the diagnostics spell booleans.
inline const char* diag_bool(bool value) {
    return value ? "True" : "False";
}
// Fixed-point with one decimal.
std::string one_decimal(double value);
// Base name of a path given as text (both separators accepted).
std::string base_name(std::string_view path);

}  // namespace flashwright::detail
