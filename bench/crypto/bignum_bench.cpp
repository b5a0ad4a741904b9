// bignum_bench.cpp - modular exponentiation of the key exchange beside
// libgcrypt's on the same operands (768- and 1024-bit groups), checked equal.
#include <benchmark/benchmark.h>

#include <random>

#include "mpi_ref.h"
#include "protocol/bignum.h"

namespace zp {
namespace {

using test::bn_bytes;
using test::bn_from_bytes;
using test::mpi_bytes;
using test::mpi_from_bytes;
using test::mpi_ptr;

// The 768-bit group of RFC 2409 (first Oakley group).
const char* oakley1_prime =
    "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD1"
    "29024E088A67CC74020BBEA63B139B22514A08798E3404DD"
    "EF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245"
    "E485B576625E7EC6F44C42E9A63A3620FFFFFFFFFFFFFFFF";

struct operands {
    std::vector<uint8_t> base, exponent, modulus;
};

// A base below the modulus and an exponent of `exp_bytes` random bytes.
operands make_operands(int bits, size_t exp_bytes) {
    operands o;
    o.modulus = test::hex_bytes(bits == 768 ? oakley1_prime : test::oakley2_prime);
    std::mt19937_64 rng(static_cast<uint64_t>(bits) * 1000 + exp_bytes);
    o.base.resize(o.modulus.size());
    for (auto& b : o.base) b = static_cast<uint8_t>(rng());
    o.base[0] &= 0x7F;
    o.exponent.resize(exp_bytes);
    for (auto& b : o.exponent) b = static_cast<uint8_t>(rng());
    o.exponent[0] |= 0x80;
    return o;
}

std::vector<uint8_t> gcry_result(const operands& o) {
    auto b = mpi_from_bytes(o.base), e = mpi_from_bytes(o.exponent), m = mpi_from_bytes(o.modulus);
    mpi_ptr r(gcry_mpi_new(0));
    gcry_mpi_powm(r.get(), b.get(), e.get(), m.get());
    return mpi_bytes(r.get());
}

// args: modulus bits, exponent bytes
void BM_powm_zp(benchmark::State& state) {
    auto o = make_operands(static_cast<int>(state.range(0)), static_cast<size_t>(state.range(1)));
    auto b = bn_from_bytes(o.base), e = bn_from_bytes(o.exponent), m = bn_from_bytes(o.modulus);
    auto check = bn_mod_exp(*b, *e, *m);
    if (!check || bn_bytes(*check) != gcry_result(o)) {
        state.SkipWithError("result differs from libgcrypt");
        return;
    }
    for (auto _ : state) {
        auto r = bn_mod_exp(*b, *e, *m);
        benchmark::DoNotOptimize(r);
    }
}

void BM_powm_gcry(benchmark::State& state) {
    auto o = make_operands(static_cast<int>(state.range(0)), static_cast<size_t>(state.range(1)));
    auto b = mpi_from_bytes(o.base), e = mpi_from_bytes(o.exponent), m = mpi_from_bytes(o.modulus);
    mpi_ptr r(gcry_mpi_new(0));
    for (auto _ : state) {
        gcry_mpi_powm(r.get(), b.get(), e.get(), m.get());
        benchmark::DoNotOptimize(r.get());
    }
}

// Full-size exponents, and the key exchange's own 4-byte private exponent.
#define ZP_POWM_ARGS Args({768, 96})->Args({1024, 128})->Args({768, 4})->Args({1024, 4})
BENCHMARK(BM_powm_zp)->ZP_POWM_ARGS;
BENCHMARK(BM_powm_gcry)->ZP_POWM_ARGS;

}  // namespace
}  // namespace zp

BENCHMARK_MAIN();
