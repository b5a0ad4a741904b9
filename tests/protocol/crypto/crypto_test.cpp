// crypto_test.cpp - MD5 and AES-128 through the wrappers against the published
// test values, the hallmark and challenge-response derivations, and the key
// pair's draw sizes, redraw rule and bound (agreement with a server is checked
// by the conversation tests).
#include <gtest/gtest.h>

#include <cstring>

#include "mpi_ref.h"
#include "protocol/crypto.h"
#include "protocol/dh.h"
#include "protocol/memory_stream.h"

namespace zp {
namespace {

using test::bn_bytes;
using test::bn_from_bytes;
using test::hex_bytes;
using test::scripted_random;

TEST(md5_test, PublishedValuesOfEmptyShortAndMultiBlockTexts) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
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

TEST(aes_test, PublishedExampleBothWays) {
    uint8_t key[16];
    std::memcpy(key, hex_bytes("000102030405060708090a0b0c0d0e0f").data(), sizeof key);
    aes128 aes;
    ASSERT_FALSE(aes.open(key));
    auto data = hex_bytes("00112233445566778899aabbccddeeff");
    ASSERT_FALSE(aes.encrypt(data.data(), data.size()));
    EXPECT_EQ(data, hex_bytes("69c4e0d86a7b0430d8cdb78070b4c55a"));
    ASSERT_FALSE(aes.decrypt(data.data(), data.size()));
    EXPECT_EQ(data, hex_bytes("00112233445566778899aabbccddeeff"));
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

TEST(challenge_test, ResponseIsDigestOfHallmarkAndDecimalChallengeAndSurvivesTheWire) {
    bignum_ptr r, again, got;
    ASSERT_FALSE(challenge_response(hallmark, *bn_new(1000, 1), r));
    EXPECT_EQ(bn_bytes(*r), hex_bytes("e6e9137fca5383c80bca8b4c13a5584b"));
    // MD5(hallmark "234") begins with 0x00: the number has 15 bytes, goes out
    // as a 15-byte INTEGER and still equals the response computed again.
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
    scripted_random r;
    r.values.assign(4, 0xFFFFFFFF);
    auto c = make_challenge(r.source());
    EXPECT_EQ(r.asked, std::vector<size_t>{16});
    EXPECT_EQ(bn_bit_length(*c), 128u);
    EXPECT_FALSE(bn_equals(*make_challenge(), *make_challenge()));  // the strong source
}

TEST(dh_test, PrivateExponentHasFourBytesPerGeneratorWord) {
    auto p = bn_from_bytes(test::hex_bytes(test::oakley2_prime));
    scripted_random one, two;
    one.values = {12345};
    two.values = {12345, 1};
    bignum_ptr pub, priv;
    ASSERT_FALSE(generate_key_pair(*p, *bn_new(2, 1), pub, priv, one.source()));
    EXPECT_EQ(one.asked, std::vector<size_t>{4});
    EXPECT_TRUE(bn_equals_small(*priv, 12345));
    ASSERT_FALSE(generate_key_pair(*p, *bn_from_bytes({1, 0, 0, 0, 3}), pub, priv, two.source()));
    EXPECT_EQ(two.asked, std::vector<size_t>{8});
    EXPECT_EQ(priv->used, 2u);
}

TEST(dh_test, WeakPublicValueIsDrawnAgain) {
    struct {
        const char* why;
        uint32_t p, g;
        std::vector<uint32_t> draws;
        uint32_t pub;
    } cases[] = {
        // Modulo 23, generator 5: exponent 11 gives 22, 22 and 0 give 1; 3 gives 10.
        {"square is one", 23, 5, {11, 22, 0, 3}, 10},
        // Modulo 8: 2^3 = 0; 2^1 = 2 squares to 4.
        {"square is zero", 8, 2, {3, 1}, 2},
        // Modulo 10: 4^2 = 6 and 6^2 = 6; 4^1 = 4 squares to 6.
        {"equal to its square", 10, 4, {2, 1}, 4},
    };
    for (const auto& c : cases) {
        scripted_random r;
        r.values = c.draws;
        bignum_ptr pub, priv;
        ASSERT_FALSE(generate_key_pair(*bn_new(c.p, 1), *bn_new(c.g, 1), pub, priv, r.source())) << c.why;
        EXPECT_EQ(r.asked.size(), c.draws.size()) << c.why;
        EXPECT_TRUE(bn_equals_small(*priv, c.draws.back())) << c.why;
        EXPECT_TRUE(bn_equals_small(*pub, c.pub)) << c.why;
    }
}

TEST(dh_test, GeneratorOfOneStopsAfterBoundedDraws) {
    scripted_random r;
    r.values.assign(200, 7);
    bignum_ptr pub, priv;
    auto e = generate_key_pair(*bn_new(23, 1), *bn_new(1, 1), pub, priv, r.source());
    EXPECT_EQ(e.message(), "Error getting a random number for the key exchange");
    EXPECT_EQ(r.asked.size(), static_cast<size_t>(dh_max_draws));
    EXPECT_FALSE(pub || priv);
}

TEST(dh_test, ParametersTooLargeToAnswerAreRefusedBeforeWork) {
    auto p36 = bn_from_bytes(std::vector<uint8_t>(141, 0xFF));
    auto p35 = bn_from_bytes(std::vector<uint8_t>(140, 0xFF));
    scripted_random r;
    r.values = {5, 5, 5};
    bignum_ptr pub, priv;
    auto zero = bn_new(0, 1), two = bn_new(2, 1);
    const std::pair<const bignum*, const bignum*> refused[] = {{p36.get(), two.get()}, {p35.get(), p36.get()},
                                                               {zero.get(), two.get()}};
    for (auto [p, g] : refused)
        EXPECT_EQ(generate_key_pair(*p, *g, pub, priv, r.source()).message(),
                  "Received invalid modulus/generator from server");
    EXPECT_TRUE(r.asked.empty());
    EXPECT_FALSE(generate_key_pair(*p35, *bn_new(3, 1), pub, priv, r.source()));
    EXPECT_FALSE(shared_secret(*bn_new(3, 1), *bn_new(5, 1), *p36));
}

}  // namespace
}  // namespace zp
