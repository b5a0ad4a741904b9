// bignum_codec_test.cpp - big numbers on the wire: magnitude octets, the
// 35-word writing limit and the reading cap.
#include <gtest/gtest.h>

#include "mpi_ref.h"
#include "protocol/bignum.h"
#include "protocol/memory_stream.h"

namespace zp {
namespace {

using test::bn_from_bytes;
using bytes = std::vector<uint8_t>;

bytes written(const bignum& n) {
    memory_stream s;
    EXPECT_FALSE(write_bignum(s, n));
    return s.output;
}

TEST(bignum_codec_test, MagnitudeWithoutSignOrLeadingZerosReadBack) {
    EXPECT_EQ(written(*bn_new(0, 1)), (bytes{0x02, 0x00}));
    EXPECT_EQ(written(*bn_new(0x80, 1)), (bytes{0x02, 0x01, 0x80}));
    EXPECT_EQ(written(*bn_from_bytes({0, 0, 1, 2})), (bytes{0x02, 0x02, 0x01, 0x02}));
    for (size_t len : {0u, 1u, 15u, 16u, 128u, 140u}) {
        bytes b(len);
        for (size_t i = 0; i < len; ++i) b[i] = static_cast<uint8_t>(0x80 + i);
        auto n = bn_from_bytes(b);
        memory_stream s(written(*n));
        bignum_ptr got;
        ASSERT_FALSE(read_bignum(s, got));
        EXPECT_TRUE(bn_equals(*got, *n)) << len;
        EXPECT_EQ(s.pos, s.input.size());
    }
}

TEST(bignum_codec_test, ThirtyFiveWordsFitThirtySixDoNot) {
    auto w = written(*bn_from_bytes(bytes(140, 0xEE)));
    ASSERT_EQ(w.size(), 3u + 140u);
    EXPECT_EQ(bytes(w.begin(), w.begin() + 3), (bytes{0x02, 0x81, 140}));
    memory_stream s;
    EXPECT_EQ(write_bignum(s, *bn_from_bytes(bytes(141, 0x01))).message(), "Buffer given to bn_get_data is too small");
    EXPECT_TRUE(s.output.empty());
    // The limit counts whole words, not significant bytes.
    uint8_t four[4];
    size_t count = 99;
    EXPECT_TRUE(bn_get_data(*bn_from_bytes({1, 0, 0, 0, 0}), four, sizeof four, count));
    EXPECT_EQ(count, 99u);
}

TEST(bignum_codec_test, LeadingZerosAndGivenTagAccepted) {
    memory_stream s(bytes{0x02, 0x05, 0x00, 0x00, 0x00, 0x00, 0x07});
    bignum_ptr got;
    ASSERT_FALSE(read_bignum(s, got));
    EXPECT_TRUE(bn_equals_small(*got, 7));
    memory_stream given(bytes{0x01, 0x07});
    ASSERT_FALSE(read_bignum(given, got, BE_INTEGER));  // the caller read 02 already
    EXPECT_TRUE(bn_equals_small(*got, 7));
    bytes at_cap{0x02, 0x82, 0x10, 0x00};
    at_cap.resize(at_cap.size() + 4096, 0xFF);
    memory_stream ok(at_cap);
    ASSERT_FALSE(read_bignum(ok, got));
    EXPECT_EQ(got->used, 1024u);
}

TEST(bignum_codec_test, OversizedIndefiniteWrongAndTruncatedRefused) {
    // A length beyond the cap is refused before anything is allocated or read.
    const std::pair<bytes, const char*> cases[] = {
        {{0x02, 0x84, 0x7F, 0xFF, 0xFF, 0xFF}, "data out of range in read_bignum"},
        {{0x02, 0x82, 0x10, 0x01}, "data out of range in read_bignum"},
        {{0x02, 0x80, 0x01, 0x00, 0x00}, "data out of range in read_bignum"},
        {{0x04, 0x01, 0x41}, "Wrong tag, expected BE_INTEGER"},
        {{0x02, 0x04, 0x01, 0x02}, "Peer closed connection unexpectedly"},
    };
    for (const auto& [in, text] : cases) {
        memory_stream s(in);
        bignum_ptr kept = bn_new(5, 1);
        EXPECT_EQ(read_bignum(s, kept).message(), text);
        EXPECT_TRUE(bn_equals_small(*kept, 5)) << text;
    }
}

}  // namespace
}  // namespace zp
