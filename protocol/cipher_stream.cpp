// cipher_stream.cpp - the AES-128-ECB stream over a lower stream: 16-byte
// blocks out and in, 0x19 padding on flush.
#include "protocol/cipher_stream.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "protocol/crypto.h"

namespace zp {

namespace {

constexpr size_t block = 16;
// Whole blocks are gathered and enciphered in one call up to this many bytes;
// the lower stream sees exactly the octets it would see block by block.
constexpr size_t batch_bytes = 4096;
constexpr uint8_t pad_octet = 0x19;

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parse_key(std::string_view text, uint8_t (&key)[16]) {
    if (text.size() != 2 * sizeof key) return false;
    for (size_t i = 0; i < sizeof key; ++i) {
        int hi = hex_value(text[2 * i]), lo = hex_value(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        key[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

struct cipher_stream final : ProtocolStream {
    stream_ptr lower;
    aes128 aes;
    uint8_t out_block[block] = {};
    size_t out_fill = 0;  // 0..15
    uint8_t in_block[block] = {};
    size_t in_pos = block;  // block means empty
    std::vector<uint8_t> batch;

    ~cipher_stream() override { close(); }

    err closed_error() const { return err::text("Stream is closed"); }

    err write(const void* buf, size_t n) override {
        if (!lower) return closed_error();
        auto p = static_cast<const uint8_t*>(buf);
        if (out_fill + n < block) {
            if (n) std::memcpy(out_block + out_fill, p, n);
            out_fill += n;
            return {};
        }
        while (out_fill + n >= block) {
            // The held bytes first, then as many whole blocks as fit the batch.
            size_t take = std::min(batch_bytes, out_fill + n) / block * block;
            std::memcpy(batch.data(), out_block, out_fill);
            size_t from_caller = take - out_fill;
            std::memcpy(batch.data() + out_fill, p, from_caller);
            p += from_caller;
            n -= from_caller;
            out_fill = 0;
            if (auto e = aes.encrypt(batch.data(), take)) return e;
            if (auto e = lower->write(batch.data(), take)) return e;
        }
        if (n) std::memcpy(out_block, p, n);
        out_fill = n;
        return {};
    }

    err flush() override {
        if (!lower) return closed_error();
        if (out_fill) {
            uint8_t b[block];
            std::memcpy(b, out_block, out_fill);
            std::memset(b + out_fill, pad_octet, block - out_fill);
            out_fill = 0;
            if (auto e = aes.encrypt(b, block)) return e;
            if (auto e = lower->write(b, block)) return e;
        }
        return lower->flush();
    }

    err read(void* buf, size_t n) override {
        if (!lower) return closed_error();
        auto p = static_cast<uint8_t*>(buf);
        size_t have = std::min(n, block - in_pos);
        if (have) std::memcpy(p, in_block + in_pos, have);
        in_pos += have;
        p += have;
        n -= have;
        // Whole blocks go straight into the caller's buffer; the lower stream
        // gives the same octets it would give block by block.
        if (size_t whole = n / block * block) {
            if (auto e = lower->read(p, whole)) return e;
            if (auto e = aes.decrypt(p, whole)) return e;
            p += whole;
            n -= whole;
        }
        if (n) {
            if (auto e = lower->read(in_block, block)) return e;
            if (auto e = aes.decrypt(in_block, block)) return e;
            std::memcpy(p, in_block, n);
            in_pos = n;
        }
        return {};
    }

    // Deciphered octets still held (other than the filler that pads a block)
    // can be read at once; only an empty block asks the lower stream.
    int wait_readable(int seconds) override {
        if (!lower) return 0;
        for (size_t i = in_pos; i < block; ++i)
            if (in_block[i] != pad_octet) return 1;
        return lower->wait_readable(seconds);
    }

    void close() override {
        if (!lower) return;
        // A partial block is not sent: a message always ends with a flush.
        out_fill = 0;
        lower->close();
        lower.reset();
    }
};

}  // namespace

stream_ptr open_cipher_stream(stream_ptr& lower, std::string_view key_text) {
    uint8_t key[16];
    if (!lower || !parse_key(key_text, key)) return nullptr;
    std::unique_ptr<cipher_stream> s;
    try {
        s = std::make_unique<cipher_stream>();
        s->batch.resize(batch_bytes);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    if (s->aes.open(key)) return nullptr;
    s->lower = std::move(lower);
    return s;
}

}  // namespace zp
