// bignum_test.cpp - the big numbers against libgcrypt's numbers on many random
// operands, and the byte-conversion limits the codec relies on.
#include <gtest/gtest.h>

#include <random>

#include "mpi_ref.h"
#include "protocol/bignum.h"

namespace zp {
namespace {

using test::bn_bytes;
using test::bn_from_bytes;
using test::mpi_bytes;
using test::mpi_from_bytes;
using test::mpi_ptr;

class bignum_test : public ::testing::Test {
protected:
    std::mt19937_64 rng{20260612};

    // Random big-endian bytes of the given length in one of several shapes:
    // plain random, all 0xFF, leading zero bytes, a single top bit.
    std::vector<uint8_t> random_bytes(size_t len) {
        std::vector<uint8_t> b(len);
        int shape = static_cast<int>(rng() % 6);
        for (auto& x : b) x = static_cast<uint8_t>(rng());
        if (len == 0) return b;
        if (shape == 1) std::fill(b.begin(), b.end(), 0xFF);
        if (shape == 2) b[0] = 0;
        if (shape == 3) {
            std::fill(b.begin(), b.end(), 0);
            b[0] = 0x80;
        }
        return b;
    }

    static std::string gcry_decimal(gcry_mpi_t m) {
        mpi_ptr n(gcry_mpi_copy(m)), q(gcry_mpi_new(0)), r(gcry_mpi_new(0));
        mpi_ptr ten9(gcry_mpi_set_ui(nullptr, 1000000000));
        std::string s;
        if (gcry_mpi_cmp_ui(n.get(), 0) == 0) return "0";
        while (gcry_mpi_cmp_ui(n.get(), 0) != 0) {
            gcry_mpi_div(q.get(), r.get(), n.get(), ten9.get(), 0);
            unsigned long v = 0;
            for (uint8_t byte : mpi_bytes(r.get())) v = v * 256 + byte;
            bool top = gcry_mpi_cmp_ui(q.get(), 0) == 0;
            for (int d = 0; d < 9 && (!top || v); ++d) {
                s += static_cast<char>('0' + v % 10);
                v /= 10;
            }
            gcry_mpi_set(n.get(), q.get());
        }
        return std::string(s.rbegin(), s.rend());
    }
};

TEST_F(bignum_test, ByteAndDecimalConversionsMatchReference) {
    for (int i = 0; i < 400; ++i) {
        size_t len = i < 150 ? static_cast<size_t>(i) : rng() % 300;
        auto bytes = random_bytes(len);
        auto n = bn_from_bytes(bytes);
        ASSERT_TRUE(n);
        auto m = mpi_from_bytes(bytes);
        EXPECT_EQ(bn_bytes(*n), mpi_bytes(m.get())) << "length " << len;
        EXPECT_EQ(bn_to_decimal(*n), gcry_decimal(m.get())) << "length " << len;
        EXPECT_EQ(bn_bit_length(*n), gcry_mpi_get_nbits(m.get()));
        ASSERT_TRUE(n->used == 0 || n->digits[n->used - 1] != 0) << "leading zero word kept";
    }
}

TEST_F(bignum_test, DecimalKeepsInnerZeroGroups) {
    // 10^18 + 5 has a group of nine zeros between its digits.
    auto n = bn_from_bytes(test::hex_bytes("0DE0B6B3A7640005"));
    EXPECT_EQ(bn_to_decimal(*n), "1000000000000000005");
    EXPECT_EQ(bn_to_decimal(*bn_new(0, 1)), "0");
    EXPECT_EQ(bn_to_decimal(*bn_new(4294967295u, 1)), "4294967295");
}

TEST_F(bignum_test, ComparisonsMatchReference) {
    for (int i = 0; i < 500; ++i) {
        auto ab = random_bytes(rng() % 40), bb = random_bytes(rng() % 40);
        if (i % 5 == 0) bb = ab;  // equal operands
        if (i % 7 == 0 && !ab.empty()) {
            bb = ab;
            bb.back() ^= 1;  // differ only in the lowest bit
        }
        auto a = bn_from_bytes(ab), b = bn_from_bytes(bb);
        auto ma = mpi_from_bytes(ab), mb = mpi_from_bytes(bb);
        int c = gcry_mpi_cmp(ma.get(), mb.get());
        EXPECT_EQ(bn_equals(*a, *b), c == 0);
        EXPECT_EQ(bn_less(*a, *b), c < 0);
        EXPECT_EQ(bn_less(*b, *a), c > 0);
    }
}

TEST_F(bignum_test, EqualsSmallTreatsZeroAsNoWords) {
    auto zero = bn_from_bytes({0, 0, 0});
    EXPECT_EQ(zero->used, 0u);
    EXPECT_TRUE(bn_equals_small(*zero, 0));
    EXPECT_FALSE(bn_equals_small(*zero, 1));
    auto big = bn_from_bytes({1, 0, 0, 0, 1});  // 2^32 + 1: low word 1
    EXPECT_FALSE(bn_equals_small(*big, 1));
    EXPECT_TRUE(bn_equals(*zero, *bn_new(0, 40)));
}

TEST_F(bignum_test, ModExpMatchesReferenceOnRandomOperands) {
    for (int i = 0; i < 600; ++i) {
        size_t mlen = 1 + rng() % 140;
        auto mb = random_bytes(mlen);
        if (i % 2) mb.back() |= 1;  // mostly odd moduli, the protocol's case
        auto mod = mpi_from_bytes(mb);
        if (gcry_mpi_cmp_ui(mod.get(), 0) == 0) continue;
        auto bb = random_bytes(rng() % 150);
        auto eb = random_bytes(rng() % 140);
        auto base = mpi_from_bytes(bb), ex = mpi_from_bytes(eb);
        mpi_ptr want(gcry_mpi_new(0));
        gcry_mpi_powm(want.get(), base.get(), ex.get(), mod.get());
        auto r = bn_mod_exp(*bn_from_bytes(bb), *bn_from_bytes(eb), *bn_from_bytes(mb));
        ASSERT_TRUE(r);
        ASSERT_EQ(bn_bytes(*r), mpi_bytes(want.get()))
            << "modulus bytes " << mlen << " base bytes " << bb.size() << " exponent bytes " << eb.size();
    }
}

TEST_F(bignum_test, ModExpEdgeOperands) {
    for (size_t mlen : {1u, 4u, 5u, 96u, 128u, 140u}) {
        for (int odd = 0; odd < 2; ++odd) {
            auto mb = random_bytes(mlen);
            mb[0] |= 0x80;
            if (odd) mb.back() |= 1;
            else mb.back() &= 0xFE;
            auto mod = mpi_from_bytes(mb);
            mpi_ptr mod1(gcry_mpi_new(0));
            gcry_mpi_sub_ui(mod1.get(), mod.get(), 1);
            std::vector<std::vector<uint8_t>> values = {{}, {1}, {2}, mpi_bytes(mod1.get()), mb,
                                                        random_bytes(mlen + 8)};
            for (const auto& bb : values) {
                for (const auto& eb : values) {
                    auto base = mpi_from_bytes(bb), ex = mpi_from_bytes(eb);
                    mpi_ptr want(gcry_mpi_new(0));
                    gcry_mpi_powm(want.get(), base.get(), ex.get(), mod.get());
                    auto r = bn_mod_exp(*bn_from_bytes(bb), *bn_from_bytes(eb), *bn_from_bytes(mb));
                    ASSERT_TRUE(r);
                    EXPECT_EQ(bn_bytes(*r), mpi_bytes(want.get()))
                        << "modulus bytes " << mlen << " odd " << odd << " base bytes " << bb.size()
                        << " exponent bytes " << eb.size();
                }
            }
        }
    }
}

TEST_F(bignum_test, ModExpByZeroModulusFailsInsteadOfDividingByZero) {
    EXPECT_FALSE(bn_mod_exp(*bn_new(3, 1), *bn_new(2, 1), *bn_new(0, 1)));
}

TEST_F(bignum_test, ModExpByOneIsZero) {
    auto r = bn_mod_exp(*bn_new(3, 1), *bn_new(0, 1), *bn_new(1, 1));
    ASSERT_TRUE(r);
    EXPECT_TRUE(bn_equals_small(*r, 0));
}

TEST_F(bignum_test, NewNumberGetsCapacityForHalfAgainItsSize) {
    EXPECT_EQ(bn_new(7, 0)->capacity(), 16u);
    EXPECT_EQ(bn_new(7, 10)->capacity(), 16u);
    EXPECT_EQ(bn_new(7, 11)->capacity(), 17u);
    EXPECT_EQ(bn_new(7, 40)->capacity(), 61u);
}

TEST_F(bignum_test, SetDataGrowsASmallNumber) {
    auto n = bn_new(5, 0);
    std::vector<uint8_t> bytes(401, 0xAB);
    ASSERT_FALSE(bn_set_data(*n, bytes));
    EXPECT_EQ(n->used, 101u);
    EXPECT_EQ(bn_bytes(*n), bytes);
    // Shrinking data leaves no stale high words behind.
    ASSERT_FALSE(bn_set_data(*n, std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(n->used, 1u);
    EXPECT_EQ(n->digits[0], 0x0102u);
    EXPECT_EQ(n->digits[100], 0u);
}

TEST_F(bignum_test, GetDataRefusesBufferBelowFourBytesPerWord) {
    // 35 words fit the codec's 140-byte area, 36 words do not.
    auto n35 = bn_from_bytes(std::vector<uint8_t>(140, 0xFF));
    auto n36 = bn_from_bytes(std::vector<uint8_t>(141, 0x01));
    uint8_t buf[140];
    size_t count = 99;
    EXPECT_FALSE(bn_get_data(*n35, buf, sizeof buf, count));
    EXPECT_EQ(count, 140u);
    count = 99;
    auto e = bn_get_data(*n36, buf, sizeof buf, count);
    EXPECT_EQ(e.message(), "Buffer given to bn_get_data is too small");
    EXPECT_EQ(count, 99u);
    // The check counts whole words, not significant bytes.
    auto small = bn_from_bytes({1, 0, 0, 0, 0});
    uint8_t two[4];
    EXPECT_TRUE(bn_get_data(*small, two, sizeof two, count));
}

TEST_F(bignum_test, GetDataDropsLeadingZeroBytes) {
    auto n = bn_from_bytes({0, 0, 0x01, 0x02, 0x03});
    uint8_t buf[8];
    size_t count = 0;
    ASSERT_FALSE(bn_get_data(*n, buf, sizeof buf, count));
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(buf[2], 3);
    ASSERT_FALSE(bn_get_data(*bn_new(0, 1), buf, sizeof buf, count));
    EXPECT_EQ(count, 0u);
}

// Hands out a fixed byte script and records how much was asked for.
struct scripted_random {
    std::vector<uint8_t> script;
    std::vector<size_t> asked;
    size_t pos = 0;
    random_source source() {
        return [this](void* buf, size_t n) {
            asked.push_back(n);
            auto p = static_cast<uint8_t*>(buf);
            for (size_t i = 0; i < n; ++i) p[i] = pos < script.size() ? script[pos++] : 0;
        };
    }
};

TEST_F(bignum_test, PoorRandomFillsWordsLittleEndianAndCutsTopWord) {
    scripted_random r;
    r.script = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    auto n = bn_poor_random(5, r.source());
    ASSERT_TRUE(n);
    EXPECT_EQ(r.asked, std::vector<size_t>{8});
    ASSERT_EQ(n->used, 2u);
    EXPECT_EQ(n->digits[0], 0x44332211u);
    EXPECT_EQ(n->digits[1], 0x55u);
}

TEST_F(bignum_test, PoorRandomNormalisesZeroTopWords) {
    scripted_random r;
    r.script = {1, 0, 0, 0, 0, 0, 0, 0};
    auto n = bn_poor_random(8, r.source());
    ASSERT_TRUE(n);
    EXPECT_EQ(n->used, 1u);
    EXPECT_EQ(bn_poor_random(0, r.source())->used, 0u);
}

TEST_F(bignum_test, PoorRandomStaysWithinLength) {
    for (size_t len : {1u, 3u, 4u, 16u, 17u}) {
        for (int i = 0; i < 20; ++i) {
            auto n = bn_poor_random(len);
            ASSERT_TRUE(n);
            EXPECT_LE(bn_bit_length(*n), 8 * len);
        }
    }
}

}  // namespace
}  // namespace zp
