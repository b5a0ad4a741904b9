// crypto.h - the digest, block cipher and random bytes of the session set-up
// (MD5 and AES-128 from libgcrypt), and the hallmark and challenge-response
// derivations built on them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/err.h"
#include "protocol/bignum.h"

struct gcry_md_handle;
struct gcry_cipher_handle;

namespace zp {

// Initialises libgcrypt for the process. Runs once however often and from
// however many threads it is called; every other function here calls it.
void crypto_init();

// Fills buf with n bytes of libgcrypt's strong random. Any thread.
void secure_random(void* buf, size_t n);

using md5_digest = std::array<uint8_t, 16>;

// An MD5 computation. If the digest cannot be opened (a libgcrypt that refuses
// MD5), update does nothing and finish returns the error.
class md5 {
public:
    md5();
    ~md5();
    md5(const md5&) = delete;
    md5& operator=(const md5&) = delete;

    void update(const void* data, size_t n);
    void update(std::string_view text) { update(text.data(), text.size()); }
    // The digest of everything updated so far; out is unchanged on failure.
    err finish(md5_digest& out);

private:
    gcry_md_handle* h_ = nullptr;
    err open_error_;
};

// AES-128 in ECB mode with one key, one handle for both directions.
class aes128 {
public:
    aes128() = default;
    ~aes128();
    aes128(const aes128&) = delete;
    aes128& operator=(const aes128&) = delete;

    // Sets the key; any earlier key is dropped.
    err open(const uint8_t (&key)[16]);
    // Enciphers or deciphers n bytes in place; n is a multiple of 16 and
    // open succeeded.
    err encrypt(uint8_t* data, size_t n);
    err decrypt(uint8_t* data, size_t n);

private:
    gcry_cipher_handle* h_ = nullptr;
};

// The 32 lower-case hexadecimal characters of a digest, high nibble first.
std::string digest_hex(const md5_digest& d);

// The session key: hex(MD5(key_text || decimal text of sporadic)), where
// key_text is the master key (the decimal text of the agreed secret).
// hallmark is unchanged on failure.
err make_hallmark(std::string_view key_text, const bignum& sporadic, std::string& hallmark);

// The answer to a challenge: the number whose big-endian bytes are
// MD5(hallmark || decimal text of challenge). response is unchanged on failure.
err challenge_response(std::string_view hallmark, const bignum& challenge,
                       bignum_ptr& response);

// The agent's own challenge: 16 random bytes as a number; null when memory
// runs out.
bignum_ptr make_challenge(const random_source& rnd = secure_random);

}  // namespace zp
