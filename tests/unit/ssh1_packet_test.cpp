// The SSH-1 building blocks without a network: check bytes, the ciphers against known
// answers, packet framing round trips, the decoder under random input, host keys, flags.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <fstream>
#include <random>

#include "connect/ssh1/ssh1_bugs.h"
#include "connect/ssh1/ssh1_client.h"
#include "connect/ssh1/ssh1_crypto.h"
#include "connect/ssh1/ssh1_known_hosts.h"
#include "connect/ssh1/ssh1_packet.h"
#include "connect/ssh1/ssh1_wire.h"
#include "support/test_support.h"

namespace termiva::ssh1 {
namespace {

std::string unhex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string encrypt_block(int cipher, const std::string& key, std::string block) {
    auto c = make_cipher(cipher, key, Direction::encrypt);
    c->apply(reinterpret_cast<unsigned char*>(block.data()), block.size());
    return block;
}

TEST(Ssh1Crypto, CheckBytesStartFromZeroWithoutFinalInversion) {
    const std::string text = "123456789";
    EXPECT_EQ(crc32(reinterpret_cast<const unsigned char*>(text.data()), text.size()), 0x2dfd2d88u);
}

TEST(Ssh1Crypto, TripleDesWithOneKeyThreeTimesIsSingleDes) {
    // Encrypt, decrypt, encrypt with the same key and separate chains collapse to one
    // DES pass: the textbook DES example must come out.
    const std::string k = unhex("133457799BBCDFF1");
    const std::string key = k + k + k + std::string(8, '\0');
    EXPECT_EQ(encrypt_block(CIPHER_3DES, key, unhex("0123456789ABCDEF")),
              unhex("85E813540F0AB405"));
}

TEST(Ssh1Crypto, BlowfishReadsWordsLeastSignificantByteFirst) {
    // Standard Blowfish of a zero block under a zero key is 4EF997456198DD78; SSH-1's
    // variant gives the same bytes reversed within each 32-bit word.
    EXPECT_EQ(encrypt_block(CIPHER_BLOWFISH, std::string(32, '\0'), std::string(8, '\0')),
              unhex("4597F94E78DD9861"));
}

TEST(Ssh1Crypto, RsaEncryptionPadsAndTheServerSideUnpads) {
    EVP_PKEY* pkey = EVP_RSA_gen(768);
    ASSERT_NE(pkey, nullptr);
    auto param = [&](const char* name) {
        BIGNUM* bn = nullptr;
        EVP_PKEY_get_bn_param(pkey, name, &bn);
        std::string out(static_cast<std::size_t>(BN_num_bytes(bn)), '\0');
        BN_bn2bin(bn, reinterpret_cast<unsigned char*>(out.data()));
        BN_free(bn);
        return out;
    };
    RsaPublicKey key{param(OSSL_PKEY_PARAM_RSA_E), param(OSSL_PKEY_PARAM_RSA_N)};
    const std::string d = param(OSSL_PKEY_PARAM_RSA_D);
    EVP_PKEY_free(pkey);
    const std::string secret = random_bytes(32);
    const std::string a = rsa_encrypt(key, secret), b = rsa_encrypt(key, secret);
    EXPECT_EQ(a.size(), key.n.size());
    EXPECT_NE(a, b) << "padding must be random";
    EXPECT_EQ(pkcs1_type2_unpad(rsa_raw(a, d, key.n), key.n.size()), secret);
    EXPECT_THROW(rsa_encrypt(key, std::string(key.n.size() - 10, 'x')), Ssh1Error);
}

TEST(Ssh1Crypto, Md5GivesTheKnownDigests) {
    EXPECT_EQ(md5(""), unhex("d41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_EQ(md5("message digest"), unhex("f96b697d7cb7938d525a2f31aaf161d0"));
}

TEST(Ssh1Crypto, DecimalTextMatchesAnIndependentBignum) {
    // Known-hosts files written before hold these numbers: OpenSSL's reading is the check.
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> len(0, 300), byte(0, 255);
    for (int round = 0; round < 200; ++round) {
        std::string magnitude(static_cast<std::size_t>(len(rng)), '\0');
        for (char& c : magnitude)
            c = static_cast<char>(byte(rng));
        if (round % 7 == 0) magnitude.insert(0, 3, '\0');  // leading zeros read as nothing
        BIGNUM* bn = BN_bin2bn(reinterpret_cast<const unsigned char*>(magnitude.data()),
                               static_cast<int>(magnitude.size()), nullptr);
        char* text = BN_bn2dec(bn);
        const std::string expected(text);
        OPENSSL_free(text);
        std::string stripped(static_cast<std::size_t>(BN_num_bytes(bn)), '\0');
        BN_bn2bin(bn, reinterpret_cast<unsigned char*>(stripped.data()));
        BN_free(bn);
        ASSERT_EQ(to_decimal(magnitude), expected);
        ASSERT_EQ(from_decimal(expected), stripped);
    }
    EXPECT_EQ(from_decimal("1000000000"), unhex("3B9ACA00"));
    EXPECT_EQ(from_decimal(""), "");
    EXPECT_EQ(from_decimal("12a4"), "");
    EXPECT_EQ(from_decimal("-5"), "");
    EXPECT_EQ(from_decimal(std::string(100000, '9')), "") << "absurd lengths are refused";
}

TEST(Ssh1Crypto, AWeakDesKeyStillEncryptsAndDecrypts) {
    // The session key is random; one that happens to be a weak DES key must not end the
    // connection. 0101010101010101 is weak: encrypting twice gives the block back.
    const std::string weak = unhex("0101010101010101");
    const std::string key = weak + weak + weak + std::string(8, '\0');
    const std::string block = unhex("0123456789ABCDEF");
    const std::string once = encrypt_block(CIPHER_3DES, key, block);
    EXPECT_NE(once, block);
    EXPECT_EQ(encrypt_block(CIPHER_3DES, key, once), block);
    EXPECT_TRUE(cipher_available(CIPHER_3DES));
    EXPECT_TRUE(cipher_available(CIPHER_BLOWFISH));
}

std::vector<std::pair<std::uint8_t, std::string>> random_messages(std::mt19937& rng, int count) {
    std::vector<std::pair<std::uint8_t, std::string>> out;
    std::uniform_int_distribution<int> len(0, 600), byte(0, 255);
    for (int i = 0; i < count; ++i) {
        std::string data(static_cast<std::size_t>(len(rng)), '\0');
        for (char& c : data)
            c = static_cast<char>(byte(rng));
        out.emplace_back(static_cast<std::uint8_t>(byte(rng)), data);
    }
    out.emplace_back(17, std::string(MAX_PACKET_LENGTH - 5, 'm'));  // the largest allowed
    return out;
}

TEST(Ssh1Packet, RoundTripsInAnyFragmentationWithEveryCipher) {
    std::mt19937 rng(1234);
    const std::string key = random_bytes(32);
    for (int cipher : {0, int(CIPHER_3DES), int(CIPHER_BLOWFISH)}) {
        SCOPED_TRACE(cipher);
        PacketWriter writer;
        PacketReader reader;
        if (cipher) {
            writer.set_cipher(make_cipher(cipher, key, Direction::encrypt));
            reader.set_cipher(make_cipher(cipher, key, Direction::decrypt));
        }
        const auto messages = random_messages(rng, 60);
        std::string wire;
        for (const auto& [type, data] : messages)
            writer.write(type, data, wire);
        std::vector<Packet> got;
        std::uniform_int_distribution<std::size_t> piece(1, 700);
        for (std::size_t pos = 0; pos < wire.size();) {
            const std::size_t n = std::min(piece(rng), wire.size() - pos);
            reader.feed(std::string_view(wire).substr(pos, n));
            pos += n;
            while (auto p = reader.next())
                got.push_back(*p);
        }
        ASSERT_EQ(got.size(), messages.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].type, messages[i].first);
            EXPECT_EQ(got[i].data, messages[i].second);
        }
        EXPECT_EQ(reader.buffered(), 0u);
    }
    PacketWriter writer;
    std::string out;
    EXPECT_THROW(writer.write(17, std::string(MAX_PACKET_LENGTH, 'x'), out), Ssh1Error);
}

TEST(Ssh1Packet, AHostileLengthFailsBeforeItsDataArrives) {
    PacketReader reader;
    reader.feed(std::string("\xff\xff\xff\xff", 4));
    EXPECT_THROW(reader.next(), Ssh1Error);
    EXPECT_THROW(reader.next(), Ssh1Error) << "a failed reader stays failed";
}

TEST(Ssh1Packet, RandomAndSpoiledInputNeverCrashesNorHoardsMemory) {
    std::mt19937 rng(987);
    std::uniform_int_distribution<int> byte(0, 255);
    const std::string key = random_bytes(32);
    PacketWriter writer;
    std::string valid;
    for (const auto& [type, data] : random_messages(rng, 20))
        writer.write(type, data, valid);
    int failures = 0, packets = 0;
    for (int round = 0; round < 400; ++round) {
        PacketReader reader;
        if (round % 3 == 1) reader.set_cipher(make_cipher(CIPHER_3DES, key, Direction::decrypt));
        if (round % 3 == 2)
            reader.set_cipher(make_cipher(CIPHER_BLOWFISH, key, Direction::decrypt));
        std::string input;
        if (round % 2 == 0) {
            input.resize(std::uniform_int_distribution<std::size_t>(0, 4000)(rng));
            for (char& c : input)
                c = static_cast<char>(byte(rng));
            if (round % 4 == 0 && input.size() >= 4) input[0] = input[1] = 0;  // plausible lengths
        } else {
            input = valid.substr(0, std::uniform_int_distribution<std::size_t>(0, 5000)(rng));
            for (int k = 0; k < 3 && !input.empty(); ++k) {
                input[std::uniform_int_distribution<std::size_t>(0, input.size() - 1)(rng)] ^=
                    static_cast<char>(1 + byte(rng) % 255);
            }
        }
        try {
            for (std::size_t pos = 0; pos < input.size(); pos += 97) {
                reader.feed(std::string_view(input).substr(pos, 97));
                while (reader.next())
                    ++packets;
                ASSERT_LE(reader.buffered(), MAX_PACKET_LENGTH + 12 + 97);
            }
        } catch (const Ssh1Error&) {
            ++failures;
        }
    }
    EXPECT_GT(failures, 100);  // the decoder did look at the garbage
    EXPECT_GT(packets, 0);
}

TEST(Ssh1Wire, FieldsPastTheEndAreProtocolErrors) {
    EXPECT_THROW(FieldReader(std::string("\x00\x00\x00\x09"
                                         "abc",
                                         7))
                     .string(),
                 Ssh1Error);
    EXPECT_THROW(FieldReader(std::string("\x04\x00"
                                         "ab",
                                         4))
                     .mpint(),
                 Ssh1Error);
    FieldWriter w;
    w.mpint(std::string("\x00\x01\x02", 3));
    EXPECT_EQ(w.data(), std::string("\x00\x09\x01\x02", 4));  // 9 bits, leading zero dropped
    EXPECT_EQ(FieldReader(w.data()).mpint(), std::string("\x01\x02", 2));
}

TEST(Ssh1Client, GreetingLinesBeforeTheVersionAreSkippedAndSsh2Refused) {
    Ssh1Client client({}, [](const RsaPublicKey&) {});
    client.feed("Welcome to the switch\r\nSSH-1.99-Old");
    EXPECT_EQ(client.take_output(), "");
    client.feed("Box\r\n");
    EXPECT_EQ(client.take_output(), "SSH-1.5-Termiva_1.0\n");
    EXPECT_EQ(client.server_version(), "SSH-1.99-OldBox");

    Ssh1Client modern({}, [](const RsaPublicKey&) {});
    EXPECT_THROW(modern.feed("SSH-2.0-OpenSSH_9.6\r\n"), Ssh1Error);
}

TEST(Ssh1KnownHosts, FirstKeyRecordedSameKeyKnownChangedKeyRefused) {
    testing::TempDir dir;
    const auto file = dir.path() / "data" / "known_hosts";
    std::filesystem::create_directories(file.parent_path());
    // An SSH-2 line for the same host, without a final newline, is left alone.
    std::ofstream(file) << "box.example ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIK";
    const RsaPublicKey key{std::string("\x01\x00\x01", 3), random_bytes(128)};
    RsaPublicKey other = key;
    other.n[5] ^= 0x20;
    EXPECT_EQ(check_host_key(file, "box.example", 22, key), HostKeyResult::recorded);
    EXPECT_EQ(check_host_key(file, "Box.Example", 22, key), HostKeyResult::known);
    EXPECT_EQ(check_host_key(file, "box.example", 2222, other), HostKeyResult::recorded);
    try {
        check_host_key(file, "box.example", 22, other);
        FAIL() << "a changed key was accepted";
    } catch (const Ssh1Error& e) {
        EXPECT_NE(std::string(e.what()).find(file.string()), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find(fingerprint(other)), std::string::npos) << e.what();
    }
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "box.example ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIK");
    EXPECT_EQ(lines[1].rfind("box.example ", 0), 0u);
    EXPECT_EQ(lines[2].rfind("[box.example]:2222 ", 0), 0u);
}

TEST(Ssh1KnownHosts, AKeySentWithLeadingZeroBytesIsTheSameKey) {
    // The file keeps numbers, so zero bytes in front of the modulus are not kept: the key
    // must still be known next time, not reported as changed.
    testing::TempDir dir;
    const auto file = dir.path() / "known_hosts";
    std::string n = random_bytes(128);
    n[0] = static_cast<char>(0xC3);
    const RsaPublicKey padded{std::string("\x00\x01\x00\x01", 4), std::string(2, '\0') + n};
    const RsaPublicKey plain{std::string("\x01\x00\x01", 3), n};
    EXPECT_EQ(check_host_key(file, "box.example", 22, padded), HostKeyResult::recorded);
    EXPECT_EQ(check_host_key(file, "box.example", 22, padded), HostKeyResult::known);
    EXPECT_EQ(check_host_key(file, "box.example", 22, plain), HostKeyResult::known);
    RsaPublicKey other = plain;
    other.n[0] = static_cast<char>(0xC2);
    EXPECT_THROW(check_host_key(file, "box.example", 22, other), Ssh1Error);
}

TEST(Ssh1Bugs, OnlyFlagsForcedOnAreApplied) {
    const auto set = SSHBugSpec::ssh1_forced_on({{"ignore1", "on"},
                                                 {"plainpw1", "auto"},
                                                 {"rsa1", "off"},
                                                 {"ignore2", "on"},
                                                 {"bogus", "on"}});
    EXPECT_EQ(set, std::set<std::string>{"ignore1"});
    EXPECT_TRUE(Ssh1Quirks::from(set).no_ignore);
    EXPECT_FALSE(Ssh1Quirks::from(set).plain_password);
}

}  // namespace
}  // namespace termiva::ssh1
