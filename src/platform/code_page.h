// Windows' own code pages, which the text codecs use on Windows instead of ICU. Only the
// Windows build has an implementation; the text layer names the code page, this layer
// converts.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace termiva::platform {

// Whether this system converts `code_page` (Wine, for one, has no GB18030).
bool code_page_installed(unsigned code_page);

// How many bytes the character starting at `bytes[0]` takes in `code_page`, from its lead
// byte (and for GB18030 its second byte); 0 when `bytes` ends before that can be told.
// Pure: the split-character carry is tested from it alone.
std::size_t code_page_char_length(unsigned code_page, const unsigned char* lead_bytes,
                                  std::string_view bytes);

// Streaming decoder: a character split across reads is held back until its last byte
// arrives; each byte sequence the code page does not define becomes one U+FFFD.
class CodePageDecoder {
public:
    // Throws std::invalid_argument when the code page is not installed.
    explicit CodePageDecoder(unsigned code_page);

    // The UTF-8 text of `bytes`, preceded by what the last call held back.
    std::string decode(std::string_view bytes);

private:
    std::string convert_one_by_one(std::string_view whole) const;

    unsigned m_code_page;
    unsigned char m_lead_bytes[256] = {};  // 1 for a byte that starts a two-byte character
    std::string m_carry;
};

// `utf8` in `code_page`, "?" for every character it cannot hold (no best-fit guesses: a
// look-alike would send the peer something the user did not type).
std::string encode_code_page(unsigned code_page, std::string_view utf8);

}  // namespace termiva::platform
