// SSH-1's cryptography against published answers, with nothing but the code under test (so
// it runs in the Windows build under Wine too, where libgcrypt is the mingw one).
#include <gtest/gtest.h>

#include <string>

#include "connect/ssh1/ssh1_crypto.h"
#include "connect/ssh1/ssh1_wire.h"

namespace termiva::ssh1 {
namespace {

std::string unhex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string run(int cipher, const std::string& key, Direction direction, std::string data) {
    auto c = make_cipher(cipher, key, direction);
    c->apply(reinterpret_cast<unsigned char*>(data.data()), data.size());
    return data;
}

TEST(Ssh1CryptoKnownAnswers, DesBlowfishAndMd5) {
    const std::string k = unhex("133457799BBCDFF1");
    const std::string des_key = k + k + k + std::string(8, '\0');
    EXPECT_EQ(run(CIPHER_3DES, des_key, Direction::encrypt, unhex("0123456789ABCDEF")),
              unhex("85E813540F0AB405"));
    EXPECT_EQ(run(CIPHER_3DES, des_key, Direction::decrypt, unhex("85E813540F0AB405")),
              unhex("0123456789ABCDEF"));
    EXPECT_EQ(run(CIPHER_BLOWFISH, std::string(32, '\0'), Direction::encrypt, std::string(8, '\0')),
              unhex("4597F94E78DD9861"));
    EXPECT_EQ(md5("abc"), unhex("900150983cd24fb0d6963f7d28e17f72"));
}

TEST(Ssh1CryptoKnownAnswers, ChainedBlocksDecryptBackAcrossCalls) {
    const std::string key = random_bytes(32);
    std::string text(64, '\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char>(i * 7);
    for (int cipher : {CIPHER_3DES, CIPHER_BLOWFISH}) {
        auto enc = make_cipher(cipher, key, Direction::encrypt);
        auto dec = make_cipher(cipher, key, Direction::decrypt);
        std::string data = text;
        auto* p = reinterpret_cast<unsigned char*>(data.data());
        enc->apply(p, 24);  // the chain carries over from call to call
        enc->apply(p + 24, 40);
        EXPECT_NE(data, text);
        dec->apply(p, 8);
        dec->apply(p + 8, 56);
        EXPECT_EQ(data, text) << "cipher " << cipher;
    }
}

TEST(Ssh1CryptoKnownAnswers, RsaAndDecimalNumbers) {
    // The textbook key n = 61 * 53, e = 17: 65 encrypts to 2790.
    EXPECT_EQ(rsa_raw(unhex("41"), unhex("11"), unhex("0CA1")), unhex("0AE6"));
    EXPECT_THROW(rsa_raw(unhex("0CA1"), unhex("11"), unhex("0CA1")), Ssh1Error);
    EXPECT_EQ(to_decimal(unhex("010000000000000000")), "18446744073709551616");
    EXPECT_EQ(from_decimal("18446744073709551616"), unhex("010000000000000000"));
    EXPECT_EQ(to_decimal(""), "0");
    EXPECT_EQ(from_decimal("x1"), "");
    EXPECT_EQ((RsaPublicKey{unhex("11"), unhex("0CA1")}.bits()), 12);
}

}  // namespace
}  // namespace termiva::ssh1
