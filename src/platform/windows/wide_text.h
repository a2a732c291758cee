// The one conversion between the program's UTF-8 text and the UTF-16 that every Windows
// call takes and returns. Nothing else in the Windows layer converts text.
#pragma once

#include <string>
#include <string_view>

namespace termiva::platform::windows {

// UTF-16 for UTF-8 text. A byte sequence that is not UTF-8 becomes U+FFFD (one per
// maximal bad sequence, as Windows counts them); never throws for bad input. Throws
// std::length_error for text of 2 GiB or more, which no Windows call takes.
std::wstring to_utf16(std::string_view utf8);

// UTF-8 for UTF-16 text. An unpaired surrogate becomes U+FFFD; never throws for bad input.
// Throws std::length_error like to_utf16.
std::string to_utf8(std::wstring_view utf16);

}  // namespace termiva::platform::windows
