// Watches terminal output for a ZMODEM sender starting up (its ZRQINIT header,
// "**\x18B00"), so that receiving can begin by itself. The header may arrive split
// across chunks; bytes are never held back from the terminal while waiting for the rest.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace termiva {

// Finds a fixed marker in output that arrives in chunks, without joining the chunks: only
// the last few bytes of what came before, that could begin the marker, are kept. Every
// received chunk passes here, so a chunk is searched once and never copied.
class MarkerFinder {
public:
    explicit MarkerFinder(std::string_view marker) : m_marker(marker) {}

    struct Found {
        bool found = false;
        // Where the marker begins in the chunk; when it began in earlier chunks, 0, and
        // `carried` holds its bytes from them (already handed on as output).
        std::size_t at = 0;
        std::string carried;
    };
    Found find(std::string_view data);
    void reset() { m_tail.clear(); }

private:
    std::string_view m_marker;
    std::string m_tail;
};

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
    MarkerFinder m_finder{START};
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
    MarkerFinder m_finder{START};
};

}  // namespace termiva
