// The SSH-1 packet reader fed a server's bytes: the same packets (and the same refusal)
// however the stream is cut, and it never holds more than one packet's worth.
#include "connect/ssh1/ssh1_packet.h"
#include "connect/ssh1/ssh1_wire.h"
#include "fuzz_support.h"

namespace {

struct Outcome {
    std::vector<termiva::ssh1::Packet> packets;
    bool failed = false;
};

void drain(termiva::ssh1::PacketReader& reader, Outcome& out) {
    while (!out.failed) {
        try {
            auto packet = reader.next();
            if (!packet) return;
            out.packets.push_back(std::move(*packet));
        } catch (const std::exception&) {
            out.failed = true;  // a malformed packet: the connection ends here
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);
    Outcome whole, pieces;
    {
        termiva::ssh1::PacketReader reader;
        reader.feed(stream);
        drain(reader, whole);
    }
    {
        termiva::ssh1::PacketReader reader;
        for (std::string_view chunk : termiva::fuzz::chunks(stream, data[0], 64)) {
            if (pieces.failed) break;
            reader.feed(chunk);
            drain(reader, pieces);
            // Length field, padding, the largest packet and one chunk at most.
            TERMIVA_FUZZ_CHECK(reader.buffered() <= 4 + 8 + termiva::ssh1::MAX_PACKET_LENGTH + 64);
        }
    }
    TERMIVA_FUZZ_CHECK(whole.failed == pieces.failed);
    TERMIVA_FUZZ_CHECK(whole.packets.size() == pieces.packets.size());
    for (std::size_t i = 0; i < whole.packets.size(); ++i) {
        TERMIVA_FUZZ_CHECK(whole.packets[i].type == pieces.packets[i].type);
        TERMIVA_FUZZ_CHECK(whole.packets[i].data == pieces.packets[i].data);
    }
    return 0;
}
