// SSH-1 binary packets: a 32-bit length (type + data + CRC), 1 to 8 bytes of random
// padding bringing the rest to a multiple of 8, the type byte, the data and a CRC-32 of
// padding, type and data. Everything after the length is encrypted once a cipher is set.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "connect/ssh1/ssh1_crypto.h"

namespace termiva::ssh1 {

struct Packet {
    std::uint8_t type = 0;
    std::string data;
};

// Turns messages into bytes for the wire.
class PacketWriter {
public:
    void set_cipher(std::unique_ptr<BlockCipher> cipher) { m_cipher = std::move(cipher); }
    // Appends the encoded packet to `out`. Throws Ssh1Error when it would exceed the
    // protocol's packet size.
    void write(std::uint8_t type, std::string_view data, std::string& out);

private:
    std::unique_ptr<BlockCipher> m_cipher;
};

// Cuts packets out of received bytes. Holds at most one packet of the largest allowed
// size, whatever length a peer announces.
class PacketReader {
public:
    void set_cipher(std::unique_ptr<BlockCipher> cipher) { m_cipher = std::move(cipher); }
    void feed(std::string_view bytes);
    // The next complete packet, if any. Throws Ssh1Error on a malformed one; the reader
    // is then unusable.
    std::optional<Packet> next();
    std::size_t buffered() const { return m_buffer.size() - m_start; }

private:
    std::unique_ptr<BlockCipher> m_cipher;
    std::string m_buffer;
    std::size_t m_start = 0;
    bool m_failed = false;
};

}  // namespace termiva::ssh1
