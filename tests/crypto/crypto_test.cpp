// crypto_test.cpp - MD5 and AES-128 through the wrappers against the published
// test values, and the hallmark and challenge-response derivations.
#include <gtest/gtest.h>

#include <cstring>

#include "mpi_ref.h"
#include "protocol/crypto.h"

namespace zp {
namespace {

using test::bn_bytes;
using test::bn_from_bytes;
using test::hex_bytes;

std::string md5_hex(std::string_view text) {
    md5 m;
    m.update(text);
    md5_digest d{};
    EXPECT_FALSE(m.finish(d));
    return digest_hex(d);
}

TEST(md5_test, PublishedTestSuite) {
    EXPECT_EQ(md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5_hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5_hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(md5_hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(md5_hex("1234567890123456789012345678901234567890"
                      "1234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

void expect_aes(const std::string& key_hex, const std::string& plain_hex, const std::string& cipher_hex) {
    auto k = hex_bytes(key_hex);
    uint8_t key[16];
    std::copy(k.begin(), k.end(), key);
    aes128 aes;
    ASSERT_FALSE(aes.open(key));
    auto data = hex_bytes(plain_hex);
    ASSERT_FALSE(aes.encrypt(data.data(), data.size()));
    EXPECT_EQ(data, hex_bytes(cipher_hex));
    ASSERT_FALSE(aes.decrypt(data.data(), data.size()));
    EXPECT_EQ(data, hex_bytes(plain_hex));
}

TEST(aes_test, PublishedExamples) {
    expect_aes("000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
               "69c4e0d86a7b0430d8cdb78070b4c55a");
    expect_aes("2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
               "3925841d02dc09fbdc118597196a0b32");
}

TEST(hallmark_test, DigestOfKeyTextFollowedByDecimalNumber) {
    // MD5("123" "456") = MD5("123456")
    std::string h;
    ASSERT_FALSE(make_hallmark("123", *bn_new(456, 1), h));
    EXPECT_EQ(h, "e10adc3949ba59abbe56e057f20f883e");

    // A number of several words enters as its full decimal text (2^100 + 7).
    std::vector<uint8_t> b(13, 0);
    b[0] = 0x10;
    b.back() = 7;
    ASSERT_FALSE(make_hallmark("98765432109876543210", *bn_from_bytes(b), h));
    EXPECT_EQ(h, "4319035edc8463bfc39c086017070b35");
}

TEST(hallmark_test, ZeroNumberEntersAsDigitZero) {
    std::string h;
    ASSERT_FALSE(make_hallmark("12345", *bn_new(0, 1), h));
    EXPECT_EQ(h, "149787a6b7986f31b3dcc0e4e857cd2a");  // MD5("123450")
}

const char* hallmark = "0123456789abcdef0123456789abcdef";

TEST(challenge_test, ResponseIsDigestOfHallmarkAndDecimalChallenge) {
    bignum_ptr r;
    ASSERT_FALSE(challenge_response(hallmark, *bn_new(1000, 1), r));
    ASSERT_TRUE(r);
    EXPECT_EQ(bn_bytes(*r), hex_bytes("e6e9137fca5383c80bca8b4c13a5584b"));
}

TEST(challenge_test, LeadingZeroDigestByteShortensResponse) {
    // MD5(hallmark "234") begins with 0x00: the number has 15 bytes and still
    // equals the response computed again from the same challenge.
    bignum_ptr r, again;
    ASSERT_FALSE(challenge_response(hallmark, *bn_new(234, 1), r));
    EXPECT_EQ(bn_bytes(*r), hex_bytes("cb02ec98ae5fda6eb8a7484804ba78"));
    auto wire = bn_from_bytes(bn_bytes(*r));
    ASSERT_FALSE(challenge_response(hallmark, *bn_new(234, 1), again));
    EXPECT_TRUE(bn_equals(*wire, *again));
}

TEST(challenge_test, AgentChallengeHasSixteenRandomBytes) {
    std::vector<size_t> asked;
    auto c = make_challenge([&asked](void* buf, size_t n) {
        asked.push_back(n);
        std::memset(buf, 0xFF, n);
    });
    ASSERT_TRUE(c);
    EXPECT_EQ(asked, std::vector<size_t>{16});
    EXPECT_EQ(bn_bit_length(*c), 128u);
    // Two challenges from the strong source differ.
    EXPECT_FALSE(bn_equals(*make_challenge(), *make_challenge()));
}

}  // namespace
}  // namespace zp
