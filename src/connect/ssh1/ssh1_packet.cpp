#include "connect/ssh1/ssh1_packet.h"

#include "connect/ssh1/ssh1_wire.h"

namespace termiva::ssh1 {

void PacketWriter::write(std::uint8_t type, std::string_view data, std::string& out) {
    const std::size_t length = data.size() + 5;
    if (length > MAX_PACKET_LENGTH) throw Ssh1Error("outgoing packet too large");
    const std::size_t padding = 8 - (length % 8);
    put_u32(out, static_cast<std::uint32_t>(length));
    const std::size_t body = out.size();
    out += random_bytes(padding);
    out.push_back(static_cast<char>(type));
    out.append(data);
    auto* p = reinterpret_cast<unsigned char*>(out.data());
    put_u32(out, crc32(p + body, out.size() - body));
    p = reinterpret_cast<unsigned char*>(out.data());
    if (m_cipher) m_cipher->apply(p + body, out.size() - body);
}

void PacketReader::feed(std::string_view bytes) {
    if (m_start > 0 && m_start * 2 >= m_buffer.size()) {
        m_buffer.erase(0, m_start);
        m_start = 0;
    }
    m_buffer.append(bytes);
}

std::optional<Packet> PacketReader::next() {
    if (m_failed) throw Ssh1Error("connection data corrupt");
    if (buffered() < 4) return std::nullopt;
    auto* head = reinterpret_cast<unsigned char*>(m_buffer.data()) + m_start;
    const std::uint32_t length = get_u32(head);
    if (length < 5 || length > MAX_PACKET_LENGTH) {
        m_failed = true;
        throw Ssh1Error("packet length " + std::to_string(length) + " out of range");
    }
    const std::size_t padded = length + (8 - (length % 8));
    if (buffered() < 4 + padded) return std::nullopt;
    unsigned char* body = head + 4;
    if (m_cipher) m_cipher->apply(body, padded);
    const std::uint32_t expected = get_u32(body + padded - 4);
    if (crc32(body, padded - 4) != expected) {
        m_failed = true;
        throw Ssh1Error("packet checksum mismatch (corrupt data or wrong key)");
    }
    const std::size_t padding = padded - length;
    Packet packet;
    packet.type = body[padding];
    packet.data.assign(reinterpret_cast<const char*>(body + padding + 1), length - 5);
    m_start += 4 + padded;
    if (m_start == m_buffer.size()) {
        m_buffer.clear();
        m_start = 0;
    }
    return packet;
}

}  // namespace termiva::ssh1
