// SSH-1 (protocol 1.5) message numbers and the byte-level encoding of message fields:
// 32-bit big-endian integers, length-prefixed strings and multiple-precision integers
// (a 16-bit bit count followed by the magnitude, most significant byte first).
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace termiva::ssh1 {

// A peer broke the protocol, or refused us; the text is shown to the user.
class Ssh1Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The server refused the user name or password.
class Ssh1AuthError : public Ssh1Error {
public:
    using Ssh1Error::Ssh1Error;
};

enum Msg : std::uint8_t {
    MSG_DISCONNECT = 1,
    SMSG_PUBLIC_KEY = 2,
    CMSG_SESSION_KEY = 3,
    CMSG_USER = 4,
    CMSG_AUTH_PASSWORD = 9,
    CMSG_REQUEST_PTY = 10,
    CMSG_WINDOW_SIZE = 11,
    CMSG_EXEC_SHELL = 12,
    CMSG_EXEC_CMD = 13,
    SMSG_SUCCESS = 14,
    SMSG_FAILURE = 15,
    CMSG_STDIN_DATA = 16,
    SMSG_STDOUT_DATA = 17,
    SMSG_STDERR_DATA = 18,
    CMSG_EOF = 19,
    SMSG_EXITSTATUS = 20,
    MSG_IGNORE = 32,
    CMSG_EXIT_CONFIRMATION = 33,
    MSG_DEBUG = 36,
};

enum CipherType : std::uint8_t { CIPHER_NONE = 0, CIPHER_3DES = 3, CIPHER_BLOWFISH = 6 };
enum AuthType : std::uint8_t { AUTH_PASSWORD = 3 };

// Largest packet length the protocol allows; nothing larger is ever buffered.
inline constexpr std::size_t MAX_PACKET_LENGTH = 256 * 1024;

// Reads fields from a message body; any read past the end is a protocol error.
class FieldReader {
public:
    explicit FieldReader(std::string_view data) : m_data(data) {}
    std::uint8_t byte();
    std::uint32_t u32();
    std::string_view bytes(std::size_t count);
    std::string_view string();
    // The magnitude bytes of a multiple-precision integer, without leading zero bytes.
    std::string_view mpint();
    std::size_t remaining() const { return m_data.size() - m_pos; }

private:
    std::string_view m_data;
    std::size_t m_pos = 0;
};

// Builds a message body.
class FieldWriter {
public:
    FieldWriter& byte(std::uint8_t value);
    FieldWriter& u32(std::uint32_t value);
    FieldWriter& raw(std::string_view data);
    FieldWriter& string(std::string_view data);
    // `magnitude` is big-endian; leading zero bytes are dropped.
    FieldWriter& mpint(std::string_view magnitude);
    const std::string& data() const { return m_data; }
    std::string take() { return std::move(m_data); }

private:
    std::string m_data;
};

void put_u32(std::string& out, std::uint32_t value);
std::uint32_t get_u32(const unsigned char* p);

}  // namespace termiva::ssh1
