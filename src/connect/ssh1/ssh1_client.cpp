#include "connect/ssh1/ssh1_client.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "connect/ssh1/ssh1_wire.h"

namespace termiva::ssh1 {
namespace {

constexpr std::size_t MAX_VERSION_LINE = 255;
// Lines a server may send before its version line (some print a banner first).
constexpr int MAX_PRELUDE_LINES = 32;
constexpr std::size_t STDIN_CHUNK = 32 * 1024;
constexpr const char* CLIENT_VERSION = "SSH-1.5-Termiva_1.0\n";
// Passwords are hidden among packets of every length up to the next multiple of this.
constexpr std::size_t CAMOUFLAGE_STEP = 32;

// No SSH-1 server ever had keys near these; a hostile one sending a 65,000-bit modulus
// with an 8,000-byte exponent would otherwise start an RSA operation that runs for hours,
// past the login time-out and the tab's close.
constexpr int MAX_KEY_BITS = 16384;
constexpr int MAX_EXPONENT_BITS = 64;

// Bits of a big-endian magnitude, leading zero bytes not counted; no arithmetic.
int magnitude_bits(std::string_view value) {
    const std::size_t first = value.find_first_not_of('\0');
    if (first == std::string_view::npos) return 0;
    const auto top = static_cast<unsigned char>(value[first]);
    int bits = static_cast<int>((value.size() - first - 1) * 8);
    for (unsigned v = top; v != 0; v >>= 1)
        ++bits;
    return bits;
}

void refuse_oversized(const RsaPublicKey& key, const char* which) {
    const int modulus = magnitude_bits(key.n);
    if (modulus > MAX_KEY_BITS) {
        throw Ssh1Error(std::string("the server's ") + which + " is too large (" +
                        std::to_string(modulus) + " bits; " + std::to_string(MAX_KEY_BITS) +
                        " at most)");
    }
    const int exponent = magnitude_bits(key.e);
    if (exponent > MAX_EXPONENT_BITS) {
        throw Ssh1Error(std::string("the server's ") + which + " has an exponent of " +
                        std::to_string(exponent) + " bits (" + std::to_string(MAX_EXPONENT_BITS) +
                        " at most)");
    }
}

std::string printable(std::string_view text) {
    std::string out;
    for (char c : text.substr(0, 200)) {
        out.push_back(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f ? c : '?');
    }
    return out;
}

std::string xor_prefix(std::string key, const std::string& with) {
    for (std::size_t i = 0; i < with.size() && i < key.size(); ++i)
        key[i] ^= with[i];
    return key;
}

}  // namespace

Ssh1Client::Ssh1Client(ClientOptions options, HostKeyCheck check)
    : m_options(std::move(options)),
      m_quirks(Ssh1Quirks::from(m_options.bugs)),
      m_check(std::move(check)) {}

std::string Ssh1Client::take_output() {
    return std::exchange(m_output, {});
}
std::string Ssh1Client::take_data() {
    return std::exchange(m_data, {});
}

void Ssh1Client::write(std::uint8_t type, std::string_view data) {
    m_writer.write(type, data, m_output);
}

void Ssh1Client::end(std::string reason) {
    m_state = State::ended;
    m_end_reason = std::move(reason);
}

void Ssh1Client::feed(std::string_view bytes) {
    if (m_state == State::ended) return;
    while (m_state == State::version && !bytes.empty()) {
        const std::size_t nl = bytes.find('\n');
        const std::size_t take = nl == std::string_view::npos ? bytes.size() : nl + 1;
        m_line.append(bytes.substr(0, take));
        bytes.remove_prefix(take);
        if (m_line.size() > MAX_VERSION_LINE && m_line.back() != '\n') {
            throw Ssh1Error("the server's greeting is not an SSH version line");
        }
        if (m_line.back() != '\n') return;
        std::string line = std::exchange(m_line, {});
        line.pop_back();
        if (!line.empty() && line.back() == '\r') line.pop_back();
        on_version_line(line);
    }
    if (m_state == State::version) return;
    m_reader.feed(bytes);
    while (m_state != State::ended) {
        std::optional<Packet> packet = m_reader.next();
        if (!packet) break;
        on_packet(*packet);
    }
}

void Ssh1Client::on_version_line(const std::string& line) {
    if (line.rfind("SSH-", 0) != 0) {
        if (++m_prelude_lines > MAX_PRELUDE_LINES) {
            throw Ssh1Error("the server sent no SSH version line");
        }
        return;
    }
    if (line.rfind("SSH-1.5-", 0) != 0 && line.rfind("SSH-1.99-", 0) != 0) {
        if (line.rfind("SSH-2.", 0) == 0) {
            throw Ssh1Error("the server speaks only SSH-2 (" + printable(line) + ")");
        }
        throw Ssh1Error("unsupported protocol version (" + printable(line) + ")");
    }
    m_server_version = line;
    m_output += CLIENT_VERSION;
    m_state = State::public_key;
}

void Ssh1Client::on_packet(Packet& packet) {
    switch (packet.type) {
        case MSG_IGNORE:
        case MSG_DEBUG:
            return;
        case MSG_DISCONNECT: {
            FieldReader r(packet.data);
            std::string reason = r.remaining() >= 4 ? std::string(r.string()) : std::string();
            if (m_state != State::open) {
                throw Ssh1Error("the server closed the connection" +
                                (reason.empty() ? std::string() : ": " + printable(reason)));
            }
            end(printable(reason));
            return;
        }
        default:
            break;
    }
    FieldReader r(packet.data);
    switch (m_state) {
        case State::public_key:
            if (packet.type != SMSG_PUBLIC_KEY) break;
            on_public_key(packet.data);
            return;
        case State::key_ack:
            if (packet.type != SMSG_SUCCESS) break;
            write(CMSG_USER, FieldWriter().string(m_options.username).data());
            m_state = State::user;
            return;
        case State::user:
            if (packet.type == SMSG_SUCCESS) {
                request_pty();  // the server let us in without a password
                return;
            }
            if (packet.type != SMSG_FAILURE) break;
            if (!(m_auth_mask & (1u << AUTH_PASSWORD))) {
                throw Ssh1AuthError("the server does not accept password authentication");
            }
            if (m_options.password.empty() && m_options.may_ask_password) {
                m_state = State::wants_password;
                return;
            }
            send_password();
            return;
        case State::password:
            if (packet.type == SMSG_SUCCESS) {
                request_pty();
                return;
            }
            if (packet.type != SMSG_FAILURE) break;
            ++m_refused;
            if (m_options.may_ask_password && m_refused < PASSWORD_ATTEMPTS) {
                m_state = State::wants_password;
                return;
            }
            throw Ssh1AuthError("access denied (user name or password refused)");
        case State::pty:
            if (packet.type != SMSG_SUCCESS && packet.type != SMSG_FAILURE) break;
            // Without a terminal the shell still runs, only less comfortably.
            write(CMSG_EXEC_SHELL, {});
            m_state = State::open;
            return;
        case State::open:
            switch (packet.type) {
                case SMSG_STDOUT_DATA:
                case SMSG_STDERR_DATA:
                    m_data.append(r.string());
                    return;
                case SMSG_EXITSTATUS:
                    m_exit_status = r.u32();
                    write(CMSG_EXIT_CONFIRMATION, {});
                    end("exit status " + std::to_string(*m_exit_status));
                    return;
                case SMSG_SUCCESS:
                case SMSG_FAILURE:
                    return;  // answers to nothing we wait for
                default:
                    break;
            }
            break;
        default:
            break;
    }
    throw Ssh1Error("unexpected message type " + std::to_string(packet.type) + " from the server");
}

void Ssh1Client::on_public_key(const std::string& data) {
    FieldReader r(data);
    const std::string cookie(r.bytes(8));
    r.u32();  // server key bits: the modulus says it
    RsaPublicKey server_key{std::string(r.mpint()), std::string(r.mpint())};
    r.u32();
    RsaPublicKey host_key{std::string(r.mpint()), std::string(r.mpint())};
    r.u32();  // protocol flags: none of them concern us
    const std::uint32_t ciphers = r.u32();
    m_auth_mask = r.u32();
    if (server_key.n.empty() || host_key.n.empty() || server_key.e.empty() || host_key.e.empty()) {
        throw Ssh1Error("the server sent an empty RSA key");
    }
    // Before the host key check too: recording or comparing a key converts it to decimal.
    refuse_oversized(server_key, "server key");
    refuse_oversized(host_key, "host key");

    m_check(host_key);

    for (int wanted : {CIPHER_3DES, CIPHER_BLOWFISH}) {
        if ((ciphers & (1u << wanted)) && cipher_available(wanted)) {
            m_cipher = wanted;
            break;
        }
    }
    if (!m_cipher) {
        throw Ssh1Error("no common cipher (the server offers mask 0x" + [&] {
            char buf[16];
            std::snprintf(buf, sizeof buf, "%x", ciphers);
            return std::string(buf);
        }() + "; we speak 3DES and Blowfish)");
    }

    const std::string session_id = md5(host_key.n + server_key.n + cookie);
    const std::string session_key = random_bytes(32);
    const RsaPublicKey& inner =
        server_key.n.size() <= host_key.n.size() &&
                (server_key.n.size() < host_key.n.size() || server_key.n <= host_key.n)
            ? server_key
            : host_key;
    const RsaPublicKey& outer = &inner == &server_key ? host_key : server_key;
    const std::string once = rsa_encrypt(inner, xor_prefix(session_key, session_id));
    const std::string twice = rsa_encrypt(outer, once);

    FieldWriter msg;
    msg.byte(static_cast<std::uint8_t>(m_cipher)).raw(cookie).mpint(twice).u32(0);
    write(CMSG_SESSION_KEY, msg.data());
    m_writer.set_cipher(make_cipher(m_cipher, session_key, Direction::encrypt));
    m_reader.set_cipher(make_cipher(m_cipher, session_key, Direction::decrypt));
    m_state = State::key_ack;
}

void Ssh1Client::give_password(std::string password) {
    if (m_state != State::wants_password) return;
    std::fill(m_options.password.begin(), m_options.password.end(), '\0');
    m_options.password = std::move(password);
    send_password();
}

void Ssh1Client::send_password() {
    const std::string& password = m_options.password;
    if (m_quirks.plain_password) {
        write(CMSG_AUTH_PASSWORD, FieldWriter().string(password).data());
    } else if (m_quirks.no_ignore) {
        // Servers read the password as a C string: trailing NULs hide its length.
        std::string padded = password;
        padded.resize((password.size() / CAMOUFLAGE_STEP + 1) * CAMOUFLAGE_STEP, '\0');
        write(CMSG_AUTH_PASSWORD, FieldWriter().string(padded).data());
    } else {
        // Packet lengths travel in clear: send one packet of every length in the
        // password's bracket, all but one of them ignore messages.
        const std::size_t top = (password.size() / CAMOUFLAGE_STEP + 1) * CAMOUFLAGE_STEP;
        for (std::size_t n = 0; n < top; ++n) {
            if (n == password.size()) {
                write(CMSG_AUTH_PASSWORD, FieldWriter().string(password).data());
            } else {
                write(MSG_IGNORE, FieldWriter().string(random_bytes(n)).data());
            }
        }
    }
    m_state = State::password;
}

void Ssh1Client::request_pty() {
    FieldWriter msg;
    msg.string(m_options.term_type)
        .u32(static_cast<std::uint32_t>(std::max(m_options.rows, 0)))
        .u32(static_cast<std::uint32_t>(std::max(m_options.cols, 0)))
        .u32(0)
        .u32(0)
        .byte(0);  // no terminal modes
    write(CMSG_REQUEST_PTY, msg.data());
    m_state = State::pty;
}

void Ssh1Client::send_data(std::string_view data) {
    if (m_state != State::open) return;
    while (!data.empty()) {
        const std::string_view chunk = data.substr(0, STDIN_CHUNK);
        write(CMSG_STDIN_DATA, FieldWriter().string(chunk).data());
        data.remove_prefix(chunk.size());
    }
}

void Ssh1Client::window_change(int rows, int cols) {
    m_options.rows = rows;
    m_options.cols = cols;
    if (m_state != State::open) return;
    FieldWriter msg;
    msg.u32(static_cast<std::uint32_t>(std::max(rows, 0)))
        .u32(static_cast<std::uint32_t>(std::max(cols, 0)))
        .u32(0)
        .u32(0);
    write(CMSG_WINDOW_SIZE, msg.data());
}

void Ssh1Client::send_eof() {
    if (m_state == State::open) write(CMSG_EOF, {});
}

void Ssh1Client::disconnect(std::string_view reason) {
    if (m_state == State::version || m_state == State::ended) return;
    write(MSG_DISCONNECT, FieldWriter().string(reason).data());
    end(std::string(reason));
}

}  // namespace termiva::ssh1
