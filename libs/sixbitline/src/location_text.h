// The location text as the server receives it.
#pragma once

#include <string>
#include <string_view>

namespace termiva {

// ASCII form of a UTF-8 text: every non-ASCII character (or stray non-UTF-8 byte) becomes
// one "?". A zero byte would end the text early on the wire and let the rest pass as
// keystrokes, so it becomes "?" too.
std::string location_to_ascii(std::string_view utf8);

}  // namespace termiva
