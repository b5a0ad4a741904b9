// cipher_stream_test.cpp - the cipher stream over a memory stream: block
// gathering, 0x19 padding, whole-block reads, key texts and lower errors.
#include <gtest/gtest.h>

#include <numeric>
#include <random>

#include "protocol/cipher_stream.h"
#include "protocol/crypto.h"
#include "protocol/memory_stream.h"

namespace zp {
namespace {

const char* key_text = "000102030405060708090a0b0c0d0e0f";

// What stays visible of the lower stream after the cipher stream released it.
struct far_end {
    bool closed = false;
    size_t written = 0;
};

// A memory stream that writes through to a far_end.
struct closing_stream final : ProtocolStream {
    memory_stream mem;
    far_end* far;
    explicit closing_stream(far_end* f) : far(f) {}
    err read(void* buf, size_t n) override { return mem.read(buf, n); }
    err write(const void* buf, size_t n) override {
        far->written += n;
        return mem.write(buf, n);
    }
    err flush() override { return mem.flush(); }
    int wait_readable(int s) override { return mem.wait_readable(s); }
    void close() override { far->closed = true; }
};

// The blocks under the key 00 01 .. 0F, as the far side sees them.
std::vector<uint8_t> aes_blocks(std::vector<uint8_t> data, bool encrypt) {
    uint8_t key[16];
    std::iota(key, key + 16, uint8_t{0});
    aes128 aes;
    EXPECT_FALSE(aes.open(key));
    EXPECT_FALSE(encrypt ? aes.encrypt(data.data(), data.size()) : aes.decrypt(data.data(), data.size()));
    return data;
}

std::vector<uint8_t> pattern(size_t n, uint8_t start = 1) {
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), start);
    return v;
}

class cipher_stream_test : public ::testing::Test {
protected:
    far_end far;
    closing_stream* lower = nullptr;  // owned by the cipher stream

    stream_ptr open(std::vector<uint8_t> input = {}, const char* key = key_text) {
        auto rec = std::make_unique<closing_stream>(&far);
        rec->mem.input = std::move(input);
        lower = rec.get();
        stream_ptr base = std::move(rec);
        auto s = open_cipher_stream(base, key);
        EXPECT_FALSE(base);
        return s;
    }
};

TEST_F(cipher_stream_test, WritesSendWholeBlocksPaddedAtFlushAndReadBack) {
    // Every size up to 40 once, then random sizes; a flush now and then.
    std::mt19937 rng(7);
    auto s = open();
    std::vector<uint8_t> all;
    for (size_t i = 0; i < 300; ++i) {
        size_t n = i <= 40 ? i : rng() % (i % 10 == 0 ? 9000 : 50);
        auto piece = pattern(n, static_cast<uint8_t>(i));
        all.insert(all.end(), piece.begin(), piece.end());
        ASSERT_FALSE(s->write(piece.data(), n));
        ASSERT_EQ(lower->mem.output.size(), all.size() / 16 * 16) << "partial block sent before flush";
        if (i <= 40 || i % 37 == 0) {
            ASSERT_FALSE(s->flush());
            ASSERT_FALSE(s->flush());  // nothing held: no further pad block
            all.resize((all.size() + 15) / 16 * 16, 0x19);
        }
    }
    ASSERT_FALSE(s->flush());
    all.resize((all.size() + 15) / 16 * 16, 0x19);
    EXPECT_EQ(lower->mem.output, aes_blocks(all, true));
    auto back = open(lower->mem.output);  // the far side reads the same bytes back
    std::vector<uint8_t> got(all.size());
    ASSERT_FALSE(back->read(got.data(), got.size()));
    EXPECT_EQ(got, all);
}

TEST_F(cipher_stream_test, ReadsConsumeWholeBlocksOnlyAndNeverFlush) {
    auto data = pattern(112);
    auto s = open(aes_blocks(data, true));
    uint8_t held[3] = {1, 2, 3};
    ASSERT_FALSE(s->write(held, 3));
    std::vector<uint8_t> got(112);
    size_t at = 0;
    for (size_t n : {1u, 15u, 5u, 30u, 0u, 29u, 32u}) {
        ASSERT_FALSE(s->read(got.data() + at, n));
        at += n;
        EXPECT_EQ(lower->mem.pos, (at + 15) / 16 * 16) << "after " << at << " bytes";
    }
    EXPECT_EQ(got, data);
    EXPECT_TRUE(lower->mem.output.empty());
    EXPECT_EQ(s->wait_readable(0), 0);
}

TEST_F(cipher_stream_test, HeldDecipheredBytesAreReadableWithoutTheLowerStream) {
    // One block: 5 octets of a message, 3 of the next, then filler.
    std::vector<uint8_t> data = pattern(8);
    data.resize(16, 0x19);
    auto s = open(aes_blocks(data, true));
    uint8_t got[5];
    ASSERT_FALSE(s->read(got, 5));
    EXPECT_EQ(s->wait_readable(0), 1) << "three octets are already deciphered";
    ASSERT_FALSE(s->read(got, 3));
    EXPECT_EQ(s->wait_readable(0), 0) << "only filler is left and the lower stream is empty";
}

TEST_F(cipher_stream_test, LowerErrorsAreReturnedUnchanged) {
    auto s = open(aes_blocks(pattern(16), true));
    std::vector<uint8_t> in(17);
    EXPECT_EQ(s->wait_readable(0), 1);
    EXPECT_EQ(s->read(in.data(), 17).message(), "Peer closed connection unexpectedly");
    auto data = pattern(40);
    auto w = open();
    lower->mem.fail_write_after = 16;
    ASSERT_FALSE(w->write(data.data(), 16));
    EXPECT_EQ(w->write(data.data(), 20).message(), "memory stream write failed");
    auto f = open();
    lower->mem.fail_write_after = 1;
    ASSERT_FALSE(f->write(data.data(), 3));
    EXPECT_EQ(f->flush().message(), "memory stream write failed");
}

TEST_F(cipher_stream_test, CloseDropsPartialBlockAndDestroyingClosesTheLowerStream) {
    auto s = open();
    auto data = pattern(20);
    ASSERT_FALSE(s->write(data.data(), 20));
    s->close();
    EXPECT_TRUE(far.closed);
    EXPECT_EQ(far.written, 16u);
    EXPECT_TRUE(s->write(data.data(), 1)) << "write after close";
    far.closed = false;
    open().reset();  // destroying the stream closes the lower one
    EXPECT_TRUE(far.closed);
}

TEST_F(cipher_stream_test, KeyTextIsThirtyTwoHexDigitsOfEitherCase) {
    auto up = open({}, "000102030405060708090A0B0C0D0E0F");
    ASSERT_TRUE(up);
    ASSERT_FALSE(up->write(pattern(16).data(), 16));
    EXPECT_EQ(lower->mem.output, aes_blocks(pattern(16), true));
    for (const char* bad : {"000102030405060708090a0b0c0d0e0g", "000102030405060708090a0b0c0d0e0",
                            "000102030405060708090a0b0c0d0e0f0", ""}) {
        stream_ptr base = std::make_unique<memory_stream>();
        EXPECT_FALSE(open_cipher_stream(base, bad)) << bad;
        EXPECT_TRUE(base) << "the caller keeps the lower stream: " << bad;
    }
    stream_ptr none;
    EXPECT_FALSE(open_cipher_stream(none, key_text));
}

}  // namespace
}  // namespace zp
