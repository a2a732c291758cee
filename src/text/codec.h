// Text codecs under the names users know ("utf-8", "big5", "cp950", "gbk", "latin-1",
// "ascii" ...). Decoding is incremental and never fails: invalid input becomes U+FFFD.
// Encoding substitutes "?" for characters the code page cannot hold.
// ICU converts on Linux (codec.cpp), Windows' own code pages on Windows (codec_windows.cpp).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "text/utf8.h"

namespace termiva::text {

// Whether `name` names an encoding we can decode and encode.
bool codec_known(std::string_view name);

class Decoder {
public:
    // Throws std::invalid_argument for an unknown encoding.
    explicit Decoder(std::string_view encoding);
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    // Returns the UTF-8 text of `bytes`; a character split across calls is completed by
    // the next call.
    std::string decode(std::string_view bytes);

private:
    struct Converter;      // the system's converter, any other encoding
    Utf8Sanitizer m_utf8;  // used when the encoding is UTF-8
    std::unique_ptr<Converter> m_cnv;
};

// A decoder for `encoding`, or for UTF-8 when nobody knows that name: an odd code-page
// setting must never cost the user the connection or the output.
std::shared_ptr<Decoder> decoder_or_utf8(std::string_view encoding);

// `utf8` in the named encoding, "?" for what the encoding cannot hold.
// Throws std::invalid_argument for an unknown encoding.
std::string encode(std::string_view encoding, std::string_view utf8);

}  // namespace termiva::text
