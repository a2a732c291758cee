// UTF-8 helpers for the hot data path: counting code points and a streaming
// validator that replaces invalid input by U+FFFD, as the ICU decoders do for
// other encodings.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace termiva::text {

// Code points in a valid UTF-8 text (continuation bytes are not counted).
std::size_t count_code_points(std::string_view utf8);

// Status lines may carry a peer's words (a refusal, a disconnect reason): one of them
// holds at most this many bytes, so a peer cannot make a line of megabytes.
inline constexpr std::size_t STATUS_LINE_MAX = 1024;
// What marks a line that was cut.
inline constexpr std::string_view CUT_MARK = " [\u2026]";

// `text` when it fits in `max_bytes`; else its start, cut on a character boundary, and
// CUT_MARK.
std::string cut_status_line(std::string_view text, std::size_t max_bytes = STATUS_LINE_MAX);

// Streaming UTF-8 decoder: an incomplete sequence at the end of one chunk is kept for
// the next; each maximal invalid subpart becomes one U+FFFD.
class Utf8Sanitizer {
public:
    // Appends the decodable part of `bytes` (preceded by any kept bytes) to `out`.
    void decode(std::string_view bytes, std::string& out);
    // Emits U+FFFD for a sequence left incomplete at the end of the stream.
    void finish(std::string& out);

private:
    unsigned char m_pending[4] = {};
    std::size_t m_pending_len = 0;
};

}  // namespace termiva::text
