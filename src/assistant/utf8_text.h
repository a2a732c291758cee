// Output of a child program as text: undecodable bytes become U+FFFD.
#pragma once

#include <string>
#include <string_view>

#include "text/utf8.h"

namespace termiva::assistant {

inline std::string valid_utf8(std::string_view bytes) {
    text::Utf8Sanitizer sanitizer;
    std::string out;
    sanitizer.decode(bytes, out);
    sanitizer.finish(out);
    return out;
}

}  // namespace termiva::assistant
