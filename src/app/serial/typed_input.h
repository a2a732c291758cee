// What a serial tab does with what the user types: Enter becomes the line ending the
// session asks for, and with local echo on, the typed text is shown as a terminal would
// show it (the far end of a serial line often echoes nothing).
#pragma once

#include <string>
#include <string_view>

namespace termiva {

// `typed` with every carriage return (Enter, and the line breaks of a paste) replaced
// by `line_ending`.
std::string with_line_ending(std::string_view typed, std::string_view line_ending);

// The text that shows `typed` on the screen: Enter as a new line, Backspace and Delete
// erase the character before the cursor, printable text as it is. Escape sequences
// (arrow and function keys) and other control characters are not shown: they would
// move the cursor or change the screen instead of showing what was sent.
std::string local_echo_text(std::string_view typed);

}  // namespace termiva
