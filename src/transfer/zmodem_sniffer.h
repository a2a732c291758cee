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

// Watches terminal output for a ZMODEM receiver waiting for files (rz's ZRINIT hex
// header, "**\x18B01" and 12 hex digits, CR, LF and maybe XON): the user is then offered
// to send. The header is taken out of what is shown when it arrives whole in one chunk;
// one split across chunks is still seen, and shown, since nothing is held back.
class ZmodemReceiverWatch {
public:
    struct Result {
        bool waiting = false;
        std::string shown;
    };

    Result feed(std::string_view data);
    void reset();

    static constexpr std::string_view START =
        "**\x18"
        "B01";

private:
    std::string m_tail;
};

}  // namespace termiva
