// memory_stream.h - a ProtocolStream over memory, for tests, fuzz targets and
// benchmarks: reads come from a fixed input, writes gather in `output`.
// Short reads and forced failures let tests reach every error path.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "protocol/stream.h"

namespace zp {

struct memory_stream final : ProtocolStream {
    explicit memory_stream(std::span<const uint8_t> in = {}) : input(in.begin(), in.end()) {}

    std::vector<uint8_t> input;
    size_t pos = 0;
    std::vector<uint8_t> output;
    size_t flushes = 0;
    bool closed = false;
    // When nonzero, a write fails once the output would grow past this size.
    size_t fail_write_after = 0;

    err read(void* buf, size_t n) override {
        if (input.size() - pos < n) {
            pos = input.size();
            return err::text("Peer closed connection unexpectedly");
        }
        if (n) std::memcpy(buf, input.data() + pos, n);
        pos += n;
        return {};
    }
    err write(const void* buf, size_t n) override {
        if (fail_write_after && output.size() + n > fail_write_after)
            return err::text("memory stream write failed");
        auto p = static_cast<const uint8_t*>(buf);
        output.insert(output.end(), p, p + n);
        return {};
    }
    err flush() override {
        ++flushes;
        return {};
    }
    int wait_readable(int) override { return pos < input.size() ? 1 : 0; }
    void close() override { closed = true; }
};

}  // namespace zp
