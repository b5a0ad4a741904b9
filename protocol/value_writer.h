// value_writer.h - encodes tagged values into a buffer that goes to the stream
// in large writes, so that a run of records (the results of a check-in) costs
// a few stream writes instead of one per value. The octets are exactly those
// of the write_* primitives of codec.h, which are built on it.
//
// Range failures are returned at once and write nothing. Stream failures are
// kept: the first one stops all later output and is returned by finish().
// Nothing reaches the stream before the buffer fills or finish() is called,
// so call finish() before flushing the stream. One thread, like its stream.
//
// Hot paths reserve room once and encode several values through a local
// cursor with the put_* functions below (a cursor in a register is not
// reloaded after every octet stored, as a member would be).
#pragma once

#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "protocol/codec.h"

#if defined(__GNUC__)
#define ZP_HOT_INLINE inline __attribute__((always_inline))
#else
#define ZP_HOT_INLINE inline
#endif

namespace zp::put {

// Room each put needs at the cursor (it may store up to this many octets
// before it advances the cursor by the octets that count).
inline constexpr size_t int_room = 8;
inline constexpr size_t enum_room = 8;
inline constexpr size_t real_room = 2 + 1 + 58;
inline constexpr size_t tag_room = 6;
inline constexpr size_t length_room = 5;
// A string of n octets: identifier, length, contents.
constexpr size_t string_room(size_t n) { return 1 + length_room + (n < 16 ? 16 : n); }

// The octets of a big-endian 64-bit number in memory order, as a number whose
// little-endian store writes them.
ZP_HOT_INLINE uint64_t big_endian_prefix(uint64_t v) {
    if constexpr (std::endian::native == std::endian::little) return __builtin_bswap64(v);
    return v;
}

// Stores 8 octets (the low n of `w` in memory order count).
ZP_HOT_INLINE uint8_t* word(uint8_t* p, uint64_t w, size_t n) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &w, 8);
    } else {
        for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(w >> (8 * i));
    }
    return p + n;
}

// Copies n octets; short runs without a call. Needs 16 octets of room when
// n < 16.
ZP_HOT_INLINE uint8_t* bytes(uint8_t* d, const void* src, size_t n) {
    auto s = static_cast<const uint8_t*>(src);
    if (n > 32) {
        std::memcpy(d, s, n);
    } else if (n >= 16) {
        std::memcpy(d, s, 16);
        std::memcpy(d + n - 16, s + n - 16, 16);
    } else if (n >= 8) {
        std::memcpy(d, s, 8);
        std::memcpy(d + n - 8, s + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(d, s, 4);
        std::memcpy(d + n - 4, s + n - 4, 4);
    } else if (n) {
        d[0] = s[0];
        d[n / 2] = s[n / 2];
        d[n - 1] = s[n - 1];
    }
    return d + n;
}

ZP_HOT_INLINE uint8_t* octets2(uint8_t* p, uint8_t a, uint8_t b) {
    p[0] = a;
    p[1] = b;
    return p + 2;
}
ZP_HOT_INLINE uint8_t* list_start(uint8_t* p) { return octets2(p, 0x30, 0x80); }
ZP_HOT_INLINE uint8_t* end_of_contents(uint8_t* p) { return octets2(p, 0x00, 0x00); }
ZP_HOT_INLINE uint8_t* null(uint8_t* p) { return octets2(p, 0x05, 0x00); }
ZP_HOT_INLINE uint8_t* boolean(uint8_t* p, bool v) {
    p[0] = 0x01;
    p[1] = 0x01;
    p[2] = v ? 1 : 0;
    return p + 3;
}

inline uint8_t* tag(uint8_t* p, tag_code t) {
    if (t < 248) {
        *p = static_cast<uint8_t>((t >> 3) | (t << 5));
        return p + 1;
    }
    *p++ = static_cast<uint8_t>((t << 5) | 0x1F);
    uint32_t number = t >> 3;
    uint8_t groups[5];
    size_t n = 0;
    do {
        groups[n++] = static_cast<uint8_t>(number & 0x7F);
        number >>= 7;
    } while (number);
    while (n) {
        --n;
        *p++ = static_cast<uint8_t>(groups[n] | (n ? 0x80 : 0));
    }
    return p;
}

ZP_HOT_INLINE uint8_t* length(uint8_t* p, uint32_t len) {
    if (len < 128) {
        *p = static_cast<uint8_t>(len);
        return p + 1;
    }
    uint8_t n = len > 0xFFFFFF ? 4 : len > 0xFFFF ? 3 : len > 0xFF ? 2 : 1;
    *p++ = static_cast<uint8_t>(0x80 | n);
    for (uint8_t i = 0; i < n; ++i) *p++ = static_cast<uint8_t>(len >> (8 * (n - 1 - i)));
    return p;
}

// A value already checked against its range: minimal two's complement.
ZP_HOT_INLINE uint8_t* signed_int(uint8_t* p, int32_t value) {
    uint32_t n = value < -8388608 || value > 8388607 ? 4
                 : value < -32768 || value > 32767   ? 3
                 : value < -128 || value > 127       ? 2
                 : value != 0                        ? 1
                                                     : 0;
    auto u = static_cast<uint64_t>(static_cast<uint32_t>(value));
    uint64_t contents = n ? big_endian_prefix(u << (8 * (8 - n))) : 0;
    return word(p, 0x02 | (uint64_t{n} << 8) | (contents << 16), 2 + n);
}

// Unsigned, with a leading 0x00 when the first octet would have its top bit set.
ZP_HOT_INLINE uint8_t* enumerated(uint8_t* p, uint32_t value, tag_code t = BE_ENUMERATED) {
    uint32_t n = value > 0xFFFFFF ? 4 : value > 0xFFFF ? 3 : value > 0xFF ? 2 : value ? 1 : 0;
    uint32_t len = n && (value >> (8 * (n - 1))) >= 0x80 ? n + 1 : n;
    uint64_t contents = len ? big_endian_prefix(uint64_t{value} << (8 * (8 - len))) : 0;
    if (t != BE_ENUMERATED) {
        p = tag(p, t);
        return word(p, len | (contents << 8), 1 + len);
    }
    return word(p, 0x0A | (uint64_t{len} << 8) | (contents << 16), 2 + len);
}

// A string already checked against its maximum.
ZP_HOT_INLINE uint8_t* string(uint8_t* p, std::string_view v) {
    *p++ = 0x04;
    p = length(p, static_cast<uint32_t>(v.size()));
    return bytes(p, v.data(), v.size());
}

// True when a (its bits given) times 10^k, 0 <= k <= 22, is a double without
// rounding: the significant bits of a and of 5^k fit the 53 of a double.
inline bool exact_product(uint64_t bits, int k) {
    static constexpr uint8_t five_bits[23] = {0,  3,  5,  7,  10, 12, 14, 17, 19, 21, 24, 26,
                                              28, 31, 33, 35, 38, 40, 42, 45, 47, 49, 52};
    if (k < 0) return false;
    uint64_t mantissa = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
    int significant = 53 - __builtin_ctzll(mantissa);
    return significant + five_bits[k] <= 53;
}

// The text printf's "%e" gives for a finite non-zero value (C locale): one
// digit, a point, six digits, "e", a sign and at least two exponent digits.
// Values whose seventh significant digit is plainly decided by scaling with
// an exact power of ten are formatted here; the rest (ties, far exponents) go
// through the exact conversion of the library.
inline char* format_e6(char* out, double value) {
    static constexpr double exact_powers[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    double a = value < 0 ? -value : value;
    uint64_t bits;
    std::memcpy(&bits, &a, sizeof bits);
    // Decimal exponent estimate from the binary one (off by at most one);
    // subnormal numbers land far outside the exact powers and go below.
    int e2 = static_cast<int>((bits >> 52) & 0x7FF) - 1023;
    int e10 = (e2 * 1233) >> 12;
    int k = 6 - e10;  // scaled = a * 10^k should land in [1e6, 1e7)
    for (int tries = 0; tries < 3; ++tries) {
        if (k < -22 || k > 22) break;
        double scaled = k >= 0 ? a * exact_powers[k] : a / exact_powers[-k];
        if (scaled >= 1e7) {
            --k;
            continue;
        }
        if (scaled < 1e6) {
            ++k;
            continue;
        }
        auto truncated = static_cast<uint32_t>(scaled);  // below 1e7: exact
        double frac = scaled - static_cast<double>(truncated);
        // scaled is within half a unit in its last place (below 1e-9) of the
        // exact product: only a fraction near one half is undecided, unless
        // the product is exact, when one half is a tie that goes to even.
        uint32_t digits = truncated + (frac > 0.5 ? 1 : 0);
        if (frac > 0.5 - 1e-8 && frac < 0.5 + 1e-8) {
            if (frac != 0.5 || !exact_product(bits, k)) break;
            digits = truncated + (truncated & 1);
        }
        int exponent = 6 - k;
        if (digits == 10000000) {
            digits = 1000000;
            ++exponent;
        }
        char* p = out;
        if (value < 0) *p++ = '-';
        static constexpr char pairs[] =
            "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
            "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
            "8081828384858687888990919293949596979899";
        uint32_t lead = digits / 1000000, rest = digits % 1000000;
        *p++ = static_cast<char>('0' + lead);
        *p++ = '.';
        std::memcpy(p, pairs + 2 * (rest / 10000), 2);
        std::memcpy(p + 2, pairs + 2 * (rest / 100 % 100), 2);
        std::memcpy(p + 4, pairs + 2 * (rest % 100), 2);
        p += 6;
        *p++ = 'e';
        *p++ = exponent < 0 ? '-' : '+';
        int ex = exponent < 0 ? -exponent : exponent;
        if (ex >= 100) *p++ = static_cast<char>('0' + ex / 100);
        *p++ = static_cast<char>('0' + ex / 10 % 10);
        *p++ = static_cast<char>('0' + ex % 10);
        return p;
    }
    return std::to_chars(out, out + 58, value, std::chars_format::scientific, 6).ptr;
}

// Finite non-zero values as 0x00 and their "%e" text; never more than 58
// characters for a double.
inline uint8_t* real(uint8_t* p, double value) {
    p[0] = 0x09;
    if (std::isnan(value)) return octets2(p + 1, 0x01, 0x60);
    if (std::isinf(value)) return octets2(p + 1, 0x01, value > 0 ? 0x40 : 0x41);
    if (value == 0.0) {
        p[1] = 0x00;
        return p + 2;
    }
    char* text = reinterpret_cast<char*>(p + 3);
    char* end = format_e6(text, value);
    p[2] = 0x00;
    p[1] = static_cast<uint8_t>(1 + (end - text));
    return reinterpret_cast<uint8_t*>(end);
}

}  // namespace zp::put

namespace zp {

class value_writer {
public:
    explicit value_writer(ProtocolStream& s) : s_(s) {}
    value_writer(const value_writer&) = delete;
    value_writer& operator=(const value_writer&) = delete;

    // Sends what is held; returns the first stream error, if any.
    err finish() {
        spill();
        return error_;
    }

    // Room for n octets (n at most `capacity`) at the returned cursor; encode
    // with the put_* functions and hand the advanced cursor to commit().
    static constexpr size_t capacity = 4096;
    ZP_HOT_INLINE uint8_t* reserve(size_t n) {
        if (n > capacity - fill_) spill();
        return buf_ + fill_;
    }
    ZP_HOT_INLINE void commit(uint8_t* p) { fill_ = static_cast<size_t>(p - buf_); }

    // Octets of any length.
    void raw(const void* data, size_t n) {
        if (n <= capacity - fill_) {
            std::memcpy(buf_ + fill_, data, n);
            fill_ += n;
            return;
        }
        spill();
        if (n < capacity / 2) {
            std::memcpy(buf_, data, n);
            fill_ = n;
        } else if (error_.ok()) {
            error_ = s_.write(data, n);
        }
    }

    void tag(tag_code t) { commit(put::tag(reserve(put::tag_room), t)); }
    void length(uint32_t len) { commit(put::length(reserve(put::length_room), len)); }
    void constructed_start(tag_code t) {
        uint8_t* p = put::tag(reserve(put::tag_room + 1), t);
        *p++ = 0x80;
        commit(p);
    }
    void list_start() { commit(put::list_start(reserve(2))); }
    void end_of_contents() { commit(put::end_of_contents(reserve(2))); }
    void null() { commit(put::null(reserve(2))); }
    void boolean(bool v) { commit(put::boolean(reserve(3), v)); }
    void enumerated(uint32_t value, tag_code t = BE_ENUMERATED) {
        commit(put::enumerated(reserve(put::tag_room + put::enum_room), value, t));
    }
    ZP_HOT_INLINE err signed_int(int32_t minimum, int32_t maximum, int32_t value) {
        if (value < minimum || value > maximum) return err::text("data out of range in write_signed_int");
        commit(put::signed_int(reserve(put::int_room), value));
        return {};
    }
    ZP_HOT_INLINE err string(size_t maximum, std::string_view value) {
        if (value.size() > maximum || value.size() > UINT32_MAX) return err::text("data out of range in write_string");
        if (put::string_room(value.size()) <= capacity) {
            commit(put::string(reserve(put::string_room(value.size())), value));
            return {};
        }
        length_prefixed(value);
        return {};
    }
    err real(double value) {
        commit(put::real(reserve(put::real_room), value));
        return {};
    }

private:
    void length_prefixed(std::string_view value) {
        uint8_t* p = reserve(1 + put::length_room);
        *p++ = 0x04;
        commit(put::length(p, static_cast<uint32_t>(value.size())));
        raw(value.data(), value.size());
    }

    void spill() {
        if (fill_ && error_.ok()) error_ = s_.write(buf_, fill_);
        fill_ = 0;
    }

    ProtocolStream& s_;
    err error_;
    size_t fill_ = 0;
    uint8_t buf_[capacity];
};

}  // namespace zp
