// The SUPDUP display decoder fed a server's bytes: never fails, keeps its state within
// bounds, gives the same terminal output and replies however the stream is cut, and never
// lets the server's own escapes or C1 controls through (every ESC is one of its CSIs).
#include "fuzz_support.h"
#include "sixbitline/display_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using termiva::SupdupDisplayDecoder;
    if (size < 2) return 0;
    static const char* const CHARSETS[] = {"its", "waits", "ascii"};
    const std::string_view charset = CHARSETS[data[0] % 3];
    const std::string_view stream(reinterpret_cast<const char*>(data) + 2, size - 2);

    SupdupDisplayDecoder whole(charset, "Fuzz");
    termiva::DecodedChunk once = whole.feed(stream);

    SupdupDisplayDecoder pieces(charset, "Fuzz");
    std::string output;
    std::vector<termiva::ServerReply> replies;
    for (std::string_view chunk : termiva::fuzz::chunks(stream, data[1])) {
        termiva::DecodedChunk part = pieces.feed(chunk);
        output += part.output;
        for (auto& r : part.replies)
            replies.push_back(std::move(r));
        const auto& st = pieces.state();
        TERMIVA_FUZZ_CHECK(st._td_args.size() <= 4);
    }
    TERMIVA_FUZZ_CHECK(output == once.output);
    for (std::size_t i = 0; i < output.size(); ++i) {
        const auto c = static_cast<unsigned char>(output[i]);
        TERMIVA_FUZZ_CHECK(c != 0x1b || (i + 1 < output.size() && output[i + 1] == '['));
        TERMIVA_FUZZ_CHECK(c < 0x80 || c > 0x9f || (i > 0 && output[i - 1] != '\xc2'));
    }
    TERMIVA_FUZZ_CHECK(replies.size() == once.replies.size());
    for (std::size_t i = 0; i < replies.size(); ++i) {
        TERMIVA_FUZZ_CHECK(replies[i].kind == once.replies[i].kind);
        TERMIVA_FUZZ_CHECK(replies[i].bytes == once.replies[i].bytes);
    }
    return 0;
}
