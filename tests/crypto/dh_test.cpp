// dh_test.cpp - the key pair's draw sizes, its redraw rule and bound, the
// refusal of oversized parameters, and an agreement in a real group.
#include <gtest/gtest.h>

#include "mpi_ref.h"
#include "protocol/dh.h"

namespace zp {
namespace {

using test::bn_bytes;
using test::bn_from_bytes;

// Hands out private exponents one 32-bit word at a time (little-endian bytes)
// and records the size of every request.
struct scripted_random {
    std::vector<uint32_t> values;
    std::vector<size_t> asked;
    size_t next = 0;
    random_source source() {
        return [this](void* buf, size_t n) {
            asked.push_back(n);
            auto p = static_cast<uint8_t*>(buf);
            for (size_t i = 0; i < n; ++i) {
                uint32_t v = next < values.size() ? values[next] : 0;
                p[i] = static_cast<uint8_t>(v >> (8 * (i % 4)));
                if (i % 4 == 3) ++next;
            }
        };
    }
};

TEST(dh_test, PrivateExponentHasFourBytesPerGeneratorWord) {
    auto p = bn_from_bytes(test::hex_bytes(test::oakley2_prime));
    scripted_random one, two;
    one.values = {12345};
    two.values = {12345, 1};
    bignum_ptr pub, priv;
    ASSERT_FALSE(generate_key_pair(*p, *bn_new(2, 1), pub, priv, one.source()));
    EXPECT_EQ(one.asked, std::vector<size_t>{4});
    EXPECT_TRUE(bn_equals_small(*priv, 12345));
    auto g2 = bn_from_bytes({1, 0, 0, 0, 3});  // two words
    ASSERT_FALSE(generate_key_pair(*p, *g2, pub, priv, two.source()));
    EXPECT_EQ(two.asked, std::vector<size_t>{8});
    EXPECT_EQ(priv->used, 2u);
}

TEST(dh_test, PublicWhoseSquareIsOneIsDrawnAgain) {
    // Modulo 23 with generator 5: exponent 11 gives 22 (square 1), 22 and 0
    // give 1; exponent 3 gives 10, whose square is 8.
    scripted_random r;
    r.values = {11, 22, 0, 3};
    bignum_ptr pub, priv;
    ASSERT_FALSE(generate_key_pair(*bn_new(23, 1), *bn_new(5, 1), pub, priv, r.source()));
    EXPECT_EQ(r.asked.size(), 4u);
    EXPECT_TRUE(bn_equals_small(*priv, 3));
    EXPECT_TRUE(bn_equals_small(*pub, 10));
}

TEST(dh_test, PublicWhoseSquareIsZeroIsDrawnAgain) {
    // Modulo 8: 2^3 = 0; 2^1 = 2 squares to 4.
    scripted_random r;
    r.values = {3, 1};
    bignum_ptr pub, priv;
    ASSERT_FALSE(generate_key_pair(*bn_new(8, 1), *bn_new(2, 1), pub, priv, r.source()));
    EXPECT_EQ(r.asked.size(), 2u);
    EXPECT_TRUE(bn_equals_small(*pub, 2));
}

TEST(dh_test, PublicEqualToItsSquareIsDrawnAgain) {
    // Modulo 10: 4^2 = 6 and 6^2 = 6; 4^1 = 4 squares to 6.
    scripted_random r;
    r.values = {2, 1};
    bignum_ptr pub, priv;
    ASSERT_FALSE(generate_key_pair(*bn_new(10, 1), *bn_new(4, 1), pub, priv, r.source()));
    EXPECT_EQ(r.asked.size(), 2u);
    EXPECT_TRUE(bn_equals_small(*pub, 4));
}

TEST(dh_test, GeneratorOfOneStopsAfterBoundedDraws) {
    scripted_random r;
    r.values.assign(200, 7);
    bignum_ptr pub, priv;
    auto e = generate_key_pair(*bn_new(23, 1), *bn_new(1, 1), pub, priv, r.source());
    EXPECT_EQ(e.message(), "Error getting a random number for the key exchange");
    EXPECT_EQ(r.asked.size(), static_cast<size_t>(dh_max_draws));
    EXPECT_FALSE(pub);
    EXPECT_FALSE(priv);
}

TEST(dh_test, ParametersTooLargeToAnswerAreRefusedBeforeWork) {
    auto p36 = bn_from_bytes(std::vector<uint8_t>(141, 0xFF));
    auto p35 = bn_from_bytes(std::vector<uint8_t>(140, 0xFF));
    scripted_random r;
    r.values = {5, 5, 5};
    bignum_ptr pub, priv;
    EXPECT_EQ(generate_key_pair(*p36, *bn_new(2, 1), pub, priv, r.source()).message(),
              "Received invalid modulus/generator from server");
    EXPECT_EQ(generate_key_pair(*p35, *p36, pub, priv, r.source()).message(),
              "Received invalid modulus/generator from server");
    EXPECT_EQ(generate_key_pair(*bn_new(0, 1), *bn_new(2, 1), pub, priv, r.source()).message(),
              "Received invalid modulus/generator from server");
    EXPECT_TRUE(r.asked.empty());
    EXPECT_FALSE(generate_key_pair(*p35, *bn_new(3, 1), pub, priv, r.source()));
    EXPECT_FALSE(shared_secret(*bn_new(3, 1), *bn_new(5, 1), *p36));
}

TEST(dh_test, TwoPartiesAgreeInTheOakleyGroup) {
    auto p = bn_from_bytes(test::hex_bytes(test::oakley2_prime));
    auto g = bn_new(2, 1);
    for (int round = 0; round < 5; ++round) {
        bignum_ptr pub_a, priv_a, pub_b, priv_b;
        ASSERT_FALSE(generate_key_pair(*p, *g, pub_a, priv_a));
        ASSERT_FALSE(generate_key_pair(*p, *g, pub_b, priv_b));
        auto s_a = shared_secret(*pub_b, *priv_a, *p);
        auto s_b = shared_secret(*pub_a, *priv_b, *p);
        ASSERT_TRUE(s_a && s_b);
        EXPECT_TRUE(bn_equals(*s_a, *s_b));
        EXPECT_LE(bn_bit_length(*priv_a), 32u);

        // The same secret as the reference arithmetic gives.
        auto mp = test::mpi_from_bytes(bn_bytes(*p));
        auto mpub = test::mpi_from_bytes(bn_bytes(*pub_b));
        auto mpriv = test::mpi_from_bytes(bn_bytes(*priv_a));
        test::mpi_ptr want(gcry_mpi_new(0));
        gcry_mpi_powm(want.get(), mpub.get(), mpriv.get(), mp.get());
        EXPECT_EQ(bn_bytes(*s_a), test::mpi_bytes(want.get()));
    }
}

}  // namespace
}  // namespace zp
