// The Telnet engine fed a server's bytes: terminal data, replies and events do not
// depend on how the stream is cut, the data is never more than what came in, and no
// sequence of commands makes the replies grow without bound (RFC 1143 loops).
#include "connect/telnet/telnet_engine.h"
#include "fuzz_support.h"

namespace {

struct Outcome {
    std::string data, reply;
    std::size_t events = 0;
};

termiva::telnet::Options options_from(std::uint8_t bits) {
    termiva::telnet::Options o;
    o.passive = bits & 1;
    o.rfc_environ = bits & 2;
    o.com_port_control = bits & 4;
    o.username = "fuzz";
    o.environment = {{"LANG", "C.UTF-8"}};
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using termiva::telnet::Engine;
    if (size < 2) return 0;
    const std::string_view stream(reinterpret_cast<const char*>(data) + 2, size - 2);
    Outcome whole, pieces;
    std::vector<termiva::telnet::Event> events;
    {
        Engine engine(options_from(data[0]));
        engine.start(whole.reply);
        engine.receive(stream, whole.data, whole.reply, events);
        whole.events = events.size();
    }
    events.clear();
    {
        Engine engine(options_from(data[0]));
        engine.start(pieces.reply);
        for (std::string_view chunk : termiva::fuzz::chunks(stream, data[1]))
            engine.receive(chunk, pieces.data, pieces.reply, events);
        pieces.events = events.size();
    }
    TERMIVA_FUZZ_CHECK(whole.data == pieces.data);
    TERMIVA_FUZZ_CHECK(whole.reply == pieces.reply);
    TERMIVA_FUZZ_CHECK(whole.events == pieces.events);
    TERMIVA_FUZZ_CHECK(whole.data.size() <= stream.size());
    // Every reply answers something the server said (or opens negotiation): bounded by a
    // small multiple of the input, never an echo chamber.
    TERMIVA_FUZZ_CHECK(whole.reply.size() <= 512 + 64 * stream.size());
    return 0;
}
