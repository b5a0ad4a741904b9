// crypto_test.cpp - MD5 and AES-128 through the wrappers against the published
// test values, and the hallmark and challenge-response derivations.
#include <gtest/gtest.h>

#include <cstring>

#include "mpi_ref.h"
#include "protocol/crypto.h"
#include "protocol/memory_stream.h"

namespace zp {
namespace {

using test::bn_bytes;
using test::bn_from_bytes;
using test::hex_bytes;

TEST(md5_test, PublishedTestSuite) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [text, digest] : cases) {
        md5 m;
        m.update(text);
        md5_digest d{};
        ASSERT_FALSE(m.finish(d));
        EXPECT_EQ(digest_hex(d), digest) << text;
    }
}

TEST(aes_test, PublishedExamplesBothWays) {
    const char* cases[][3] = {
        {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734", "3925841d02dc09fbdc118597196a0b32"},
    };
    for (const auto& c : cases) {
        uint8_t key[16];
        std::memcpy(key, hex_bytes(c[0]).data(), sizeof key);
        aes128 aes;
        ASSERT_FALSE(aes.open(key));
        auto data = hex_bytes(c[1]);
        ASSERT_FALSE(aes.encrypt(data.data(), data.size()));
        EXPECT_EQ(data, hex_bytes(c[2]));
        ASSERT_FALSE(aes.decrypt(data.data(), data.size()));
        EXPECT_EQ(data, hex_bytes(c[1]));
    }
}

TEST(hallmark_test, DigestOfKeyTextFollowedByDecimalNumber) {
    std::vector<uint8_t> big(13, 0);  // 2^100 + 7 enters as its full decimal text
    big[0] = 0x10;
    big.back() = 7;
    const std::tuple<const char*, bignum_ptr, const char*> cases[] = {
        {"123", bn_new(456, 1), "e10adc3949ba59abbe56e057f20f883e"},  // MD5("123456")
        {"12345", bn_new(0, 1), "149787a6b7986f31b3dcc0e4e857cd2a"},  // MD5("123450")
        {"98765432109876543210", bn_from_bytes(big), "4319035edc8463bfc39c086017070b35"},
    };
    for (const auto& [key, number, digest] : cases) {
        std::string h;
        ASSERT_FALSE(make_hallmark(key, *number, h));
        EXPECT_EQ(h, digest);
    }
}

const char* hallmark = "0123456789abcdef0123456789abcdef";

TEST(challenge_test, ResponseIsDigestOfHallmarkAndDecimalChallenge) {
    bignum_ptr r;
    ASSERT_FALSE(challenge_response(hallmark, *bn_new(1000, 1), r));
    EXPECT_EQ(bn_bytes(*r), hex_bytes("e6e9137fca5383c80bca8b4c13a5584b"));
}

TEST(challenge_test, LeadingZeroDigestByteSurvivesTheWire) {
    // MD5(hallmark "234") begins with 0x00: the number has 15 bytes, goes out
    // as a 15-byte INTEGER and still equals the response computed again.
    bignum_ptr r, again, got;
    ASSERT_FALSE(challenge_response(hallmark, *bn_new(234, 1), r));
    EXPECT_EQ(bn_bytes(*r), hex_bytes("cb02ec98ae5fda6eb8a7484804ba78"));
    memory_stream s;
    ASSERT_FALSE(write_bignum(s, *r));
    EXPECT_EQ(s.output[1], 15);
    memory_stream in(s.output);
    ASSERT_FALSE(read_bignum(in, got));
    ASSERT_FALSE(challenge_response(hallmark, *bn_new(234, 1), again));
    EXPECT_TRUE(bn_equals(*got, *again));
}

TEST(challenge_test, AgentChallengeHasSixteenRandomBytes) {
    test::scripted_random r;
    r.values.assign(4, 0xFFFFFFFF);
    auto c = make_challenge(r.source());
    EXPECT_EQ(r.asked, std::vector<size_t>{16});
    EXPECT_EQ(bn_bit_length(*c), 128u);
    EXPECT_FALSE(bn_equals(*make_challenge(), *make_challenge()));  // the strong source
}

}  // namespace
}  // namespace zp
