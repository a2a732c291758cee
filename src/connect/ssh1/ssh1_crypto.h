// The cryptography SSH-1 needs, on libgcrypt: CRC-32, MD5, raw RSA with PKCS#1 v1.5
// type-2 padding, and the protocol's two block ciphers in their SSH-1 forms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace termiva::ssh1 {

std::uint32_t crc32(const unsigned char* data, std::size_t len);
std::string md5(std::string_view data);
std::string random_bytes(std::size_t count);
// `count` random bytes none of which is zero.
std::string random_nonzero_bytes(std::size_t count);

// An RSA public key as the protocol carries it: big-endian magnitudes.
struct RsaPublicKey {
    std::string e;
    std::string n;
    // Bits of the modulus.
    int bits() const;
    bool operator==(const RsaPublicKey& other) const { return e == other.e && n == other.n; }
};

// PKCS#1 v1.5 type-2 padding of `data` to the modulus size, then m^e mod n. The result
// has exactly the modulus's byte length. Throws Ssh1Error when `data` does not fit.
std::string rsa_encrypt(const RsaPublicKey& key, std::string_view data);
// The raw RSA operation on a big-endian value (no padding), result without leading zeros.
std::string rsa_raw(std::string_view value, std::string_view exponent, std::string_view modulus);
// Removes PKCS#1 v1.5 type-2 padding; throws Ssh1Error when the block is malformed.
std::string pkcs1_type2_unpad(std::string_view block, std::size_t modulus_bytes);

// Decimal text of a big-endian magnitude and back (the known-hosts file stores keys so).
std::string to_decimal(std::string_view magnitude);
std::string from_decimal(const std::string& text);

// A stream of 8-byte blocks run through the cipher, state carried from call to call.
class BlockCipher {
public:
    virtual ~BlockCipher() = default;
    // `len` is a multiple of 8; works in place.
    virtual void apply(unsigned char* data, std::size_t len) = 0;
};

enum class Direction { encrypt, decrypt };

// `cipher_type` is the protocol's number (3DES or Blowfish); `session_key` its 32 bytes.
std::unique_ptr<BlockCipher> make_cipher(int cipher_type, std::string_view session_key,
                                         Direction direction);
// Whether this libgcrypt offers what `cipher_type` needs.
bool cipher_available(int cipher_type);

}  // namespace termiva::ssh1
