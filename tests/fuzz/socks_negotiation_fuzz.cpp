// The SOCKS negotiation fed a client's bytes: what it decides and answers does not depend
// on how the bytes are cut, a destination is always a usable name of bounded length, and
// nothing the client sends makes the answers grow.
#include "connect/ssh2/socks_negotiation.h"
#include "fuzz_support.h"

namespace {

struct Outcome {
    termiva::ssh2::SocksNegotiation::State state;
    std::string answers, host, rest;
    int port = 0;
};

Outcome run(const std::vector<std::string_view>& pieces) {
    termiva::ssh2::SocksNegotiation talk;
    Outcome out;
    for (std::string_view piece : pieces)
        out.answers += talk.feed(piece);
    out.state = talk.state();
    out.host = talk.host();
    out.port = talk.port();
    out.rest = talk.early_data();
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using State = termiva::ssh2::SocksNegotiation::State;
    if (size < 1) return 0;
    const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);
    const Outcome whole = run({stream});
    const Outcome cut = run(termiva::fuzz::chunks(stream, data[0], 16));
    TERMIVA_FUZZ_CHECK(whole.state == cut.state);
    TERMIVA_FUZZ_CHECK(whole.answers == cut.answers);
    TERMIVA_FUZZ_CHECK(whole.host == cut.host && whole.port == cut.port);
    TERMIVA_FUZZ_CHECK(whole.rest == cut.rest);
    // A method choice and one reply at most.
    TERMIVA_FUZZ_CHECK(whole.answers.size() <= 12);
    if (whole.state == State::connect) {
        TERMIVA_FUZZ_CHECK(!whole.host.empty());
        TERMIVA_FUZZ_CHECK(whole.host.size() <= termiva::ssh2::SocksNegotiation::MAX_NAME);
        TERMIVA_FUZZ_CHECK(whole.port > 0 && whole.port <= 65535);
        for (char c : whole.host)
            TERMIVA_FUZZ_CHECK(c > ' ' && c < 0x7F);
        TERMIVA_FUZZ_CHECK(whole.rest.size() < stream.size());
    }
    return 0;
}
