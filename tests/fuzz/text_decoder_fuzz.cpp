// Decoding a peer's bytes for the terminal: whatever comes in, out comes valid UTF-8,
// and the result does not depend on how the bytes were cut into reads.
#include "fuzz_support.h"
#include "text/codec.h"

namespace {

bool valid_utf8(const std::string& text) {
    std::string checked;
    termiva::text::Utf8Sanitizer sanitizer;
    sanitizer.decode(text, checked);
    sanitizer.finish(checked);
    return checked == text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    static const char* const ENCODINGS[] = {"utf-8",   "big5",  "cp950",     "gbk",   "gb18030",
                                            "latin-1", "ascii", "shift_jis", "euc-kr"};
    const char* encoding = ENCODINGS[data[0] % (sizeof ENCODINGS / sizeof *ENCODINGS)];
    if (!termiva::text::codec_known(encoding)) return 0;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 2, size - 2);

    termiva::text::Decoder whole(encoding);
    const std::string once = whole.decode(bytes);
    termiva::text::Decoder pieces(encoding);
    std::string joined;
    for (std::string_view chunk : termiva::fuzz::chunks(bytes, data[1], 5))
        joined += pieces.decode(chunk);
    TERMIVA_FUZZ_CHECK(valid_utf8(once));
    TERMIVA_FUZZ_CHECK(valid_utf8(joined));
    TERMIVA_FUZZ_CHECK(joined == once);

    // Back into the code page: never fails, "?" for what it cannot hold.
    (void)termiva::text::encode(encoding, once);
    return 0;
}
