// bignum_codec_test.cpp - big numbers on the wire: magnitude octets, the
// 35-word writing limit and the reading cap.
#include <gtest/gtest.h>

#include "mpi_ref.h"
#include "protocol/bignum.h"
#include "protocol/crypto.h"
#include "protocol/memory_stream.h"

namespace zp {
namespace {

using test::bn_bytes;
using test::bn_from_bytes;
using bytes = std::vector<uint8_t>;

bytes written(const bignum& n) {
    memory_stream s;
    EXPECT_FALSE(write_bignum(s, n));
    return s.output;
}

TEST(bignum_codec_test, MagnitudeWithoutSignOrLeadingZeros) {
    EXPECT_EQ(written(*bn_new(0, 1)), (bytes{0x02, 0x00}));
    EXPECT_EQ(written(*bn_new(0x80, 1)), (bytes{0x02, 0x01, 0x80}));
    EXPECT_EQ(written(*bn_from_bytes({0, 0, 1, 2})), (bytes{0x02, 0x02, 0x01, 0x02}));
}

TEST(bignum_codec_test, ThirtyFiveWordsFitThirtySixDoNot) {
    auto n35 = bn_from_bytes(bytes(140, 0xEE));
    auto w = written(*n35);
    ASSERT_EQ(w.size(), 3u + 140u);
    EXPECT_EQ(w[0], 0x02);
    EXPECT_EQ(w[1], 0x81);
    EXPECT_EQ(w[2], 140);

    auto n36 = bn_from_bytes(bytes(141, 0x01));
    memory_stream s;
    EXPECT_EQ(write_bignum(s, *n36).message(), "Buffer given to bn_get_data is too small");
    EXPECT_TRUE(s.output.empty());
}

TEST(bignum_codec_test, ReadsWhatWasWritten) {
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

TEST(bignum_codec_test, ResponseWithLeadingZeroDigestByteSurvivesTheWire) {
    bignum_ptr r, got;
    ASSERT_FALSE(challenge_response("0123456789abcdef0123456789abcdef", *bn_new(234, 1), r));
    auto w = written(*r);
    EXPECT_EQ(w[1], 15);  // a 15-byte INTEGER
    memory_stream s(w);
    ASSERT_FALSE(read_bignum(s, got));
    EXPECT_TRUE(bn_equals(*got, *r));
}

TEST(bignum_codec_test, LeadingZeroContentOctetsAreAccepted) {
    memory_stream s(bytes{0x02, 0x05, 0x00, 0x00, 0x00, 0x00, 0x07});
    bignum_ptr got;
    ASSERT_FALSE(read_bignum(s, got));
    EXPECT_TRUE(bn_equals_small(*got, 7));
    EXPECT_GE(got->capacity(), 16u);
}

TEST(bignum_codec_test, OversizedOrIndefiniteContentsAreRefused) {
    bytes at_cap{0x02, 0x82, 0x10, 0x00};
    at_cap.resize(at_cap.size() + 4096, 0xFF);
    memory_stream ok(at_cap);
    bignum_ptr got;
    ASSERT_FALSE(read_bignum(ok, got));
    EXPECT_EQ(got->used, 1024u);

    // A length announced beyond the cap is refused before anything is allocated
    // or read, whatever follows.
    memory_stream big(bytes{0x02, 0x84, 0x7F, 0xFF, 0xFF, 0xFF});
    bignum_ptr kept = bn_new(5, 1);
    EXPECT_EQ(read_bignum(big, kept).message(), "data out of range in read_bignum");
    EXPECT_TRUE(bn_equals_small(*kept, 5));
    memory_stream over(bytes{0x02, 0x82, 0x10, 0x01});
    EXPECT_EQ(read_bignum(over, kept).message(), "data out of range in read_bignum");

    memory_stream indef(bytes{0x02, 0x80, 0x01, 0x00, 0x00});
    EXPECT_EQ(read_bignum(indef, kept).message(), "data out of range in read_bignum");
}

TEST(bignum_codec_test, WrongTagAndTruncatedContents) {
    bignum_ptr got;
    memory_stream str(bytes{0x04, 0x01, 0x41});
    EXPECT_EQ(read_bignum(str, got).message(), "Wrong tag, expected BE_INTEGER");
    memory_stream given(bytes{0x01, 0x07});
    ASSERT_FALSE(read_bignum(given, got, BE_INTEGER));  // the caller read 02 already
    EXPECT_TRUE(bn_equals_small(*got, 7));
    memory_stream cut(bytes{0x02, 0x04, 0x01, 0x02});
    bignum_ptr none;
    EXPECT_EQ(read_bignum(cut, none).message(), "Peer closed connection unexpectedly");
    EXPECT_FALSE(none);
}

}  // namespace
}  // namespace zp
