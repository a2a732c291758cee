// Watches terminal output for a ZMODEM sender starting up (its ZRQINIT header,
// "**\x18B00"), so that receiving can begin by itself. The header may arrive split
// across chunks; bytes are never held back from the terminal while waiting for the rest.
#pragma once

#include <string>
#include <string_view>

namespace termiva {

class ZmodemSniffer {
public:
    struct Result {
        bool detected = false;
        std::string shown;     // bytes for the terminal (everything when nothing detected)
        std::string transfer;  // from the start of the header on, when detected
    };

    Result feed(std::string_view data);
    void reset();

    // The start of a ZMODEM sender: ZPAD ZPAD ZDLE 'B' and the hex type of ZRQINIT.
    static constexpr std::string_view START =
        "**\x18"
        "B00";

private:
    // The end of what was already shown, in case it is the beginning of a header.
    std::string m_tail;
};

}  // namespace termiva
