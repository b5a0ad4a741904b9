// mpi_ref.h - libgcrypt's multi-precision numbers as the reference the big
// number tests and benchmarks compare against, and a scripted random source.
#pragma once

#include <gcrypt.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protocol/bignum.h"
#include "protocol/crypto.h"

namespace zp::test {

struct mpi_release {
    void operator()(gcry_mpi_t m) const { gcry_mpi_release(m); }
};
using mpi_ptr = std::unique_ptr<gcry_mpi, mpi_release>;

inline mpi_ptr mpi_from_bytes(const std::vector<uint8_t>& b) {
    crypto_init();
    gcry_mpi_t m = nullptr;
    if (b.empty()) return mpi_ptr(gcry_mpi_new(0));
    gcry_mpi_scan(&m, GCRYMPI_FMT_USG, b.data(), b.size(), nullptr);
    return mpi_ptr(m);
}

// Big-endian bytes without leading zeros (empty for zero).
inline std::vector<uint8_t> mpi_bytes(gcry_mpi_t m) {
    size_t n = (gcry_mpi_get_nbits(m) + 7) / 8;
    std::vector<uint8_t> out(n);
    size_t written = 0;
    if (n) gcry_mpi_print(GCRYMPI_FMT_USG, out.data(), n, &written, m);
    out.resize(written);
    return out;
}

inline std::vector<uint8_t> bn_bytes(const bignum& n) {
    std::vector<uint8_t> out(4 * n.used);
    size_t count = 0;
    if (bn_get_data(n, out.data(), out.size(), count)) return {};
    out.resize(count);
    return out;
}

inline bignum_ptr bn_from_bytes(const std::vector<uint8_t>& b) {
    bignum_ptr n = bn_new(0, (b.size() + 3) / 4);
    if (bn_set_data(*n, b)) return nullptr;
    return n;
}

// Big-endian bytes of a hexadecimal text.
inline std::vector<uint8_t> hex_bytes(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// Hands out 32-bit words (little-endian bytes, 0 when the script is used up)
// and records the size of every request.
struct scripted_random {
    std::vector<uint32_t> values;
    std::vector<size_t> asked;
    size_t next = 0;
    random_source source() {
        return [this](void* buf, size_t n) {
            asked.push_back(n);
            auto p = static_cast<uint8_t*>(buf);
            for (size_t i = 0; i < n; ++i) {
                uint32_t v = next < values.size() ? values[next] : 0;
                p[i] = static_cast<uint8_t>(v >> (8 * (i % 4)));
                if (i % 4 == 3) ++next;
            }
        };
    }
};

// The 1024-bit group of RFC 2409 (second Oakley group): prime and generator 2.
inline const char* oakley2_prime =
    "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD1"
    "29024E088A67CC74020BBEA63B139B22514A08798E3404DD"
    "EF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245"
    "E485B576625E7EC6F44C42E9A637ED6B0BFF5CB6F406B7ED"
    "EE386BFB5A899FA5AE9F24117C4B1FE649286651ECE65381"
    "FFFFFFFFFFFFFFFF";

}  // namespace zp::test
