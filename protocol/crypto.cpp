// crypto.cpp - MD5, AES-128-ECB and strong random bytes through libgcrypt, and
// the hallmark and challenge-response derivations.
#include "protocol/crypto.h"

#include <gcrypt.h>

#include <mutex>

#include "core/fatal.h"

namespace zp {

namespace {

std::once_flag crypto_once;

void init_libgcrypt() {
    // The version check is what initialises the library; secure memory is not
    // needed for session keys that live in the variables store anyway.
    if (!gcry_check_version(GCRYPT_VERSION))
        fatal("libgcrypt is older than %s", GCRYPT_VERSION);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
}

err gcry_failure(const char* what, gcry_error_t e) {
    return format_error("%s: %s", what, gcry_strerror(e));
}

}  // namespace

void crypto_init() {
    std::call_once(crypto_once, init_libgcrypt);
}

void secure_random(void* buf, size_t n) {
    crypto_init();
    if (n) gcry_randomize(buf, n, GCRY_STRONG_RANDOM);
}

md5::md5() {
    crypto_init();
    gcry_md_hd_t h = nullptr;
    if (gcry_error_t e = gcry_md_open(&h, GCRY_MD_MD5, 0)) {
        open_error_ = gcry_failure("Error opening MD5", e);
        return;
    }
    h_ = h;
}

md5::~md5() {
    if (h_) gcry_md_close(h_);
}

void md5::update(const void* data, size_t n) {
    if (h_ && n) gcry_md_write(h_, data, n);
}

err md5::finish(md5_digest& out) {
    if (!h_) return open_error_.ok() ? err::text("MD5 not open") : err::text(open_error_.message());
    const unsigned char* d = gcry_md_read(h_, GCRY_MD_MD5);
    if (!d) return err::text("Error reading MD5 digest");
    std::copy(d, d + out.size(), out.begin());
    return {};
}

aes128::~aes128() {
    if (h_) gcry_cipher_close(h_);
}

err aes128::open(const uint8_t (&key)[16]) {
    crypto_init();
    if (h_) {
        gcry_cipher_close(h_);
        h_ = nullptr;
    }
    gcry_cipher_hd_t h = nullptr;
    if (gcry_error_t e = gcry_cipher_open(&h, GCRY_CIPHER_AES128, GCRY_CIPHER_MODE_ECB, 0))
        return gcry_failure("Error opening AES-128", e);
    if (gcry_error_t e = gcry_cipher_setkey(h, key, sizeof key)) {
        gcry_cipher_close(h);
        return gcry_failure("Error setting the AES-128 key", e);
    }
    h_ = h;
    return {};
}

err aes128::encrypt(uint8_t* data, size_t n) {
    if (!h_) return err::text("AES-128 not open");
    if (gcry_error_t e = gcry_cipher_encrypt(h_, data, n, nullptr, 0))
        return gcry_failure("Error enciphering", e);
    return {};
}

err aes128::decrypt(uint8_t* data, size_t n) {
    if (!h_) return err::text("AES-128 not open");
    if (gcry_error_t e = gcry_cipher_decrypt(h_, data, n, nullptr, 0))
        return gcry_failure("Error deciphering", e);
    return {};
}

std::string digest_hex(const md5_digest& d) {
    static const char hex[] = "0123456789abcdef";
    std::string s;
    s.reserve(2 * d.size());
    for (uint8_t b : d) {
        s += hex[b >> 4];
        s += hex[b & 15];
    }
    return s;
}

err make_hallmark(std::string_view key_text, const bignum& sporadic, std::string& hallmark) {
    md5 m;
    m.update(key_text);
    m.update(bn_to_decimal(sporadic));
    md5_digest d;
    if (auto e = m.finish(d)) return e;
    hallmark = digest_hex(d);
    return {};
}

err challenge_response(std::string_view hallmark, const bignum& challenge,
                       bignum_ptr& response) {
    md5 m;
    m.update(hallmark);
    m.update(bn_to_decimal(challenge));
    md5_digest d;
    if (auto e = m.finish(d)) return e;
    bignum_ptr r = bn_new(0, 4);
    if (!r) return err::text("Out of memory during challenge / response");
    if (auto e = bn_set_data(*r, d)) return e;
    response = std::move(r);
    return {};
}

bignum_ptr make_challenge(const random_source& rnd) {
    return bn_poor_random(16, rnd);
}

}  // namespace zp
