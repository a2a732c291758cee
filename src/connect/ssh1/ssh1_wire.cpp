#include "connect/ssh1/ssh1_wire.h"

namespace termiva::ssh1 {

void put_u32(std::string& out, std::uint32_t value) {
    out.push_back(static_cast<char>(value >> 24));
    out.push_back(static_cast<char>(value >> 16));
    out.push_back(static_cast<char>(value >> 8));
    out.push_back(static_cast<char>(value));
}

std::uint32_t get_u32(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

std::string_view FieldReader::bytes(std::size_t count) {
    if (count > remaining()) throw Ssh1Error("message too short");
    std::string_view out = m_data.substr(m_pos, count);
    m_pos += count;
    return out;
}

std::uint8_t FieldReader::byte() {
    return static_cast<std::uint8_t>(bytes(1)[0]);
}

std::uint32_t FieldReader::u32() {
    return get_u32(reinterpret_cast<const unsigned char*>(bytes(4).data()));
}

std::string_view FieldReader::string() {
    return bytes(u32());
}

std::string_view FieldReader::mpint() {
    std::string_view head = bytes(2);
    const unsigned bits = (static_cast<unsigned>(static_cast<unsigned char>(head[0])) << 8) |
                          static_cast<unsigned char>(head[1]);
    std::string_view value = bytes((bits + 7) / 8);
    while (!value.empty() && value.front() == '\0')
        value.remove_prefix(1);
    return value;
}

FieldWriter& FieldWriter::byte(std::uint8_t value) {
    m_data.push_back(static_cast<char>(value));
    return *this;
}

FieldWriter& FieldWriter::u32(std::uint32_t value) {
    put_u32(m_data, value);
    return *this;
}

FieldWriter& FieldWriter::raw(std::string_view data) {
    m_data.append(data);
    return *this;
}

FieldWriter& FieldWriter::string(std::string_view data) {
    u32(static_cast<std::uint32_t>(data.size()));
    return raw(data);
}

FieldWriter& FieldWriter::mpint(std::string_view magnitude) {
    while (!magnitude.empty() && magnitude.front() == '\0')
        magnitude.remove_prefix(1);
    unsigned bits = static_cast<unsigned>(magnitude.size()) * 8;
    if (!magnitude.empty()) {
        for (unsigned char top = static_cast<unsigned char>(magnitude.front()); !(top & 0x80);
             top = static_cast<unsigned char>(top << 1)) {
            --bits;
        }
    }
    m_data.push_back(static_cast<char>(bits >> 8));
    m_data.push_back(static_cast<char>(bits));
    return raw(magnitude);
}

}  // namespace termiva::ssh1
