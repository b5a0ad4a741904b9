// codec_test.cpp - octet-exact tests of the tagged value readers and writers;
// the octet cases live in testdata/codec_*.txt.
#include "protocol/codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "wire.h"
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
    int64_t a = 0, b = 0, c = 0;
    in >> kind;
    std::getline(in >> std::ws, arg);
    std::istringstream(arg) >> a >> b >> c;
    auto n = static_cast<uint32_t>(a);
    auto i32 = [](int64_t v) { return static_cast<int32_t>(v); };
    err e = kind == "int"          ? write_signed_int(s, i32(a), i32(b), i32(c))
            : kind == "enum"       ? write_enumerated(s, n)
            : kind == "bool"       ? write_bool(s, a != 0)
            : kind == "nullstring" ? write_string(s, 10, static_cast<const char*>(nullptr))
            : kind == "null"       ? write_null(s)
            : kind == "real"       ? write_real(s, std::strtod(arg.c_str(), nullptr))
            : kind == "tag"        ? write_tag(s, n)
            : kind == "length"     ? write_length(s, n)
            : kind == "list"       ? write_list_start(s)
            : kind == "eoc"        ? write_end_of_contents(s)
            : kind == "constructed" ? write_constructed_start(s, n)
            : kind == "indefinite" ? write_indefinite(s)
                                   : err::text("unknown writer");
    if (kind == "string") {
        bytes text = octets_of(arg.substr(arg.find(' ') + 1));
        e = write_string(s, n, std::string(text.begin(), text.end()));
    }
    if (!e) return "";
    EXPECT_TRUE(s.output.empty()) << "a refused value was partly written";
    return "! " + e.message();
}

std::string shown(std::monostate) { return "ok"; }  // a reader without a value of its own
std::string shown(int32_t v) { return std::to_string(v); }
std::string shown(uint32_t v) { return std::to_string(v); }
std::string shown(const std::string& v) {
    return v.size() <= 20 ? "\"" + v + "\"" : std::to_string(v.size()) + " octets";
}
std::string shown(double v) {
    // The C libraries disagree on the sign of a NaN in "%g".
    if (std::isnan(v)) return std::signbit(v) ? "-nan" : "nan";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

// Runs the reader a case names; returns the value read (with "@n" when octets
// were left over) or "! text", after checking that the value kept what it held.
std::string read_one(const std::string& what, memory_stream& s) {
    std::istringstream in(what);
    std::string kind;
    int64_t lo = INT32_MIN, hi = INT32_MAX;
    in >> kind;
    if (in >> lo) in >> hi;
    auto run = [&](auto x, auto read) -> std::string {
        auto before = x;
        if (err e = read(x)) {
            EXPECT_EQ(x, before) << "out-parameter changed on failure";
            return "! " + e.message();
        }
        std::string v = shown(x);
        return s.pos == s.input.size() ? v : v + " @" + std::to_string(s.pos);
    };
    auto i32 = [](int64_t v) { return static_cast<int32_t>(v); };
    if (kind == "int") return run(int32_t{7}, [&](int32_t& x) { return read_signed_int(s, i32(lo), i32(hi), x); });
    if (kind == "enum") return run(uint32_t{7}, [&](uint32_t& x) { return read_enumerated(s, x, BE_ENUMERATED); });
    if (kind == "bool") return run(int32_t{7}, [&](int32_t& x) { return read_bool(s, x); });
    if (kind == "string")
        return run(std::string("old"), [&](std::string& x) { return read_string(s, static_cast<size_t>(lo), x); });
    if (kind == "real") return run(7.0, [&](double& x) { return read_real(s, x); });
    if (kind == "tag") return run(tag_code{7}, [&](tag_code& x) { return read_tag(s, x); });
    if (kind == "null") return run(std::monostate{}, [&](std::monostate&) { return read_null(s); });
    if (kind == "skip") return run(std::monostate{}, [&](std::monostate&) { return skip_value(s); });
    if (kind == "skip_to_eol") return run(std::monostate{}, [&](std::monostate&) { return skip_to_eol(s); });
    bool indefinite = false;
    std::string v = run(uint32_t{7}, [&](uint32_t& x) { return read_length(s, x, indefinite); });
    return indefinite ? "indefinite" : v;
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

}  // namespace
}  // namespace zp
