// bignum.cpp - unsigned big numbers on 32-bit words, with modular
// exponentiation by Montgomery multiplication on 64-bit limbs.
#include "protocol/bignum.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "protocol/crypto.h"

namespace zp {

namespace {

using u64 = uint64_t;
__extension__ typedef unsigned __int128 u128;
using words = std::vector<uint32_t>;

void normalise(bignum& n) {
    while (n.used > 0 && n.digits[n.used - 1] == 0) --n.used;
}

size_t significant(const words& w) {
    size_t n = w.size();
    while (n > 0 && w[n - 1] == 0) --n;
    return n;
}

// a mod m into a, for m with m_len > 0 significant words (Knuth's algorithm D
// on 32-bit digits). a is resized to m_len words.
void mod_words(words& a, const uint32_t* m, size_t m_len) {
    size_t a_len = significant(a);
    if (a_len < m_len) {
        a.resize(m_len, 0);
        return;
    }
    if (m_len == 1) {
        u64 r = 0;
        for (size_t i = a_len; i-- > 0;) r = ((r << 32) | a[i]) % m[0];
        a.assign(1, static_cast<uint32_t>(r));
        return;
    }
    // Normalise so that the divisor's top word has its high bit set.
    int s = __builtin_clz(m[m_len - 1]);
    words vn(m_len), un(a_len + 1);
    for (size_t i = m_len - 1; i > 0; --i)
        vn[i] = s ? (m[i] << s) | (m[i - 1] >> (32 - s)) : m[i];
    vn[0] = m[0] << s;
    un[a_len] = s ? a[a_len - 1] >> (32 - s) : 0;
    for (size_t i = a_len - 1; i > 0; --i)
        un[i] = s ? (a[i] << s) | (a[i - 1] >> (32 - s)) : a[i];
    un[0] = a[0] << s;

    const u64 b = u64(1) << 32;
    for (size_t j = a_len - m_len + 1; j-- > 0;) {
        u64 num = (u64(un[j + m_len]) << 32) | un[j + m_len - 1];
        u64 qhat = num / vn[m_len - 1];
        u64 rhat = num % vn[m_len - 1];
        while (qhat >= b || qhat * vn[m_len - 2] > ((rhat << 32) | un[j + m_len - 2])) {
            --qhat;
            rhat += vn[m_len - 1];
            if (rhat >= b) break;
        }
        // un[j..j+m_len] -= qhat * vn
        int64_t borrow = 0;
        u64 carry = 0;
        for (size_t i = 0; i < m_len; ++i) {
            u64 p = qhat * vn[i] + carry;
            carry = p >> 32;
            int64_t t = int64_t(un[i + j]) - int64_t(p & 0xFFFFFFFF) + borrow;
            un[i + j] = static_cast<uint32_t>(t);
            borrow = t >> 32;
        }
        int64_t t = int64_t(un[j + m_len]) - int64_t(carry) + borrow;
        un[j + m_len] = static_cast<uint32_t>(t);
        if (t < 0) {
            // qhat was one too large: add the divisor back.
            u64 c = 0;
            for (size_t i = 0; i < m_len; ++i) {
                u64 sum = u64(un[i + j]) + vn[i] + c;
                un[i + j] = static_cast<uint32_t>(sum);
                c = sum >> 32;
            }
            un[j + m_len] = static_cast<uint32_t>(un[j + m_len] + c);
        }
    }
    a.assign(m_len, 0);
    for (size_t i = 0; i < m_len; ++i)
        a[i] = s ? (un[i] >> s) | (un[i + 1] << (32 - s)) : un[i];
}

// The product of two word arrays (a_len + b_len words).
words mul_words(const words& a, const words& b) {
    words r(a.size() + b.size(), 0);
    for (size_t i = 0; i < a.size(); ++i) {
        u64 c = 0;
        for (size_t j = 0; j < b.size(); ++j) {
            u64 t = u64(a[i]) * b[j] + r[i + j] + c;
            r[i + j] = static_cast<uint32_t>(t);
            c = t >> 32;
        }
        r[i + b.size()] = static_cast<uint32_t>(c);
    }
    return r;
}

// Bits of the exponent taken per multiplication for an exponent of `bits` bits.
int window_for(size_t bits) {
    if (bits > 512) return 5;
    if (bits > 128) return 4;
    if (bits > 24) return 3;
    if (bits > 6) return 2;
    return 1;
}

// `w` exponent bits starting at bit `pos` (bits beyond the top read as 0).
unsigned exponent_window(const bignum& e, size_t pos, int w) {
    unsigned v = 0;
    for (int i = w - 1; i >= 0; --i) {
        size_t bit = pos + static_cast<size_t>(i);
        size_t word = bit / 32;
        v <<= 1;
        if (word < e.used) v |= (e.digits[word] >> (bit % 32)) & 1;
    }
    return v;
}

// Montgomery arithmetic modulo an odd number n of k 64-bit limbs, R = 2^(64k).
struct montgomery {
    size_t k = 0;
    std::vector<u64> n;        // the modulus
    u64 n0 = 0;                // -n^-1 mod 2^64
    std::vector<u64> scratch;  // k + 2 limbs, for sizes without their own code

    explicit montgomery(const bignum& m) : k((m.used + 1) / 2), n(k, 0), scratch(k + 2, 0) {
        for (size_t i = 0; i < m.used; ++i) n[i / 2] |= u64(m.digits[i]) << (32 * (i % 2));
        u64 inv = n[0];  // right to 3 bits for an odd number; each step doubles them
        for (int i = 0; i < 6; ++i) inv *= 2 - n[0] * inv;
        n0 = ~inv + 1;
    }
};

// r = a * b / R mod n for a, b < n (r may alias a or b), interleaving the
// product and the reduction word by word. K is the limb count when it is
// known at compile time (the usual group sizes), 0 when it is not.
template <size_t K>
void mont_mul(const montgomery& m, u64* r, const u64* a, const u64* b, u64* scratch) {
    const size_t k = K ? K : m.k;
    const u64* n = m.n.data();
    u64 local[K + 2];
    u64* tp = K ? local : scratch;
    std::fill(tp, tp + k + 2, 0);
    for (size_t i = 0; i < k; ++i) {
        u64 c = 0;
        const u64 bi = b[i];
        for (size_t j = 0; j < k; ++j) {
            u128 s = u128(a[j]) * bi + tp[j] + c;
            tp[j] = static_cast<u64>(s);
            c = static_cast<u64>(s >> 64);
        }
        u128 s = u128(tp[k]) + c;
        tp[k] = static_cast<u64>(s);
        tp[k + 1] = static_cast<u64>(s >> 64);

        const u64 q = tp[0] * m.n0;
        s = u128(q) * n[0] + tp[0];
        c = static_cast<u64>(s >> 64);
        for (size_t j = 1; j < k; ++j) {
            s = u128(q) * n[j] + tp[j] + c;
            tp[j - 1] = static_cast<u64>(s);
            c = static_cast<u64>(s >> 64);
        }
        s = u128(tp[k]) + c;
        tp[k - 1] = static_cast<u64>(s);
        tp[k] = tp[k + 1] + static_cast<u64>(s >> 64);
    }
    // tp < 2n: subtract n once if needed.
    bool ge = tp[k] != 0;
    if (!ge) {
        ge = true;
        for (size_t i = k; i-- > 0;) {
            if (tp[i] != n[i]) {
                ge = tp[i] > n[i];
                break;
            }
        }
    }
    if (ge) {
        u64 borrow = 0;
        for (size_t i = 0; i < k; ++i) {
            u128 d = u128(tp[i]) - n[i] - borrow;
            r[i] = static_cast<u64>(d);
            borrow = static_cast<u64>(d >> 64) & 1;
        }
    } else {
        std::copy(tp, tp + k, r);
    }
}

std::vector<u64> to_limbs(const words& w, size_t k) {
    std::vector<u64> l(k, 0);
    for (size_t i = 0; i < w.size() && i / 2 < k; ++i) l[i / 2] |= u64(w[i]) << (32 * (i % 2));
    return l;
}

bignum_ptr from_words(const words& w, size_t expected) {
    auto r = bn_new(0, std::max(expected, w.size()));
    if (!r) return nullptr;
    std::copy(w.begin(), w.end(), r->digits.begin());
    r->used = w.size();
    normalise(*r);
    return r;
}

// base^exponent in Montgomery form with a fixed window over the exponent's
// bits from the top; acc receives the plain result (k limbs).
template <size_t K>
void mont_power(montgomery& mont, const std::vector<u64>& r2, const std::vector<u64>& base,
                const bignum& exponent, std::vector<u64>& acc) {
    const size_t k = mont.k;
    u64* scratch = mont.scratch.data();
    auto mul = [&](u64* r, const u64* a, const u64* b) { mont_mul<K>(mont, r, a, b, scratch); };
    std::vector<u64> one(k, 0);
    one[0] = 1;

    const size_t bits = bn_bit_length(exponent);
    const int w = window_for(bits);
    const size_t entries = size_t(1) << w;
    // table[i] = base^i in Montgomery form; table[0] = R mod n.
    std::vector<u64> table(entries * k);
    mul(&table[0], one.data(), r2.data());
    mul(&table[k], base.data(), r2.data());
    for (size_t i = 2; i < entries; ++i) mul(&table[i * k], &table[(i - 1) * k], &table[k]);

    acc.assign(table.begin(), table.begin() + static_cast<ptrdiff_t>(k));
    if (bits > 0) {
        size_t pos = (bits + w - 1) / w * w - w;
        unsigned win = exponent_window(exponent, pos, w);
        std::copy(&table[win * k], &table[win * k] + k, acc.begin());
        while (pos > 0) {
            pos -= w;
            for (int i = 0; i < w; ++i) mul(acc.data(), acc.data(), acc.data());
            win = exponent_window(exponent, pos, w);
            mul(acc.data(), acc.data(), &table[win * k]);
        }
    }
    mul(acc.data(), acc.data(), one.data());
}

bignum_ptr mod_exp_odd(const bignum& base, const bignum& exponent, const bignum& modulus) {
    montgomery mont(modulus);
    const size_t k = mont.k;
    const uint32_t* m = modulus.digits.data();

    // R^2 mod n, to bring numbers into Montgomery form.
    words rr(4 * k + 1, 0);
    rr[4 * k] = 1;
    mod_words(rr, m, modulus.used);
    std::vector<u64> r2 = to_limbs(rr, k);

    words b(base.digits.begin(), base.digits.begin() + static_cast<ptrdiff_t>(base.used));
    mod_words(b, m, modulus.used);
    std::vector<u64> bl = to_limbs(b, k);

    std::vector<u64> acc;
    switch (k) {
    case 8: mont_power<8>(mont, r2, bl, exponent, acc); break;
    case 12: mont_power<12>(mont, r2, bl, exponent, acc); break;
    case 16: mont_power<16>(mont, r2, bl, exponent, acc); break;
    case 18: mont_power<18>(mont, r2, bl, exponent, acc); break;
    default: mont_power<0>(mont, r2, bl, exponent, acc); break;
    }

    words out(2 * k);
    for (size_t i = 0; i < k; ++i) {
        out[2 * i] = static_cast<uint32_t>(acc[i]);
        out[2 * i + 1] = static_cast<uint32_t>(acc[i] >> 32);
    }
    out.resize(significant(out));
    return from_words(out, modulus.used);
}

// Even moduli are not used by the protocol's groups; plain multiply and divide.
bignum_ptr mod_exp_plain(const bignum& base, const bignum& exponent, const bignum& modulus) {
    const uint32_t* m = modulus.digits.data();
    words b(base.digits.begin(), base.digits.begin() + static_cast<ptrdiff_t>(base.used));
    mod_words(b, m, modulus.used);
    words acc{1};
    mod_words(acc, m, modulus.used);
    for (size_t bit = bn_bit_length(exponent); bit-- > 0;) {
        acc = mul_words(acc, acc);
        mod_words(acc, m, modulus.used);
        if ((exponent.digits[bit / 32] >> (bit % 32)) & 1) {
            acc = mul_words(acc, b);
            mod_words(acc, m, modulus.used);
        }
    }
    acc.resize(significant(acc));
    return from_words(acc, modulus.used);
}

}  // namespace

size_t bn_capacity_for(size_t words) {
    return std::max<size_t>(words + words / 2 + 1, 16);
}

bignum_ptr bn_new(uint32_t value, size_t expected_words) {
    try {
        auto n = std::make_unique<bignum>();
        n->digits.assign(bn_capacity_for(expected_words), 0);
        n->digits[0] = value;
        n->used = value ? 1 : 0;
        return n;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

err bn_set_data(bignum& n, std::span<const uint8_t> bytes) {
    const size_t need = (bytes.size() + 3) / 4;
    if (n.capacity() < need) {
        try {
            n.digits.resize(need, 0);
        } catch (const std::bad_alloc&) {
            return err::text("Unable to allocate space for new data");
        }
    }
    std::fill(n.digits.begin(), n.digits.end(), 0);
    for (size_t i = 0; i < bytes.size(); ++i) {
        size_t pos = bytes.size() - 1 - i;  // byte i from the least significant end
        n.digits[pos / 4] |= uint32_t(bytes[i]) << (8 * (pos % 4));
    }
    n.used = need;
    normalise(n);
    return {};
}

err bn_get_data(const bignum& n, uint8_t* buf, size_t size, size_t& count) {
    if (4 * n.used > size) return err::text("Buffer given to bn_get_data is too small");
    size_t c = 0;
    for (size_t i = 4 * n.used; i-- > 0;) {
        uint8_t b = static_cast<uint8_t>(n.digits[i / 4] >> (8 * (i % 4)));
        if (c == 0 && b == 0) continue;
        buf[c++] = b;
    }
    count = c;
    return {};
}

std::string bn_to_decimal(const bignum& n) {
    if (n.used == 0) return "0";
    words w(n.digits.begin(), n.digits.begin() + static_cast<ptrdiff_t>(n.used));
    size_t len = w.size();
    std::string out;
    out.reserve(n.used * 10 + 1);
    // Nine decimal digits per division, least significant group first.
    while (len > 0) {
        u64 r = 0;
        for (size_t i = len; i-- > 0;) {
            u64 cur = (r << 32) | w[i];
            w[i] = static_cast<uint32_t>(cur / 1000000000u);
            r = cur % 1000000000u;
        }
        while (len > 0 && w[len - 1] == 0) --len;
        for (int d = 0; d < 9 && (len > 0 || r > 0); ++d) {
            out += static_cast<char>('0' + r % 10);
            r /= 10;
        }
    }
    std::reverse(out.begin(), out.end());
    return out;
}

bool bn_equals_small(const bignum& n, uint32_t v) {
    if (n.used == 0) return v == 0;
    return n.used == 1 && n.digits[0] == v;
}

bool bn_equals(const bignum& a, const bignum& b) {
    return a.used == b.used && std::equal(a.digits.begin(), a.digits.begin() + static_cast<ptrdiff_t>(a.used),
                                          b.digits.begin());
}

bool bn_less(const bignum& a, const bignum& b) {
    if (a.used != b.used) return a.used < b.used;
    for (size_t i = a.used; i-- > 0;)
        if (a.digits[i] != b.digits[i]) return a.digits[i] < b.digits[i];
    return false;
}

size_t bn_bit_length(const bignum& n) {
    if (n.used == 0) return 0;
    return 32 * n.used - static_cast<size_t>(__builtin_clz(n.digits[n.used - 1]));
}

bignum_ptr bn_mod_exp(const bignum& base, const bignum& exponent, const bignum& modulus) {
    if (modulus.used == 0) return nullptr;
    try {
        if (modulus.digits[0] & 1) return mod_exp_odd(base, exponent, modulus);
        return mod_exp_plain(base, exponent, modulus);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bignum_ptr bn_poor_random(size_t length) {
    return bn_poor_random(length, secure_random);
}

bignum_ptr bn_poor_random(size_t length, const random_source& rnd) {
    bignum_ptr n = bn_new(0, length + 1);
    if (!n) {
        std::fprintf(stderr, "Cannot create bignum in bn_poor_random (length = %zu)\n", length);
        return nullptr;
    }
    const size_t w = (length + 3) / 4;
    // The bytes fill the little-endian word array in memory order.
    std::vector<uint8_t> bytes(4 * w, 0);
    rnd(bytes.data(), bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) n->digits[i / 4] |= uint32_t(bytes[i]) << (8 * (i % 4));
    if (length % 4) n->digits[w - 1] &= (uint32_t(1) << (8 * (length % 4))) - 1;
    n->used = w;
    normalise(*n);
    return n;
}

err read_bignum(ProtocolStream& s, bignum_ptr& out, tag_code tag) {
    if (tag == 0) {
        if (auto e = read_tag(s, tag)) return e;
    }
    if (tag != BE_INTEGER) return err::text("Wrong tag, expected BE_INTEGER");
    uint32_t length;
    bool indefinite;
    if (auto e = read_length(s, length, indefinite)) return e;
    if (indefinite || length > max_bignum_octets) return err::text("data out of range in read_bignum");
    std::vector<uint8_t> contents;
    try {
        contents.resize(length);
    } catch (const std::bad_alloc&) {
        return err::text("Out of memory in read_bignum");
    }
    if (auto e = s.read(contents.data(), length)) return e;
    bignum_ptr n = bn_new(0, (length + 3) / 4);
    if (!n) return err::text("Out of memory in read_bignum");
    if (auto e = bn_set_data(*n, contents)) return e;
    out = std::move(n);
    return {};
}

err write_bignum(ProtocolStream& s, const bignum& n) {
    uint8_t area[bignum_write_area];
    size_t count = 0;
    if (auto e = bn_get_data(n, area, sizeof area, count)) return e;
    if (auto e = write_tag(s, BE_INTEGER)) return e;
    if (auto e = write_length(s, static_cast<uint32_t>(count))) return e;
    return s.write(area, count);
}

}  // namespace zp
