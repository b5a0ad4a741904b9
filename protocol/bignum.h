// bignum.h - the unsigned big numbers of the key exchange: byte and decimal
// conversions, comparisons and modular exponentiation.
//
// A number keeps 32-bit words, least significant first; `used` counts the
// significant words (zero has used 0) and `digits.size()` is the capacity.
// Numbers are created and freed within one session step by one thread; every
// function here is safe to call from any thread on numbers it owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/err.h"
#include "protocol/codec.h"

namespace zp {

struct bignum {
    std::vector<uint32_t> digits;  // capacity words; words at and above `used` are 0
    size_t used = 0;

    size_t capacity() const { return digits.size(); }
};

using bignum_ptr = std::unique_ptr<bignum>;

// Fills a buffer with random bytes.
using random_source = std::function<void(void* buf, size_t n)>;

// The capacity a number gets for an expected size of n words.
size_t bn_capacity_for(size_t words);

// A number holding value, with the capacity for `expected_words`; null when
// memory runs out.
bignum_ptr bn_new(uint32_t value, size_t expected_words);

// Sets n to the unsigned big-endian number in bytes, enlarging its digits to
// (length + 3) / 4 words if needed. "Unable to allocate space for new data"
// when that fails (n unchanged).
err bn_set_data(bignum& n, std::span<const uint8_t> bytes);

// Writes the big-endian bytes of n without leading zero bytes into buf and
// sets count to their number. "Buffer given to bn_get_data is too small" when
// 4 * used exceeds size (nothing written, count unchanged).
err bn_get_data(const bignum& n, uint8_t* buf, size_t size, size_t& count);

// Decimal digits, most significant first, no sign or leading zeros; "0" for 0.
std::string bn_to_decimal(const bignum& n);

bool bn_equals_small(const bignum& n, uint32_t v);
bool bn_equals(const bignum& a, const bignum& b);
bool bn_less(const bignum& a, const bignum& b);
size_t bn_bit_length(const bignum& n);

// base^exponent mod modulus as a new number, or null when memory runs out or
// the modulus is zero. Odd moduli use Montgomery multiplication.
bignum_ptr bn_mod_exp(const bignum& base, const bignum& exponent, const bignum& modulus);

// A number of at most `length` random bytes from rnd (the session's strong
// random when none is given): (length + 3) / 4 words are filled with the
// bytes, little-endian, and the top word is cut to length mod 4 bytes. On
// failure a line goes to standard error and the result is null.
bignum_ptr bn_poor_random(size_t length);
bignum_ptr bn_poor_random(size_t length, const random_source& rnd);

// Most contents octets read_bignum accepts: far more than any group the
// protocol uses, small enough that a peer cannot make the agent allocate much.
inline constexpr uint32_t max_bignum_octets = 4096;
// The magnitude area write_bignum fills: 35 words.
inline constexpr size_t bignum_write_area = 140;

// Reads an INTEGER as an unsigned big-endian magnitude into a new number.
// Refuses the indefinite form and more than max_bignum_octets contents octets
// ("data out of range in read_bignum"); out is unchanged on failure.
err read_bignum(ProtocolStream& s, bignum_ptr& out, tag_code tag = 0);
// Writes 02, the length and the magnitude without leading zero octets (zero
// has no contents). A number of more than 35 words fails with the text of
// bn_get_data and nothing is written.
err write_bignum(ProtocolStream& s, const bignum& n);

}  // namespace zp
