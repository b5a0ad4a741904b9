// Tests of the output parser and the result builder: matching per type, the
// 256-byte buffer, negative numbers, every result text and the diff rates with
// the 32-bit wrap.
#include <gtest/gtest.h>

#include <cstring>

#include "core/clock.h"
#include "core/log.h"
#include "custom/custom.h"
#include "logcheck/pattern.h"

namespace zp {
namespace {

int64_t sim_now = 1'000'000;
int64_t sim_clock() { return sim_now; }

custom_check make_check(int32_t type, const char* pattern = nullptr) {
    std::string text = "[c]\ncommand=x\ntype=";
    const char* names[] = {"boolean", "integer", "real", "diff_integer", "diff_real"};
    text += names[type];
    if (pattern) text += std::string("\nresult_pattern=") + pattern;
    custom_check_list list;
    EXPECT_TRUE(parse_custom_checks(text + "\n", list).ok());
    return std::move(list.at(0));
}

// Feeds `out` through the parser in chunks of `chunk` bytes, as the reader
// thread would, then a final line feed as the runner does at the end.
err feed(const custom_check& c, const std::string& out, output_values& v, size_t chunk = 256) {
    output_buffer buf;
    for (size_t pos = 0; pos < out.size();) {
        size_t n = std::min({chunk, out.size() - pos, custom_output_size - buf.fill});
        std::memcpy(buf.data + buf.fill, out.data() + pos, n);
        buf.fill += n;
        pos += n;
        if (auto e = process_output(c, buf, v)) return e;
    }
    if (buf.fill > 0) {
        buf.data[buf.fill++] = '\n';
        return process_output(c, buf, v);
    }
    return {};
}

class CustomOutput : public ::testing::Test {
protected:
    void SetUp() override {
        set_log_level(4);
        sim_now = 1'000'000;
        set_clock(sim_clock);
    }
    void TearDown() override { set_clock(nullptr); }
};

TEST_F(CustomOutput, ParsedAndBuiltPerType) {
    struct out_case {
        int32_t type;
        const char* pattern;
        const char* output;
        int exit_code;
        const char* error;  // "" success; "<none>" no result
        int32_t ivalue = 0;
        double dvalue = 0;
        const char* text = nullptr;
    } cases[] = {
        {custom_integer, nullptr, "Result: 41\n", 0, "", 41},
        {custom_integer, nullptr, "noise\r\nResult:42\r\nResult: 43\n", 0, "", 42},
        {custom_integer, nullptr, "Result: 44", 0, "", 44},  // no final line feed
        {custom_integer, nullptr, "Result: -5\n", 0, "Custom check returned no value"},
        {custom_integer, "^T=(-?[0-9]+)", "T=-5\n", 0,
         "c: Error parsing result \"-5\": Negative numbers are not supported"},
        {custom_integer, "^T=( *-?[0-9]+)", "T=  -5\n", 0,
         "c: Error parsing result \"  -5\": Negative numbers are not supported"},
        {custom_integer, nullptr, "Result: 2147483647\n", 0, "", 2147483647},
        {custom_integer, nullptr, "Result: 2147483648\n", 0,
         "Number too large to fit in an integer check result. Use type=real instead."},
        {custom_integer, nullptr, "Result: 99999999999999999999999\n", 0,
         "Number too large to fit in an integer check result. Use type=real instead."},
        {custom_integer, nullptr, "Result: 1\n", 2, "Failed with exit code 2"},
        {custom_integer, "^(a)|b", "b\n", 0, "Custom check returned no value"},
        {custom_real, nullptr, "Result: 5\n", 0, "Custom check returned no value"},
        {custom_real, nullptr, "Result: 5.25\n", 0, "", 0, 5.25},
        {custom_boolean, nullptr, "anything\n", 0, "", 1, 0, "Success"},
        {custom_boolean, nullptr, "", 3, "", 0, 0, "Failed"},
        {custom_boolean, "^state: (.*)", "state: up\nstate: down\n", 0, "", 1, 0, "Success (up)"},
        {custom_boolean, "^state: (.*)", "x\nstate: bad\n", 1, "", 0, 0, "Failed (bad)"},
    };
    for (const auto& c : cases) {
        custom_check def = make_check(c.type, c.pattern);
        output_values v;
        err e = feed(def, c.output, v, 5);
        if (!e) {
            auto res = alloc_resnode();
            e = make_custom_result(*res, def, v, c.exit_code);
            if (!e) {
                EXPECT_EQ(res->ivalue, c.ivalue) << c.output;
                EXPECT_DOUBLE_EQ(res->dvalue, c.dvalue) << c.output;
                if (c.text) {
                    EXPECT_EQ(res->text().value_or("<none>"), c.text) << c.output;
                }
            }
        }
        EXPECT_EQ(e.is_no_result() ? "<none>" : e.message(), c.error) << c.output;
    }
}

TEST_F(CustomOutput, NoValueRules) {
    custom_check def = make_check(custom_integer);
    def.no_value_exitcode = 4;
    auto res = alloc_resnode();
    output_values none;
    EXPECT_TRUE(make_custom_result(*res, def, none, 4).is_no_result());
    EXPECT_EQ(make_custom_result(*res, def, none, 0).message(), "Custom check returned no value");
    def.no_value_if_no_match = 1;
    EXPECT_TRUE(make_custom_result(*res, def, none, 0).is_no_result());
    def.type = 9;
    none.matched = true;
    EXPECT_EQ(make_custom_result(*res, def, none, 0).message(), "Uninitialized custom check type");
}

TEST_F(CustomOutput, LinesLongerThanTheBufferNeverMatch) {
    custom_check def = make_check(custom_integer);
    output_values v;
    // 300 bytes without a line feed: the first 256 are logged and dropped, the
    // tail "Result: 7" then does not start a line of its own.
    std::string out = std::string(291, 'x') + "Result: 7\nResult: 8\n";
    ASSERT_TRUE(feed(def, out, v, 64).ok());
    EXPECT_TRUE(v.matched);
    EXPECT_EQ(v.ivalue, 8u);
}

TEST_F(CustomOutput, DiffRatesAndThirtyTwoBitWrap) {
    struct reading {
        double value;
        int64_t after;  // seconds since the previous reading
        const char* error;
        double dvalue;
    };
    struct diff_case {
        int32_t type;
        std::vector<reading> readings;
    } cases[] = {
        {custom_diff_integer,
         {{4294967000u, 0, "Value available after one more reading", -1.0},
          {200, 10, "", 49.6},
          {1200, 20, "", 50.0}}},
        // Back by more than a 32-bit wrap: the counter started over.
        {custom_diff_integer,
         {{1099511627776.0, 0, "Value available after one more reading", -1.0},
          {5, 10, "Value available after one more reading", -1.0},
          {105, 10, "", 10.0}}},
        {custom_diff_real, {{10.0, 0, "Value available after one more reading", -1.0}, {5.0, 5, "", -1.0}}},
    };
    for (const auto& c : cases) {
        custom_check def = make_check(c.type);
        for (const auto& r : c.readings) {
            sim_now += r.after;
            output_values v;
            v.matched = true;
            v.ivalue = static_cast<uint64_t>(r.value);
            v.dvalue = r.value;
            auto res = alloc_resnode();
            err e = make_custom_result(*res, def, v, 0);
            EXPECT_EQ(e.message(), r.error) << r.value;
            EXPECT_DOUBLE_EQ(res->dvalue, r.dvalue) << r.value;
        }
    }
}

}  // namespace
}  // namespace zp
