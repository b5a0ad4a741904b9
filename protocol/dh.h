// dh.h - the Diffie-Hellman key agreement with the parameters the server
// chooses: the agent's key pair with its check, and the shared secret.
#pragma once

#include "core/err.h"
#include "protocol/bignum.h"

namespace zp {

// The most words a number may have and still be sent back to the server.
inline constexpr size_t dh_max_words = 35;
// How often a key pair is drawn before the key exchange gives up.
inline constexpr int dh_max_draws = 64;

// Draws a private exponent of 4 * (words of g) random bytes and computes
// public = g^private mod p, drawing again while public^2 mod p is 0, 1 or
// public itself. On success sets pub and priv; on failure they are unchanged.
// Parameters that could not be answered on the wire (more than dh_max_words
// words) or are zero are refused before any exponentiation.
err generate_key_pair(const bignum& p, const bignum& g, bignum_ptr& pub, bignum_ptr& priv);
err generate_key_pair(const bignum& p, const bignum& g, bignum_ptr& pub, bignum_ptr& priv,
                      const random_source& rnd);

// peer_public^priv mod p; null when memory runs out or p is zero or larger
// than dh_max_words.
bignum_ptr shared_secret(const bignum& peer_public, const bignum& priv, const bignum& p);

}  // namespace zp
