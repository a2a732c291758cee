// Whole-image zlib compression for compressed flash writes.
#pragma once

#include <string>
#include <string_view>

namespace flashwright::detail {

// A zlib stream (header, deflate data, Adler-32) of `raw` at level 9.
std::string zlib_compress(std::string_view raw);

}  // namespace flashwright::detail
