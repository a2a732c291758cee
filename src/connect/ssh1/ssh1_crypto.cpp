#include "connect/ssh1/ssh1_crypto.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

#include <array>
#include <mutex>
#include <vector>

#include "connect/ssh1/ssh1_wire.h"

namespace termiva::ssh1 {
namespace {

// Single DES and Blowfish live in OpenSSL 3's legacy provider. They are loaded into a
// library context of our own so the rest of the process keeps OpenSSL's defaults.
OSSL_LIB_CTX* crypto_context() {
    static OSSL_LIB_CTX* context = [] {
        OSSL_LIB_CTX* ctx = OSSL_LIB_CTX_new();
        if (ctx) {
            OSSL_PROVIDER_load(ctx, "default");
            OSSL_PROVIDER_load(ctx, "legacy");
        }
        return ctx;
    }();
    return context;
}

struct CipherFree {
    void operator()(EVP_CIPHER* c) const { EVP_CIPHER_free(c); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
struct BnFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
struct BnCtxFree {
    void operator()(BN_CTX* b) const { BN_CTX_free(b); }
};
using CipherPtr = std::unique_ptr<EVP_CIPHER, CipherFree>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;

CipherPtr fetch_cipher(const char* name) {
    OSSL_LIB_CTX* ctx = crypto_context();
    if (!ctx) return nullptr;
    return CipherPtr(EVP_CIPHER_fetch(ctx, name, nullptr));
}

BnPtr to_bn(std::string_view bytes) {
    BnPtr bn(BN_bin2bn(reinterpret_cast<const unsigned char*>(bytes.data()),
                       static_cast<int>(bytes.size()), nullptr));
    if (!bn) throw Ssh1Error("out of memory");
    return bn;
}

std::string from_bn(const BIGNUM* bn, std::size_t width = 0) {
    const std::size_t len = static_cast<std::size_t>(BN_num_bytes(bn));
    std::string out(std::max(len, width), '\0');
    BN_bn2bin(bn, reinterpret_cast<unsigned char*>(out.data()) + (out.size() - len));
    return out;
}

// One CBC pass of a cipher over the stream, padding off so every block comes out at once.
class CbcPass {
public:
    CbcPass(const EVP_CIPHER* cipher, std::string_view key, bool encrypt) {
        m_ctx.reset(EVP_CIPHER_CTX_new());
        const std::array<unsigned char, 8> iv{};
        if (!m_ctx ||
            !EVP_CipherInit_ex2(m_ctx.get(), cipher, nullptr, nullptr, encrypt ? 1 : 0, nullptr)) {
            throw Ssh1Error("cipher set-up failed");
        }
        if (static_cast<std::size_t>(EVP_CIPHER_CTX_get_key_length(m_ctx.get())) != key.size() &&
            !EVP_CIPHER_CTX_set_key_length(m_ctx.get(), static_cast<int>(key.size()))) {
            throw Ssh1Error("cipher key length refused");
        }
        if (!EVP_CipherInit_ex2(m_ctx.get(), nullptr,
                                reinterpret_cast<const unsigned char*>(key.data()), iv.data(), -1,
                                nullptr)) {
            throw Ssh1Error("cipher set-up failed");
        }
        EVP_CIPHER_CTX_set_padding(m_ctx.get(), 0);
    }
    void apply(unsigned char* data, std::size_t len) {
        int out_len = 0;
        if (!EVP_CipherUpdate(m_ctx.get(), data, &out_len, data, static_cast<int>(len)) ||
            static_cast<std::size_t>(out_len) != len) {
            throw Ssh1Error("cipher failure");
        }
    }

private:
    CipherCtxPtr m_ctx;
};

// SSH-1's triple DES: three independent DES-CBC passes (encrypt, decrypt, encrypt with
// keys 1, 2, 3), each with its own chaining state — not the EDE3-CBC of later protocols.
class TripleDes : public BlockCipher {
public:
    TripleDes(std::string_view key, Direction direction)
        : m_encrypt(direction == Direction::encrypt) {
        CipherPtr des = fetch_cipher("DES-CBC");
        if (!des) throw Ssh1Error("this OpenSSL offers no DES (legacy provider missing)");
        const auto k1 = key.substr(0, 8), k2 = key.substr(8, 8), k3 = key.substr(16, 8);
        if (m_encrypt) {
            m_passes[0] = std::make_unique<CbcPass>(des.get(), k1, true);
            m_passes[1] = std::make_unique<CbcPass>(des.get(), k2, false);
            m_passes[2] = std::make_unique<CbcPass>(des.get(), k3, true);
        } else {
            m_passes[0] = std::make_unique<CbcPass>(des.get(), k3, false);
            m_passes[1] = std::make_unique<CbcPass>(des.get(), k2, true);
            m_passes[2] = std::make_unique<CbcPass>(des.get(), k1, false);
        }
    }
    void apply(unsigned char* data, std::size_t len) override {
        for (auto& pass : m_passes)
            pass->apply(data, len);
    }

private:
    bool m_encrypt;
    std::array<std::unique_ptr<CbcPass>, 3> m_passes;
};

// SSH-1's Blowfish reads each 32-bit half-block least significant byte first, where
// standard Blowfish reads it most significant first: swap around the standard cipher.
class Blowfish : public BlockCipher {
public:
    Blowfish(std::string_view key, Direction direction) {
        CipherPtr bf = fetch_cipher("BF-CBC");
        if (!bf) throw Ssh1Error("this OpenSSL offers no Blowfish (legacy provider missing)");
        m_pass = std::make_unique<CbcPass>(bf.get(), key, direction == Direction::encrypt);
    }
    void apply(unsigned char* data, std::size_t len) override {
        swap_words(data, len);
        m_pass->apply(data, len);
        swap_words(data, len);
    }

private:
    static void swap_words(unsigned char* data, std::size_t len) {
        for (std::size_t i = 0; i + 4 <= len; i += 4) {
            std::swap(data[i], data[i + 3]);
            std::swap(data[i + 1], data[i + 2]);
        }
    }
    std::unique_ptr<CbcPass> m_pass;
};

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
    EVP_MD* md = EVP_MD_fetch(crypto_context(), "MD5", nullptr);
    if (!md) throw Ssh1Error("this OpenSSL offers no MD5");
    std::string out(16, '\0');
    unsigned int len = 0;
    const int ok = EVP_Digest(data.data(), data.size(),
                              reinterpret_cast<unsigned char*>(out.data()), &len, md, nullptr);
    EVP_MD_free(md);
    if (!ok || len != 16) throw Ssh1Error("MD5 failed");
    return out;
}

std::string random_bytes(std::size_t count) {
    std::string out(count, '\0');
    if (count &&
        RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(count)) != 1) {
        throw Ssh1Error("no random numbers available");
    }
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
    BnPtr bn = to_bn(n);
    return BN_num_bits(bn.get());
}

std::string rsa_raw(std::string_view value, std::string_view exponent, std::string_view modulus) {
    BnPtr v = to_bn(value), e = to_bn(exponent), m = to_bn(modulus);
    if (BN_is_zero(m.get()) || BN_cmp(v.get(), m.get()) >= 0) throw Ssh1Error("bad RSA input");
    BnPtr r(BN_new());
    std::unique_ptr<BN_CTX, BnCtxFree> ctx(BN_CTX_new());
    if (!r || !ctx || !BN_mod_exp(r.get(), v.get(), e.get(), m.get(), ctx.get())) {
        throw Ssh1Error("RSA operation failed");
    }
    return from_bn(r.get());
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

std::string to_decimal(std::string_view magnitude) {
    BnPtr bn = to_bn(magnitude);
    char* text = BN_bn2dec(bn.get());
    if (!text) throw Ssh1Error("out of memory");
    std::string out(text);
    OPENSSL_free(text);
    return out;
}

std::string from_decimal(const std::string& text) {
    BIGNUM* raw = nullptr;
    if (text.empty() || BN_dec2bn(&raw, text.c_str()) != static_cast<int>(text.size())) {
        BN_free(raw);
        return {};
    }
    BnPtr bn(raw);
    return from_bn(bn.get());
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
            return fetch_cipher("DES-CBC") != nullptr;
        case CIPHER_BLOWFISH:
            return fetch_cipher("BF-CBC") != nullptr;
        default:
            return false;
    }
}

}  // namespace termiva::ssh1
