// dh_test.cpp - the key pair's draw sizes, its redraw rule and bound, the
// refusal of oversized parameters, and an agreement in a real group.
#include <gtest/gtest.h>

#include "mpi_ref.h"
#include "protocol/dh.h"

namespace zp {
namespace {

using test::bn_bytes;
using test::bn_from_bytes;
using test::scripted_random;

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

TEST(dh_test, TwoPartiesAgreeInTheOakleyGroupAsTheReferenceComputes) {
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
