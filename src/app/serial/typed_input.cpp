#include "app/serial/typed_input.h"

namespace termiva {

std::string with_line_ending(std::string_view typed, std::string_view line_ending) {
    if (line_ending == "\r") return std::string(typed);
    std::string out;
    out.reserve(typed.size());
    for (char c : typed) {
        if (c == '\r') {
            out += line_ending;
        } else {
            out += c;
        }
    }
    return out;
}

namespace {

// Where the escape sequence starting at `i` (an ESC) ends, one past its last byte.
std::size_t escape_end(std::string_view s, std::size_t i) {
    std::size_t j = i + 1;
    if (j >= s.size()) return j;
    const char kind = s[j++];
    if (kind == '[') {
        // CSI: parameter and intermediate bytes, then one final byte 0x40-0x7E.
        while (j < s.size() && (s[j] < 0x40 || s[j] > 0x7e))
            ++j;
        return j < s.size() ? j + 1 : j;
    }
    if (kind == 'O') return j < s.size() ? j + 1 : j;  // SS3: one more byte (F1-F4, keypad)
    return j;                                          // ESC and one character (Alt+key)
}

}  // namespace

std::string local_echo_text(std::string_view typed) {
    std::string out;
    out.reserve(typed.size());
    std::size_t i = 0;
    while (i < typed.size()) {
        const auto c = static_cast<unsigned char>(typed[i]);
        if (c == 0x1b) {
            i = escape_end(typed, i);
            continue;
        }
        if (c == '\r') {
            out += "\r\n";
        } else if (c == 0x7f || c == '\b') {
            out += "\b \b";
        } else if (c >= 0x20 || c == '\t') {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out;
}

}  // namespace termiva
