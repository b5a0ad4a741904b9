// bignum_test.cpp - the big numbers against libgcrypt's numbers on many random
// operands, the conversions the key exchange relies on, and big numbers on the
// wire: magnitude octets, the 35-word writing limit and the reading cap.
#include <gtest/gtest.h>

#include <random>

#include "mpi_ref.h"
#include "protocol/bignum.h"
#include "protocol/memory_stream.h"

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

    // Decimal digits of big-endian bytes by long division, the slow sure way.
    static std::string decimal(std::vector<uint8_t> b) {
        std::string s;
        while (std::any_of(b.begin(), b.end(), [](uint8_t x) { return x != 0; })) {
            unsigned rest = 0;
            for (auto& x : b) {
                unsigned v = rest * 256 + x;
                x = static_cast<uint8_t>(v / 10);
                rest = v % 10;
            }
            s.insert(s.begin(), static_cast<char>('0' + rest));
        }
        return s.empty() ? "0" : s;
    }

    // bn_mod_exp against gcry_mpi_powm.
    void expect_mod_exp(const std::vector<uint8_t>& bb, const std::vector<uint8_t>& eb,
                        const std::vector<uint8_t>& mb) {
        auto base = mpi_from_bytes(bb), ex = mpi_from_bytes(eb), mod = mpi_from_bytes(mb);
        mpi_ptr want(gcry_mpi_new(0));
        gcry_mpi_powm(want.get(), base.get(), ex.get(), mod.get());
        auto r = bn_mod_exp(*bn_from_bytes(bb), *bn_from_bytes(eb), *bn_from_bytes(mb));
        ASSERT_TRUE(r);
        EXPECT_EQ(bn_bytes(*r), mpi_bytes(want.get()))
            << "modulus bytes " << mb.size() << " base bytes " << bb.size() << " exponent bytes " << eb.size();
    }
};

TEST_F(bignum_test, ConversionsAndComparisonsMatchReference) {
    for (int i = 0; i < 500; ++i) {
        auto ab = random_bytes(i < 150 ? static_cast<size_t>(i) : rng() % 300), bb = random_bytes(rng() % 40);
        if (i % 5 == 0) bb = ab;  // equal operands
        if (i % 7 == 0 && !ab.empty()) {
            bb = ab;
            bb.back() ^= 1;  // differ only in the lowest bit
        }
        auto a = bn_from_bytes(ab), b = bn_from_bytes(bb);
        auto ma = mpi_from_bytes(ab), mb = mpi_from_bytes(bb);
        ASSERT_TRUE(a && b);
        EXPECT_EQ(bn_bytes(*a), mpi_bytes(ma.get())) << "length " << ab.size();
        EXPECT_EQ(bn_to_decimal(*a), decimal(ab)) << "length " << ab.size();
        EXPECT_EQ(bn_bit_length(*a), gcry_mpi_get_nbits(ma.get()));
        ASSERT_TRUE(a->used == 0 || a->digits[a->used - 1] != 0) << "leading zero word kept";
        int c = gcry_mpi_cmp(ma.get(), mb.get());
        EXPECT_EQ(bn_equals(*a, *b), c == 0);
        EXPECT_EQ(bn_less(*a, *b), c < 0);
        EXPECT_EQ(bn_less(*b, *a), c > 0);
    }
    // 10^18 + 5 has a group of nine zeros between its digits.
    EXPECT_EQ(bn_to_decimal(*bn_from_bytes(test::hex_bytes("0DE0B6B3A7640005"))), "1000000000000000005");
    // Zero has no words, whatever its capacity; 2^32 + 1 is not 1.
    EXPECT_TRUE(bn_equals_small(*bn_from_bytes({0, 0, 0}), 0));
    EXPECT_TRUE(bn_equals(*bn_from_bytes({0, 0, 0}), *bn_new(0, 40)));
    EXPECT_FALSE(bn_equals_small(*bn_from_bytes({1, 0, 0, 0, 1}), 1));
}

TEST_F(bignum_test, ModExpMatchesReference) {
    for (int i = 0; i < 600; ++i) {
        auto mb = random_bytes(1 + rng() % 140);
        if (i % 2) mb.back() |= 1;  // mostly odd moduli, the protocol's case
        if (std::all_of(mb.begin(), mb.end(), [](uint8_t b) { return b == 0; })) continue;
        expect_mod_exp(random_bytes(rng() % 150), random_bytes(rng() % 140), mb);
    }
    // Edge operands: 0, 1, 2, modulus - 1, the modulus, and larger than it.
    for (size_t mlen : {1u, 4u, 5u, 96u, 128u, 140u}) {
        for (int odd = 0; odd < 2; ++odd) {
            auto mb = random_bytes(mlen);
            mb[0] |= 0x80;
            mb.back() = static_cast<uint8_t>(odd ? mb.back() | 1 : mb.back() & 0xFE);
            mpi_ptr less(gcry_mpi_new(0));
            gcry_mpi_sub_ui(less.get(), mpi_from_bytes(mb).get(), 1);
            std::vector<std::vector<uint8_t>> values = {{},   {1}, {2}, mpi_bytes(less.get()),
                                                        mb,   random_bytes(mlen + 8)};
            for (const auto& bb : values)
                for (const auto& eb : values) expect_mod_exp(bb, eb, mb);
        }
    }
    EXPECT_FALSE(bn_mod_exp(*bn_new(3, 1), *bn_new(2, 1), *bn_new(0, 1))) << "division by zero";
    EXPECT_TRUE(bn_equals_small(*bn_mod_exp(*bn_new(3, 1), *bn_new(0, 1), *bn_new(1, 1)), 0));
}

TEST_F(bignum_test, SetDataGrowsAndShrinksWithoutStaleWords) {
    auto n = bn_new(5, 0);
    std::vector<uint8_t> bytes(401, 0xAB);
    ASSERT_FALSE(bn_set_data(*n, bytes));
    EXPECT_EQ(bn_bytes(*n), bytes);
    ASSERT_FALSE(bn_set_data(*n, std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(n->used, 1u);
    EXPECT_EQ(n->digits[0], 0x0102u);
    EXPECT_EQ(n->digits[100], 0u);
}

TEST_F(bignum_test, PoorRandomStaysWithinLengthAndIsNormalised) {
    test::scripted_random r;
    r.values = {0x44332211, 0xAABBCC55};
    auto cut = bn_poor_random(5, r.source());  // the top word keeps one byte
    EXPECT_EQ(bn_bytes(*cut), (std::vector<uint8_t>{0x55, 0x44, 0x33, 0x22, 0x11}));
    r.values = {1, 0};
    r.next = 0;
    EXPECT_EQ(bn_poor_random(8, r.source())->used, 1u);
    EXPECT_EQ(bn_poor_random(0, r.source())->used, 0u);
}

using bytes = std::vector<uint8_t>;

bytes written(const bignum& n) {
    memory_stream s;
    EXPECT_FALSE(write_bignum(s, n));
    return s.output;
}

TEST(bignum_codec_test, WrittenAsMagnitudeOfAtMostThirtyFiveWordsAndReadBack) {
    EXPECT_EQ(written(*bn_new(0, 1)), (bytes{0x02, 0x00}));
    EXPECT_EQ(written(*bn_from_bytes({0, 0, 0x81, 2})), (bytes{0x02, 0x02, 0x81, 0x02}));  // no sign, no leading zeros
    for (size_t len : {0u, 1u, 15u, 16u, 128u, 140u}) {
        bytes b(len);
        for (size_t i = 0; i < len; ++i) b[i] = static_cast<uint8_t>(0x80 + i);
        auto n = bn_from_bytes(b);
        memory_stream s(written(*n));
        if (len == 140) {
            EXPECT_EQ(bytes(s.input.begin(), s.input.begin() + 3), (bytes{0x02, 0x81, 140}));
        }
        bignum_ptr got;
        ASSERT_FALSE(read_bignum(s, got));
        EXPECT_TRUE(bn_equals(*got, *n)) << len;
        EXPECT_EQ(s.pos, s.input.size());
    }
    memory_stream s;
    EXPECT_EQ(write_bignum(s, *bn_from_bytes(bytes(141, 0x01))).message(), "Buffer given to bn_get_data is too small");
    EXPECT_TRUE(s.output.empty());
    // The limit counts whole words, not significant bytes.
    uint8_t four[4];
    size_t count = 99;
    EXPECT_TRUE(bn_get_data(*bn_from_bytes({1, 0, 0, 0, 0}), four, sizeof four, count));
    EXPECT_EQ(count, 99u);
}

TEST(bignum_codec_test, ReadAcceptsLeadingZerosUpToTheCapAndKeepsTheOldValueOnRefusal) {
    bytes at_cap{0x02, 0x82, 0x10, 0x00};
    at_cap.resize(at_cap.size() + 4096, 0xFF);
    // A length beyond the cap is refused before anything is allocated or read.
    const std::tuple<bytes, const char*, bytes> cases[] = {
        {{0x02, 0x05, 0x00, 0x00, 0x00, 0x00, 0x07}, "", {7}},
        {at_cap, "", bytes(4096, 0xFF)},
        {{0x02, 0x84, 0x7F, 0xFF, 0xFF, 0xFF}, "data out of range in read_bignum", {5}},
        {{0x02, 0x82, 0x10, 0x01}, "data out of range in read_bignum", {5}},
        {{0x02, 0x80, 0x01, 0x00, 0x00}, "data out of range in read_bignum", {5}},
        {{0x04, 0x01, 0x41}, "Wrong tag, expected BE_INTEGER", {5}},
        {{0x02, 0x04, 0x01, 0x02}, "Peer closed connection unexpectedly", {5}},
    };
    for (const auto& [in, text, value] : cases) {
        SCOPED_TRACE(in.size());
        memory_stream s(in);
        bignum_ptr got = bn_new(5, 1);
        EXPECT_EQ(read_bignum(s, got).message(), text);
        EXPECT_EQ(bn_bytes(*got), value);
    }
    memory_stream given(bytes{0x01, 0x07});
    bignum_ptr got;
    ASSERT_FALSE(read_bignum(given, got, BE_INTEGER));  // the caller read 02 already
    EXPECT_TRUE(bn_equals_small(*got, 7));
}

}  // namespace
}  // namespace zp
