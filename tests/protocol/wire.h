// wire.h - builds octet sequences for the protocol tests, the way a server
// (or a broken server) would send them, and reads the octet-level cases under
// tests/protocol/testdata: one case a line, fields split by " | ", blank lines
// and lines starting with '#' skipped.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "protocol/codec.h"
#include "protocol/memory_stream.h"

namespace zp::test {

using bytes = std::vector<uint8_t>;

struct wire {
    memory_stream out;

    wire& start(tag_code t) { return ok(write_constructed_start(out, t)); }
    wire& list() { return ok(write_list_start(out)); }
    wire& end() { return ok(write_end_of_contents(out)); }
    wire& i(int32_t v) { return ok(write_signed_int(out, INT32_MIN, INT32_MAX, v)); }
    wire& str(const std::string& v) { return ok(write_string(out, SIZE_MAX, v)); }
    wire& b(bool v) { return ok(write_bool(out, v)); }
    wire& en(uint32_t v) { return ok(write_enumerated(out, v)); }
    wire& nul() { return ok(write_null(out)); }
    wire& real(double v) { return ok(write_real(out, v)); }
    wire& raw(std::initializer_list<uint8_t> v) {
        out.output.insert(out.output.end(), v.begin(), v.end());
        return *this;
    }
    wire& add(const wire& other) {
        out.output.insert(out.output.end(), other.out.output.begin(), other.out.output.end());
        return *this;
    }
    bytes get() const { return out.output; }
    memory_stream stream() const { return memory_stream(out.output); }

private:
    wire& ok(const err& e) {
        EXPECT_FALSE(e) << e.message();
        return *this;
    }
};

struct case_line {
    std::string where;  // file:line, for SCOPED_TRACE
    std::vector<std::string> field;
};

inline std::vector<case_line> read_cases(const std::string& name) {
    std::ifstream f(std::string(ZP_SOURCE_DIR) + "/tests/protocol/testdata/" + name);
    EXPECT_TRUE(f) << name;
    std::vector<case_line> out;
    std::string line;
    for (int n = 1; std::getline(f, line); ++n) {
        if (line.empty() || line[0] == '#') continue;
        case_line c{name + ":" + std::to_string(n), {}};
        for (size_t at = 0;;) {
            size_t bar = line.find(" | ", at);
            c.field.push_back(line.substr(at, bar == std::string::npos ? bar : bar - at));
            if (bar == std::string::npos) break;
            at = bar + 3;
        }
        out.push_back(std::move(c));
    }
    EXPECT_FALSE(out.empty()) << name;
    return out;
}

// Octets written as hex pairs ("7F 23"), quoted text ("host-1", no quote
// inside) and repetitions ("55*256").
inline std::vector<uint8_t> octets_of(const std::string& text) {
    std::vector<uint8_t> out;
    size_t at = 0;
    while (at < text.size()) {
        if (text[at] == ' ') {
            ++at;
        } else if (text[at] == '"') {
            size_t end = text.find('"', at + 1);
            out.insert(out.end(), text.begin() + static_cast<long>(at) + 1, text.begin() + static_cast<long>(end));
            at = end + 1;
        } else {
            auto octet = static_cast<uint8_t>(std::stoul(text.substr(at, 2), nullptr, 16));
            size_t count = 1;
            at += 2;
            if (at < text.size() && text[at] == '*') {
                size_t used = 0;
                count = std::stoul(text.substr(at + 1), &used);
                at += 1 + used;
            }
            out.insert(out.end(), count, octet);
        }
    }
    return out;
}

}  // namespace zp::test
