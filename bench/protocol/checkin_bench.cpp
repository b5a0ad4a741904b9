// checkin_bench.cpp - encoding and enciphering 50,000 check-in results into
// memory, against one AES-128-ECB call and a copy over the same octets.
#include <benchmark/benchmark.h>
#include <gcrypt.h>

#include <cstring>
#include <memory>
#include <vector>

#include "core/log.h"
#include "protocol/cipher_stream.h"
#include "protocol/memory_stream.h"
#include "protocol/messages_checkin.h"

namespace {

using namespace zp;

constexpr int result_count = 50000;
constexpr const char* hallmark = "00112233445566778899aabbccddeeff";

// A configured tree of 100 checks of the common kinds, one queued result each;
// the 50,000 records cycle through them.
struct workload {
    devtree groups[4];
    std::vector<std::unique_ptr<devnode>> nodes;
    std::vector<std::unique_ptr<resnode>> results;

    workload() {
        const char* ids[4] = {"mem", "fs", "proc", "perf"};
        for (int g = 0; g < 4; ++g) groups[g].id = ids[g];
        for (int i = 0; i < 100; ++i) {
            auto n = alloc_devnode();
            n->id = "check" + std::to_string(i);
            n->identifier = "5f0c2a" + std::to_string(100000 + i);
            n->parent = &groups[i % 4];
            n->type = i % 3 == 0 ? type_real_continuous : i % 3 == 1 ? type_continuous : type_enum;
            auto r = alloc_resnode();
            r->ivalue = 123456 + i;
            r->dvalue = 1048576.0 * (1 + i % 7) + i * 37.25;
            r->status = static_cast<uint32_t>(i % 4);
            if (i % 10 == 0) set_result_text(*r, "Counter could not be read");
            nodes.push_back(std::move(n));
            results.push_back(std::move(r));
        }
    }

    // As the check-in writes its result list: one writer gathers the records.
    err encode(ProtocolStream& s) const {
        value_writer w(s);
        size_t k = 0;
        for (int i = 0; i < result_count; ++i) {
            if (auto e = write_result_record(w, *nodes[k], *results[k], 1700000000 + i, k == 0)) return e;
            if (++k == nodes.size()) k = 0;
        }
        if (auto e = w.finish()) return e;
        return s.flush();
    }
};

const workload& the_workload() {
    static workload w;
    return w;
}

std::vector<uint8_t> plain_encoding() {
    memory_stream m;
    (void)the_workload().encode(m);
    return m.output;
}

gcry_cipher_hd_t open_aes() {
    gcry_check_version(nullptr);
    gcry_cipher_hd_t h = nullptr;
    uint8_t key[16];
    for (int i = 0; i < 16; ++i) key[i] = static_cast<uint8_t>(i * 0x11);
    gcry_cipher_open(&h, GCRY_CIPHER_AES128, GCRY_CIPHER_MODE_ECB, 0);
    gcry_cipher_setkey(h, key, sizeof key);
    return h;
}

void BM_EncodeResults(benchmark::State& state) {
    set_log_level(3);
    memory_stream m;
    m.output.reserve(8 << 20);
    for (auto _ : state) {
        m.output.clear();
        if (auto e = the_workload().encode(m)) state.SkipWithError(e.c_str());
        benchmark::DoNotOptimize(m.output.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * m.output.size()));
}
BENCHMARK(BM_EncodeResults)->Unit(benchmark::kMillisecond);

void BM_EncodeAndEncipherResults(benchmark::State& state) {
    set_log_level(3);
    // Deciphering what went out must give back the plain encoding, padded.
    std::vector<uint8_t> plain = plain_encoding();
    auto sink_owner = std::make_unique<memory_stream>();
    memory_stream* sink = sink_owner.get();
    sink->output.reserve(8 << 20);
    stream_ptr lower = std::move(sink_owner);
    stream_ptr cipher = open_cipher_stream(lower, hallmark);
    if (!cipher) {
        state.SkipWithError("no cipher stream");
        return;
    }
    for (auto _ : state) {
        sink->output.clear();
        if (auto e = the_workload().encode(*cipher)) state.SkipWithError(e.c_str());
        benchmark::DoNotOptimize(sink->output.data());
    }
    std::vector<uint8_t> back = sink->output;
    gcry_cipher_hd_t h = open_aes();
    gcry_cipher_decrypt(h, back.data(), back.size(), nullptr, 0);
    gcry_cipher_close(h);
    plain.resize((plain.size() + 15) / 16 * 16, 0x19);
    if (back != plain) state.SkipWithError("deciphered output differs from the encoding");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sink->output.size()));
}
BENCHMARK(BM_EncodeAndEncipherResults)->Unit(benchmark::kMillisecond);

// The floor: the same number of octets enciphered in one call and copied out.
void BM_BaselineAesAndCopy(benchmark::State& state) {
    std::vector<uint8_t> plain = plain_encoding();
    plain.resize((plain.size() + 15) / 16 * 16, 0x19);
    std::vector<uint8_t> work(plain.size()), sink(plain.size());
    gcry_cipher_hd_t h = open_aes();
    for (auto _ : state) {
        gcry_cipher_encrypt(h, work.data(), work.size(), plain.data(), plain.size());
        std::memcpy(sink.data(), work.data(), work.size());
        benchmark::DoNotOptimize(sink.data());
    }
    gcry_cipher_close(h);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * plain.size()));
}
BENCHMARK(BM_BaselineAesAndCopy)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
