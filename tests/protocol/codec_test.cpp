// codec_test.cpp - octet-exact tests of the tagged value readers and writers;
// the octet cases live in testdata/codec_*.txt.
#include "protocol/codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cases.h"
#include "protocol/memory_stream.h"

namespace zp {
namespace {

using test::octets_of;
using bytes = std::vector<uint8_t>;

// Runs the writer a case names; returns "! text" when it refuses, after
// checking that it wrote nothing.
std::string write_one(const std::string& what, memory_stream& s) {
    std::istringstream in(what);
    std::string kind, arg;
    in >> kind;
    std::getline(in >> std::ws, arg);
    std::istringstream args(arg);
    int64_t a = 0, b = 0, c = 0;
    err e;
    if (kind == "int") {
        args >> a >> b >> c;
        e = write_signed_int(s, static_cast<int32_t>(a), static_cast<int32_t>(b), static_cast<int32_t>(c));
    } else if (kind == "enum") {
        e = write_enumerated(s, static_cast<uint32_t>(std::stoul(arg)));
    } else if (kind == "bool") {
        e = write_bool(s, arg == "1");
    } else if (kind == "string") {
        args >> a;
        std::getline(args >> std::ws, arg);
        bytes text = octets_of(arg);
        e = write_string(s, static_cast<size_t>(a), std::string(text.begin(), text.end()));
    } else if (kind == "nullstring") {
        e = write_string(s, 10, static_cast<const char*>(nullptr));
    } else if (kind == "null") {
        e = write_null(s);
    } else if (kind == "real") {
        e = write_real(s, std::strtod(arg.c_str(), nullptr));
    } else if (kind == "tag") {
        e = write_tag(s, static_cast<tag_code>(std::stoul(arg)));
    } else if (kind == "length") {
        e = write_length(s, static_cast<uint32_t>(std::stoul(arg)));
    } else if (kind == "list") {
        e = write_list_start(s);
    } else if (kind == "eoc") {
        e = write_end_of_contents(s);
    } else if (kind == "constructed") {
        e = write_constructed_start(s, static_cast<tag_code>(std::stoul(arg)));
    } else if (kind == "indefinite") {
        e = write_indefinite(s);
    } else {
        ADD_FAILURE() << "unknown writer " << kind;
    }
    if (!e) return "";
    EXPECT_TRUE(s.output.empty()) << "a refused value was partly written";
    return "! " + e.message();
}

// Runs the reader a case names; returns the value read (with "@n" when octets
// were left over) or "! text", after checking that the out-parameter kept its
// value.
std::string read_one(const std::string& what, memory_stream& s) {
    std::istringstream in(what);
    std::string kind;
    int64_t a = INT32_MIN, b = INT32_MAX;
    in >> kind;
    if (!(in >> a)) a = INT32_MIN;
    if (!(in >> b)) b = INT32_MAX;
    err e;
    std::string v;
    bool kept = true;
    if (kind == "int") {
        int32_t x = 7;
        e = read_signed_int(s, static_cast<int32_t>(a), static_cast<int32_t>(b), x);
        v = std::to_string(x);
        kept = x == 7;
    } else if (kind == "enum") {
        uint32_t x = 7;
        e = read_enumerated(s, x, BE_ENUMERATED);
        v = std::to_string(x);
        kept = x == 7;
    } else if (kind == "bool") {
        int32_t x = 7;
        e = read_bool(s, x);
        v = std::to_string(x);
        kept = x == 7;
    } else if (kind == "string") {
        std::string x = "old";
        e = read_string(s, static_cast<size_t>(a), x);
        v = x.size() <= 20 ? "\"" + x + "\"" : std::to_string(x.size()) + " octets";
        kept = x == "old";
    } else if (kind == "null") {
        e = read_null(s);
        v = "null";
    } else if (kind == "real") {
        double x = 7;
        e = read_real(s, x);
        char buf[32];
        std::snprintf(buf, sizeof buf, "%g", x);
        v = buf;
        kept = x == 7;
    } else if (kind == "tag") {
        tag_code x = 7;
        e = read_tag(s, x);
        v = std::to_string(x);
        kept = x == 7;
    } else if (kind == "length") {
        uint32_t x = 7;
        bool indefinite = false;
        e = read_length(s, x, indefinite);
        v = indefinite ? "indefinite" : std::to_string(x);
    } else if (kind == "skip") {
        e = skip_value(s);
        v = "skipped";
    } else if (kind == "skip_to_eol") {
        e = skip_to_eol(s);
        v = "skipped";
    } else {
        ADD_FAILURE() << "unknown reader " << kind;
    }
    if (e) {
        EXPECT_TRUE(kept) << "out-parameter changed on failure";
        return "! " + e.message();
    }
    return s.pos == s.input.size() ? v : v + " @" + std::to_string(s.pos);
}

TEST(Codec, WritersSendTheExpectedOctets) {
    for (const auto& c : test::read_cases("codec_writes.txt")) {
        SCOPED_TRACE(c.where);
        memory_stream s;
        std::string refused = write_one(c.field[0], s);
        if (c.field[1][0] == '!') EXPECT_EQ(refused, c.field[1]);
        else EXPECT_EQ(s.output, octets_of(c.field[1])) << refused;
    }
}

TEST(Codec, ReadersAcceptAndRefuseTheExpectedOctets) {
    for (const auto& c : test::read_cases("codec_reads.txt")) {
        SCOPED_TRACE(c.where);
        memory_stream s(octets_of(c.field[1]));
        EXPECT_EQ(read_one(c.field[0], s), c.field[2]);
    }
}

TEST(Codec, HugeStringLengthRefusedBeforeReadingContents) {
    memory_stream s(bytes{0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 'a'});
    std::string v;
    EXPECT_EQ(read_string(s, 10, v).message(), "data out of range in read_string");
    EXPECT_EQ(s.pos, 6u);
}

TEST(Codec, RealTextMatchesPrintfForAnyDouble) {
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
        memory_stream r(s.output);
        double back = 0;
        ASSERT_FALSE(read_real(r, back));
        ASSERT_EQ(back, std::strtod(expect, nullptr)) << d;
    }
}

TEST(Codec, DeepNestingRefusedWithoutExhaustingStack) {
    bytes deep;
    for (int i = 0; i < 100000; ++i) deep.insert(deep.end(), {0x30, 0x80});
    memory_stream s(deep);
    EXPECT_EQ(skip_value(s).message(), "Values nested too deeply in skip_value");
    bytes ok;
    for (int i = 0; i < max_nesting; ++i) ok.insert(ok.end(), {0x30, 0x80});
    for (int i = 0; i < max_nesting; ++i) ok.insert(ok.end(), {0x00, 0x00});
    memory_stream t(ok);
    EXPECT_FALSE(skip_value(t));
}

TEST(Codec, StreamFailureSurfacesUnchanged) {
    memory_stream s;
    s.fail_write_after = 1;
    EXPECT_EQ(write_string(s, 100, "hello").message(), "memory stream write failed");
}

}  // namespace
}  // namespace zp
