// wire.h - builds octet sequences for the protocol tests, the way a server
// (or a broken server) would send them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
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

inline bytes octets(std::initializer_list<uint8_t> v) { return bytes(v); }

}  // namespace zp::test
