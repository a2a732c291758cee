#include "connect/ssh1/ssh1_crypto.h"

#include <gcrypt.h>

#include <array>
#include <mutex>
#include <type_traits>
#include <vector>

#include "connect/ssh1/ssh1_wire.h"

namespace termiva::ssh1 {
namespace {

// libgcrypt wants its version checked once before any other call; a process where another
// library (libssh on Windows) already did so is left as it is.
void start_gcrypt() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) return;
        if (!gcry_check_version(GCRYPT_VERSION)) throw Ssh1Error("libgcrypt is too old");
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    });
}

struct MpiFree {
    void operator()(gcry_mpi_t m) const { gcry_mpi_release(m); }
};
using MpiPtr = std::unique_ptr<std::remove_pointer_t<gcry_mpi_t>, MpiFree>;

MpiPtr new_mpi() {
    return MpiPtr(gcry_mpi_new(0));
}

MpiPtr to_mpi(std::string_view bytes) {
    start_gcrypt();
    gcry_mpi_t m = nullptr;
    if (bytes.empty()) return new_mpi();
    if (gcry_mpi_scan(&m, GCRYMPI_FMT_USG, bytes.data(), bytes.size(), nullptr) != 0)
        throw Ssh1Error("out of memory");
    return MpiPtr(m);
}

std::string from_mpi(gcry_mpi_t m) {
    unsigned char* buffer = nullptr;
    std::size_t len = 0;
    if (gcry_mpi_aprint(GCRYMPI_FMT_USG, &buffer, &len, m) != 0) throw Ssh1Error("out of memory");
    std::string out(reinterpret_cast<const char*>(buffer), len);
    gcry_free(buffer);
    // Zero prints as one zero byte; callers want the magnitude without leading zeros.
    std::size_t first = out.find_first_not_of('\0');
    return first == std::string::npos ? std::string() : out.substr(first);
}

struct CipherClose {
    void operator()(gcry_cipher_hd_t h) const { gcry_cipher_close(h); }
};
using CipherHandle = std::unique_ptr<std::remove_pointer_t<gcry_cipher_hd_t>, CipherClose>;

// One CBC pass of a cipher over the stream, state carried from call to call.
class CbcPass {
public:
    CbcPass(int algorithm, std::string_view key, bool encrypt) : m_encrypt(encrypt) {
        start_gcrypt();
        gcry_cipher_hd_t h = nullptr;
        if (gcry_cipher_open(&h, algorithm, GCRY_CIPHER_MODE_CBC, 0) != 0)
            throw Ssh1Error("cipher set-up failed");
        m_handle.reset(h);
        // The session key is the client's random choice and the server uses it as it is:
        // a weak DES key (one in 2^52) must work rather than fail the connection.
        gcry_cipher_ctl(h, GCRYCTL_SET_ALLOW_WEAK_KEY, nullptr, 1);
        const std::array<unsigned char, 8> iv{};
        const gcry_error_t keyed = gcry_cipher_setkey(h, key.data(), key.size());
        if ((keyed != 0 && gcry_err_code(keyed) != GPG_ERR_WEAK_KEY) ||
            gcry_cipher_setiv(h, iv.data(), iv.size()) != 0) {
            throw Ssh1Error("cipher key refused");
        }
    }
    void apply(unsigned char* data, std::size_t len) {
        const gcry_error_t rc = m_encrypt
                                    ? gcry_cipher_encrypt(m_handle.get(), data, len, nullptr, 0)
                                    : gcry_cipher_decrypt(m_handle.get(), data, len, nullptr, 0);
        if (rc != 0) throw Ssh1Error("cipher failure");
    }

private:
    CipherHandle m_handle;
    bool m_encrypt;
};

// SSH-1's triple DES: three independent DES-CBC passes (encrypt, decrypt, encrypt with
// keys 1, 2, 3), each with its own chaining state — not the EDE3-CBC of later protocols.
class TripleDes : public BlockCipher {
public:
    TripleDes(std::string_view key, Direction direction) {
        const auto k1 = key.substr(0, 8), k2 = key.substr(8, 8), k3 = key.substr(16, 8);
        if (direction == Direction::encrypt) {
            m_passes[0] = std::make_unique<CbcPass>(GCRY_CIPHER_DES, k1, true);
            m_passes[1] = std::make_unique<CbcPass>(GCRY_CIPHER_DES, k2, false);
            m_passes[2] = std::make_unique<CbcPass>(GCRY_CIPHER_DES, k3, true);
        } else {
            m_passes[0] = std::make_unique<CbcPass>(GCRY_CIPHER_DES, k3, false);
            m_passes[1] = std::make_unique<CbcPass>(GCRY_CIPHER_DES, k2, true);
            m_passes[2] = std::make_unique<CbcPass>(GCRY_CIPHER_DES, k1, false);
        }
    }
    void apply(unsigned char* data, std::size_t len) override {
        for (auto& pass : m_passes)
            pass->apply(data, len);
    }

private:
    std::array<std::unique_ptr<CbcPass>, 3> m_passes;
};

// SSH-1's Blowfish reads each 32-bit half-block least significant byte first, where
// standard Blowfish reads it most significant first: swap around the standard cipher.
class Blowfish : public BlockCipher {
public:
    Blowfish(std::string_view key, Direction direction)
        : m_pass(GCRY_CIPHER_BLOWFISH, key, direction == Direction::encrypt) {}
    void apply(unsigned char* data, std::size_t len) override {
        swap_words(data, len);
        m_pass.apply(data, len);
        swap_words(data, len);
    }

private:
    static void swap_words(unsigned char* data, std::size_t len) {
        for (std::size_t i = 0; i + 4 <= len; i += 4) {
            std::swap(data[i], data[i + 3]);
            std::swap(data[i + 1], data[i + 2]);
        }
    }
    CbcPass m_pass;
};

bool algorithm_available(int algorithm) {
    start_gcrypt();
    return gcry_cipher_test_algo(algorithm) == 0;
}

std::array<std::uint32_t, 256> make_crc_table() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}

}  // namespace

std::uint32_t crc32(const unsigned char* data, std::size_t len) {
    static const auto table = make_crc_table();
    // SSH-1's check bytes start from zero and are not inverted at the end, unlike the
    // CRC-32 of zip files and Ethernet.
    std::uint32_t c = 0;
    for (std::size_t i = 0; i < len; ++i)
        c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return c;
}

std::string md5(std::string_view data) {
    start_gcrypt();
    std::string out(16, '\0');
    gcry_md_hash_buffer(GCRY_MD_MD5, out.data(), data.data(), data.size());
    return out;
}

std::string random_bytes(std::size_t count) {
    start_gcrypt();
    std::string out(count, '\0');
    if (count) gcry_randomize(out.data(), count, GCRY_STRONG_RANDOM);
    return out;
}

std::string random_nonzero_bytes(std::size_t count) {
    std::string out = random_bytes(count);
    for (char& c : out) {
        while (c == '\0')
            c = random_bytes(1)[0];
    }
    return out;
}

int RsaPublicKey::bits() const {
    MpiPtr m = to_mpi(n);
    return static_cast<int>(gcry_mpi_get_nbits(m.get()));
}

std::string rsa_raw(std::string_view value, std::string_view exponent, std::string_view modulus) {
    MpiPtr v = to_mpi(value), e = to_mpi(exponent), m = to_mpi(modulus);
    if (gcry_mpi_cmp_ui(m.get(), 0) == 0 || gcry_mpi_cmp(v.get(), m.get()) >= 0)
        throw Ssh1Error("bad RSA input");
    MpiPtr r = new_mpi();
    gcry_mpi_powm(r.get(), v.get(), e.get(), m.get());
    return from_mpi(r.get());
}

std::string rsa_encrypt(const RsaPublicKey& key, std::string_view data) {
    std::string_view n = key.n;
    while (!n.empty() && n.front() == '\0')
        n.remove_prefix(1);
    const std::size_t k = n.size();
    // 00 02, at least eight non-zero random bytes, 00, the data.
    if (k < data.size() + 11) throw Ssh1Error("server RSA key too small for the session key");
    std::string block;
    block.reserve(k);
    block.push_back('\0');
    block.push_back('\2');
    block += random_nonzero_bytes(k - 3 - data.size());
    block.push_back('\0');
    block.append(data);
    std::string result = rsa_raw(block, key.e, n);
    return std::string(k - result.size(), '\0') + result;
}

std::string pkcs1_type2_unpad(std::string_view block, std::size_t modulus_bytes) {
    std::string padded(modulus_bytes > block.size() ? modulus_bytes - block.size() : 0, '\0');
    padded.append(block);
    if (padded.size() < 11 || padded[0] != '\0' || padded[1] != '\2') {
        throw Ssh1Error("bad RSA padding");
    }
    const std::size_t zero = padded.find('\0', 2);
    if (zero == std::string::npos || zero < 10) throw Ssh1Error("bad RSA padding");
    return padded.substr(zero + 1);
}

// libgcrypt prints numbers in hex only: decimal goes nine digits at a time.
constexpr unsigned long DECIMAL_CHUNK = 1000000000;
constexpr int DECIMAL_CHUNK_DIGITS = 9;
// Far above the longest key the file can hold (a 16384-bit modulus has 4933 digits).
constexpr std::size_t MAX_DECIMAL_DIGITS = 20000;

std::string to_decimal(std::string_view magnitude) {
    MpiPtr rest = to_mpi(magnitude);
    MpiPtr chunk_size = new_mpi();
    gcry_mpi_set_ui(chunk_size.get(), DECIMAL_CHUNK);
    std::vector<unsigned long> chunks;  // least significant first
    while (gcry_mpi_cmp_ui(rest.get(), 0) != 0) {
        MpiPtr quotient = new_mpi(), remainder = new_mpi();
        gcry_mpi_div(quotient.get(), remainder.get(), rest.get(), chunk_size.get(), 0);
        unsigned long value = 0;
        for (unsigned char byte : from_mpi(remainder.get()))
            value = value * 256 + byte;
        chunks.push_back(value);
        rest = std::move(quotient);
    }
    if (chunks.empty()) return "0";
    std::string out = std::to_string(chunks.back());
    for (auto it = chunks.rbegin() + 1; it != chunks.rend(); ++it) {
        std::string part = std::to_string(*it);
        out.append(DECIMAL_CHUNK_DIGITS - part.size(), '0');
        out += part;
    }
    return out;
}

std::string from_decimal(const std::string& text) {
    if (text.empty() || text.size() > MAX_DECIMAL_DIGITS ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return {};
    }
    start_gcrypt();
    MpiPtr value = new_mpi();
    std::size_t i = 0;
    // The first chunk takes the odd digits so the rest are whole chunks of nine.
    std::size_t take = text.size() % DECIMAL_CHUNK_DIGITS;
    if (take == 0) take = DECIMAL_CHUNK_DIGITS;
    while (i < text.size()) {
        unsigned long scale = 1;
        for (std::size_t k = 0; k < take; ++k)
            scale *= 10;
        gcry_mpi_mul_ui(value.get(), value.get(), scale);
        gcry_mpi_add_ui(value.get(), value.get(), std::stoul(text.substr(i, take)));
        i += take;
        take = DECIMAL_CHUNK_DIGITS;
    }
    return from_mpi(value.get());
}

std::unique_ptr<BlockCipher> make_cipher(int cipher_type, std::string_view session_key,
                                         Direction direction) {
    if (session_key.size() < 32) throw Ssh1Error("short session key");
    switch (cipher_type) {
        case CIPHER_3DES:
            return std::make_unique<TripleDes>(session_key.substr(0, 24), direction);
        case CIPHER_BLOWFISH:
            return std::make_unique<Blowfish>(session_key.substr(0, 32), direction);
        default:
            throw Ssh1Error("unsupported cipher " + std::to_string(cipher_type));
    }
}

bool cipher_available(int cipher_type) {
    switch (cipher_type) {
        case CIPHER_3DES:
            return algorithm_available(GCRY_CIPHER_DES);
        case CIPHER_BLOWFISH:
            return algorithm_available(GCRY_CIPHER_BLOWFISH);
        default:
            return false;
    }
}

}  // namespace termiva::ssh1
