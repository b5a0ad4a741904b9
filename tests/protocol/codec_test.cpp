// codec_test.cpp - octet-exact tests of the tagged value readers and writers.
#include "protocol/codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "protocol/memory_stream.h"

namespace zp {
namespace {

using bytes = std::vector<uint8_t>;

bytes str_bytes(const std::string& s) { return bytes(s.begin(), s.end()); }

bytes cat(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

template <class F>
bytes written(F f) {
    memory_stream s;
    err e = f(s);
    EXPECT_FALSE(e) << e.message();
    return s.output;
}

TEST(CodecIntegers, WrittenWithFewestOctets) {
    auto w = [](int32_t v) {
        return written([&](memory_stream& s) { return write_signed_int(s, INT32_MIN, INT32_MAX, v); });
    };
    EXPECT_EQ(w(0), (bytes{0x02, 0x00}));
    EXPECT_EQ(w(127), (bytes{0x02, 0x01, 0x7F}));
    EXPECT_EQ(w(128), (bytes{0x02, 0x02, 0x00, 0x80}));
    EXPECT_EQ(w(-1), (bytes{0x02, 0x01, 0xFF}));
    EXPECT_EQ(w(-129), (bytes{0x02, 0x02, 0xFF, 0x7F}));
    EXPECT_EQ(w(-8388609), (bytes{0x02, 0x04, 0xFF, 0x7F, 0xFF, 0xFF}));
    EXPECT_EQ(w(INT32_MIN), (bytes{0x02, 0x04, 0x80, 0x00, 0x00, 0x00}));
}

TEST(CodecIntegers, OutOfRangeWritesNothing) {
    memory_stream s;
    err e = write_signed_int(s, 0, 10, 11);
    EXPECT_EQ(e.message(), "data out of range in write_signed_int");
    EXPECT_TRUE(s.output.empty());
}

TEST(CodecIntegers, ReadAcceptsEmptyContentsAsZeroAndSignExtends) {
    int32_t v = 5;
    memory_stream a(bytes{0x02, 0x00});
    ASSERT_FALSE(read_signed_int(a, INT32_MIN, INT32_MAX, v));
    EXPECT_EQ(v, 0);
    memory_stream b(bytes{0x02, 0x02, 0xFF, 0x7F});
    ASSERT_FALSE(read_signed_int(b, INT32_MIN, INT32_MAX, v));
    EXPECT_EQ(v, -129);
    memory_stream c(bytes{0x02, 0x04, 0x80, 0x00, 0x00, 0x00});
    ASSERT_FALSE(read_signed_int(c, INT32_MIN, INT32_MAX, v));
    EXPECT_EQ(v, INT32_MIN);
}

TEST(CodecIntegers, FiveOctetsRefusedEvenWhenValueFits) {
    int32_t v = 7;
    memory_stream s(bytes{0x02, 0x05, 0x00, 0x00, 0x00, 0x00, 0x01});
    EXPECT_EQ(read_signed_int(s, INT32_MIN, INT32_MAX, v).message(),
              "data out of range in read_signed_int");
    EXPECT_EQ(v, 7);
}

TEST(CodecIntegers, RangeIndefiniteAndWrongTagRefused) {
    int32_t v = 7;
    memory_stream a(bytes{0x02, 0x02, 0x01, 0x00});
    EXPECT_EQ(read_signed_int(a, 0, 255, v).message(), "data out of range in read_signed_int");
    memory_stream b(bytes{0x02, 0x80});
    EXPECT_EQ(read_signed_int(b, INT32_MIN, INT32_MAX, v).message(),
              "data out of range in read_signed_int");
    memory_stream c(bytes{0x04, 0x00});
    EXPECT_EQ(read_signed_int(c, INT32_MIN, INT32_MAX, v).message(), "Wrong tag, expected BE_INTEGER");
    EXPECT_EQ(v, 7);
}

TEST(CodecIntegers, GivenTagIsUsedInsteadOfReading) {
    int32_t v = 0;
    memory_stream s(bytes{0x01, 0x2A});
    ASSERT_FALSE(read_signed_int(s, 0, 100, v, BE_INTEGER));
    EXPECT_EQ(v, 42);
}

TEST(CodecEnumerated, LeadingZeroWhenTopBitSet) {
    auto w = [](uint32_t v) { return written([&](memory_stream& s) { return write_enumerated(s, v); }); };
    EXPECT_EQ(w(0), (bytes{0x0A, 0x00}));
    EXPECT_EQ(w(200), (bytes{0x0A, 0x02, 0x00, 0xC8}));
    EXPECT_EQ(w(128), (bytes{0x0A, 0x02, 0x00, 0x80}));
    EXPECT_EQ(w(0x7F), (bytes{0x0A, 0x01, 0x7F}));
    EXPECT_EQ(w(0x80000000u), (bytes{0x0A, 0x05, 0x00, 0x80, 0x00, 0x00, 0x00}));
}

TEST(CodecEnumerated, NegativeLookingAndOverlongRefused) {
    uint32_t v = 9;
    memory_stream a(bytes{0x0A, 0x01, 0xC8});
    EXPECT_EQ(read_enumerated(a, v, BE_ENUMERATED).message(), "data out of range in read_enumerated");
    memory_stream b(bytes{0x0A, 0x05, 0x01, 0x00, 0x00, 0x00, 0x00});
    EXPECT_EQ(read_enumerated(b, v, BE_ENUMERATED).message(), "data out of range in read_enumerated");
    memory_stream c(bytes{0x0A, 0x06, 0, 0, 0, 0, 0, 1});
    EXPECT_EQ(read_enumerated(c, v, BE_ENUMERATED).message(), "data out of range in read_enumerated");
    memory_stream d(bytes{0x02, 0x00});
    EXPECT_EQ(read_enumerated(d, v, BE_ENUMERATED).message(), "Wrong tag, expected another type");
    EXPECT_EQ(v, 9u);
    memory_stream e(bytes{0x0A, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFF});
    ASSERT_FALSE(read_enumerated(e, v, BE_ENUMERATED));
    EXPECT_EQ(v, 0xFFFFFFFFu);
    memory_stream f(bytes{0x0A, 0x02, 0x00, 0xC8});
    ASSERT_FALSE(read_enumerated(f, v, BE_ENUMERATED));
    EXPECT_EQ(v, 200u);
}

TEST(CodecBool, OneOctetAnyNonZeroIsTrue) {
    EXPECT_EQ(written([](memory_stream& s) { return write_bool(s, true); }), (bytes{0x01, 0x01, 0x01}));
    EXPECT_EQ(written([](memory_stream& s) { return write_bool(s, false); }), (bytes{0x01, 0x01, 0x00}));
    int32_t v = 0;
    memory_stream a(bytes{0x01, 0x01, 0x7E});
    ASSERT_FALSE(read_bool(a, v));
    EXPECT_EQ(v, 1);
    memory_stream b(bytes{0x01, 0x02, 0x00, 0x01});
    EXPECT_EQ(read_bool(b, v).message(), "data out of range in read_bool");
    memory_stream c(bytes{0x01, 0x80});
    EXPECT_EQ(read_bool(c, v).message(), "data out of range in read_bool");
    memory_stream d(bytes{0x02, 0x01, 0x01});
    EXPECT_EQ(read_bool(d, v).message(), "Wrong tag, expected BE_BOOLEAN");
}

TEST(CodecStrings, MaximumLengthIsInclusiveBothWays) {
    std::string ten(10, 'x');
    auto out = written([&](memory_stream& s) { return write_string(s, 10, ten); });
    EXPECT_EQ(out, cat(bytes{0x04, 0x0A}, str_bytes(ten)));
    memory_stream w;
    EXPECT_EQ(write_string(w, 9, ten).message(), "data out of range in write_string");
    EXPECT_TRUE(w.output.empty());

    std::string v = "old";
    memory_stream ok(out);
    ASSERT_FALSE(read_string(ok, 10, v));
    EXPECT_EQ(v, ten);
    v = "old";
    memory_stream too_long(out);
    EXPECT_EQ(read_string(too_long, 9, v).message(), "data out of range in read_string");
    EXPECT_EQ(v, "old");
    // Refused on the length alone: nothing of the contents is read.
    EXPECT_EQ(too_long.pos, 2u);
}

TEST(CodecStrings, NullAndEmptyBothWriteEmptyString) {
    EXPECT_EQ(written([](memory_stream& s) { return write_string(s, 10, static_cast<const char*>(nullptr)); }),
              (bytes{0x04, 0x00}));
    EXPECT_EQ(written([](memory_stream& s) { return write_string(s, 10, ""); }), (bytes{0x04, 0x00}));
    std::string v = "old";
    memory_stream s(bytes{0x04, 0x00});
    ASSERT_FALSE(read_string(s, 10, v));
    EXPECT_EQ(v, "");
}

TEST(CodecStrings, LongFormLengthAndIndefiniteRefused) {
    std::string big(300, 'a');
    auto out = written([&](memory_stream& s) { return write_string(s, 1000, big); });
    EXPECT_EQ(bytes(out.begin(), out.begin() + 4), (bytes{0x04, 0x82, 0x01, 0x2C}));
    EXPECT_EQ(out.size(), 304u);
    std::string v;
    memory_stream s(out);
    ASSERT_FALSE(read_string(s, 1000, v));
    EXPECT_EQ(v, big);
    memory_stream ind(bytes{0x04, 0x80, 0x00, 0x00});
    EXPECT_EQ(read_string(ind, 1000, v).message(), "data out of range in read_string");
    memory_stream wrong(bytes{0x05, 0x00});
    EXPECT_EQ(read_string(wrong, 1000, v).message(), "Wrong tag, expected BE_STRING");
}

TEST(CodecStrings, TruncatedContentsReportStreamError) {
    std::string v = "old";
    memory_stream s(bytes{0x04, 0x05, 'a', 'b'});
    EXPECT_EQ(read_string(s, 10, v).message(), "Peer closed connection unexpectedly");
    EXPECT_EQ(v, "old");
}

TEST(CodecNull, ContentsRefused) {
    EXPECT_EQ(written([](memory_stream& s) { return write_null(s); }), (bytes{0x05, 0x00}));
    memory_stream ok(bytes{0x05, 0x00});
    EXPECT_FALSE(read_null(ok));
    memory_stream a(bytes{0x05, 0x01, 0x00});
    EXPECT_EQ(read_null(a).message(), "Null object contains data of non-zero length");
    memory_stream b(bytes{0x05, 0x80});
    EXPECT_EQ(read_null(b).message(), "Null object contains data of non-zero length");
    memory_stream c(bytes{0x04, 0x00});
    EXPECT_EQ(read_null(c).message(), "Wrong tag, expected BE_NULL");
}

TEST(CodecReal, SpecialFormsWritten) {
    auto w = [](double v) { return written([&](memory_stream& s) { return write_real(s, v); }); };
    EXPECT_EQ(w(0.0), (bytes{0x09, 0x00}));
    EXPECT_EQ(w(-0.0), (bytes{0x09, 0x00}));
    EXPECT_EQ(w(1.5), cat(bytes{0x09, 0x0D, 0x00}, str_bytes("1.500000e+00")));
    EXPECT_EQ(w(std::numeric_limits<double>::infinity()), (bytes{0x09, 0x01, 0x40}));
    EXPECT_EQ(w(-std::numeric_limits<double>::infinity()), (bytes{0x09, 0x01, 0x41}));
    EXPECT_EQ(w(std::nan("")), (bytes{0x09, 0x01, 0x60}));
}

TEST(CodecReal, RoundTripsAndSpecialFormsRead) {
    for (double d : {1.5, -2.25e-10, 6.02e23, -1.0}) {
        memory_stream s;
        ASSERT_FALSE(write_real(s, d));
        memory_stream r(s.output);
        double v = 0;
        ASSERT_FALSE(read_real(r, v));
        EXPECT_DOUBLE_EQ(v, d);
    }
    double v = 1;
    memory_stream zero(bytes{0x09, 0x00});
    ASSERT_FALSE(read_real(zero, v));
    EXPECT_EQ(v, 0.0);
    memory_stream inf(bytes{0x09, 0x01, 0x41});
    ASSERT_FALSE(read_real(inf, v));
    EXPECT_EQ(v, -std::numeric_limits<double>::infinity());
    memory_stream nan(bytes{0x09, 0x01, 0x60});
    ASSERT_FALSE(read_real(nan, v));
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    EXPECT_EQ(bits, 0xFFF8000000000000ULL);
}

TEST(CodecReal, TextMatchesPrintfForAnyDouble) {
    // Random bit patterns, values near rounding ties and decimal boundaries.
    std::mt19937_64 rng(12345);
    std::vector<double> values = {1.5, 0.5, 9999999.5, 9999995.0, 1048576.5, 2.5e-7, 123456.75, 1e22, 1e23,
                                  9.9999995e-5, 5e-324, 1.7976931348623157e308, 0.1, 1e-5, 999999.95};
    for (int i = 0; i < 200000; ++i) {
        uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (std::isfinite(d) && d != 0) values.push_back(d);
        double near = std::ldexp(static_cast<double>(rng() % 100000000), static_cast<int>(rng() % 40) - 20);
        if (near != 0) values.push_back(i % 2 ? near : -near);
        values.push_back(static_cast<double>(rng() % 20000000) / 2.0 + 0.5);
    }
    for (double d : values) {
        memory_stream s;
        ASSERT_FALSE(write_real(s, d));
        char expect[64];
        int n = std::snprintf(expect, sizeof expect, "%e", d);
        ASSERT_EQ(std::string(s.output.begin() + 3, s.output.end()), std::string(expect, static_cast<size_t>(n))) << d;
        ASSERT_EQ(s.output[1], n + 1);
    }
}

TEST(CodecReal, MalformedContentsRefused) {
    double v = 3;
    memory_stream zero_text(bytes{0x09, 0x02, 0x00, 0x30});
    EXPECT_EQ(read_real(zero_text, v).message(), "Zero/non-zero real mismatch");
    memory_stream fmt(bytes{0x09, 0x02, 0x03, 0x31});
    EXPECT_EQ(read_real(fmt, v).message(), "Unsupported real number format revceived");
    bytes sixty{0x09, 0x3C};
    sixty.resize(2 + 60, '1');
    sixty[2] = 0;
    memory_stream too_long(sixty);
    EXPECT_EQ(read_real(too_long, v).message(), "data out of range in read_real");
    bytes fifty_nine{0x09, 0x3B};
    fifty_nine.resize(2 + 59, '1');
    fifty_nine[2] = 0;
    memory_stream longest(fifty_nine);
    EXPECT_FALSE(read_real(longest, v));
    memory_stream wrong(bytes{0x02, 0x00});
    EXPECT_EQ(read_real(wrong, v).message(), "Wrong tag, expected BE_REAL");
}

TEST(CodecTags, HighTagNumberFormBothWays) {
    EXPECT_EQ(written([](memory_stream& s) { return write_tag(s, 267); }), (bytes{0x7F, 0x21}));
    EXPECT_EQ(written([](memory_stream& s) { return write_tag(s, 129); }), (bytes{0x30}));
    EXPECT_EQ(written([](memory_stream& s) { return write_tag(s, 251); }), (bytes{0x7F, 0x1F}));
    // Tag number 200: two groups of seven bits.
    EXPECT_EQ(written([](memory_stream& s) { return write_tag(s, 200 * 8 + 5); }), (bytes{0xBF, 0x81, 0x48}));
    tag_code t = 0;
    memory_stream a(bytes{0x7F, 0x21});
    ASSERT_FALSE(read_tag(a, t));
    EXPECT_EQ(t, 267u);
    memory_stream b(bytes{0xBF, 0x81, 0x48});
    ASSERT_FALSE(read_tag(b, t));
    EXPECT_EQ(t, 200u * 8 + 5);
}

TEST(CodecTags, FillerSkippedBeforeIdentifierOnly) {
    tag_code t = 0;
    memory_stream s(bytes{0x19, 0x19, 0x19, 0x30, 0x19});
    ASSERT_FALSE(read_tag(s, t));
    EXPECT_EQ(t, BE_SEQ);
    uint32_t len = 0;
    bool ind = true;
    ASSERT_FALSE(read_length(s, len, ind));
    EXPECT_EQ(len, 25u);
    EXPECT_FALSE(ind);
}

TEST(CodecTags, OverlongTagNumberRefused) {
    tag_code t = 1;
    memory_stream a(bytes{0x1F, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01});
    EXPECT_EQ(read_tag(a, t).message(), "data out of range in read_tag");
    memory_stream b(bytes{0x1F, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F});
    EXPECT_EQ(read_tag(b, t).message(), "data out of range in read_tag");
    EXPECT_EQ(t, 1u);
}

TEST(CodecLengths, ThreeFormsAndTooManyOctets) {
    auto w = [](uint32_t n) { return written([&](memory_stream& s) { return write_length(s, n); }); };
    EXPECT_EQ(w(127), (bytes{0x7F}));
    EXPECT_EQ(w(128), (bytes{0x81, 0x80}));
    EXPECT_EQ(w(256), (bytes{0x82, 0x01, 0x00}));
    EXPECT_EQ(w(0x1000000), (bytes{0x84, 0x01, 0x00, 0x00, 0x00}));
    uint32_t len = 0;
    bool ind = false;
    memory_stream a(bytes{0x80});
    ASSERT_FALSE(read_length(a, len, ind));
    EXPECT_TRUE(ind);
    memory_stream b(bytes{0x84, 0xFF, 0xFF, 0xFF, 0xFF});
    ASSERT_FALSE(read_length(b, len, ind));
    EXPECT_EQ(len, 0xFFFFFFFFu);
    memory_stream c(bytes{0x85, 0, 0, 0, 0, 1});
    EXPECT_EQ(read_length(c, len, ind).message(), "data out of range in read_length");
}

TEST(CodecSkip, DefiniteSkippedRawIndefiniteWalked) {
    // A constructed value with definite length: its contents are not parsed.
    memory_stream a(bytes{0x30, 0x03, 0xFF, 0xFF, 0xFF, 0x05, 0x00});
    ASSERT_FALSE(skip_value(a));
    EXPECT_EQ(a.pos, 5u);
    // Indefinite: nested values are walked down to the matching end.
    memory_stream b(bytes{0x30, 0x80, 0xA1, 0x80, 0x02, 0x01, 0x05, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x05, 0x00});
    ASSERT_FALSE(skip_value(b));
    EXPECT_EQ(b.pos, 13u);
    // A long definite length is skipped in pieces.
    bytes big{0x04, 0x82, 0x01, 0x00};
    big.resize(4 + 256, 0x55);
    memory_stream c(big);
    ASSERT_FALSE(skip_value(c));
    EXPECT_EQ(c.pos, big.size());
}

TEST(CodecSkip, EndOfListAndBadTerminatorRefused) {
    memory_stream a(bytes{0x00, 0x00});
    EXPECT_EQ(skip_value(a).message(), "skip_value encountered end of list");
    memory_stream b(bytes{0x30, 0x80, 0x00, 0x01, 0x00});
    EXPECT_EQ(skip_value(b).message(), "List not terminated correctly in skip_value");
}

TEST(CodecSkip, DeepNestingRefusedWithoutExhaustingStack) {
    bytes deep;
    for (int i = 0; i < 100000; ++i) {
        deep.push_back(0x30);
        deep.push_back(0x80);
    }
    memory_stream s(deep);
    EXPECT_EQ(skip_value(s).message(), "Values nested too deeply in skip_value");
    bytes ok;
    for (int i = 0; i < max_nesting; ++i) ok.insert(ok.end(), {0x30, 0x80});
    for (int i = 0; i < max_nesting; ++i) ok.insert(ok.end(), {0x00, 0x00});
    memory_stream t(ok);
    EXPECT_FALSE(skip_value(t));
}

TEST(CodecSkip, SkipToEolSkipsUnknownMembersAndChecksTerminator) {
    memory_stream a(bytes{0x02, 0x01, 0x05, 0x30, 0x80, 0x00, 0x00, 0x19, 0x00, 0x00, 0x05, 0x00});
    ASSERT_FALSE(skip_to_eol(a));
    EXPECT_EQ(a.pos, 10u);
    memory_stream b(bytes{0x00, 0x80});
    EXPECT_EQ(skip_to_eol(b).message(), "List not terminated correctly in skip_to_eol");
    memory_stream c(bytes{0x02, 0x01});
    EXPECT_EQ(skip_to_eol(c).message(), "Peer closed connection unexpectedly");
}

TEST(CodecWriters, ConstructedFramingOctets) {
    EXPECT_EQ(written([](memory_stream& s) { return write_list_start(s); }), (bytes{0x30, 0x80}));
    EXPECT_EQ(written([](memory_stream& s) { return write_end_of_contents(s); }), (bytes{0x00, 0x00}));
    EXPECT_EQ(written([](memory_stream& s) { return write_constructed_start(s, 275); }),
              (bytes{0x7F, 0x22, 0x80}));
    EXPECT_EQ(written([](memory_stream& s) { return write_indefinite(s); }), (bytes{0x80}));
}

TEST(CodecWriters, StreamFailureSurfacesUnchanged) {
    memory_stream s;
    s.fail_write_after = 1;
    EXPECT_EQ(write_string(s, 100, "hello").message(), "memory stream write failed");
}

}  // namespace
}  // namespace zp
