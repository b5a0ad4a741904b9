// dh.cpp - the agent's Diffie-Hellman key pair and shared secret.
#include "protocol/dh.h"

#include "protocol/crypto.h"

namespace zp {

err generate_key_pair(const bignum& p, const bignum& g, bignum_ptr& pub, bignum_ptr& priv) {
    return generate_key_pair(p, g, pub, priv, secure_random);
}

err generate_key_pair(const bignum& p, const bignum& g, bignum_ptr& pub, bignum_ptr& priv,
                      const random_source& rnd) {
    if (p.used == 0 || g.used == 0 || p.used > dh_max_words || g.used > dh_max_words)
        return err::text("Received invalid modulus/generator from server");
    for (int draw = 0; draw < dh_max_draws; ++draw) {
        bignum_ptr x = bn_poor_random(4 * g.used, rnd);
        if (!x) return err::text("Error getting a random number for the key exchange");
        bignum_ptr y = bn_mod_exp(g, *x, p);
        if (!y) return err::text("Error calculating public part of shared secret key");
        bignum_ptr two = bn_new(2, 1);
        if (!two) return err::text("Error allocating primary memory for key check");
        bignum_ptr square = bn_mod_exp(*y, *two, p);
        if (!square) return err::text("Error allocating secondary memory for key check");
        // A public value whose square is 0, 1 or itself lies in a tiny
        // subgroup and would give away the secret.
        if (bn_equals_small(*square, 1) || bn_equals_small(*square, 0) || bn_equals(*square, *y))
            continue;
        pub = std::move(y);
        priv = std::move(x);
        return {};
    }
    return err::text("Error getting a random number for the key exchange");
}

bignum_ptr shared_secret(const bignum& peer_public, const bignum& priv, const bignum& p) {
    if (p.used == 0 || p.used > dh_max_words) return nullptr;
    return bn_mod_exp(peer_public, priv, p);
}

}  // namespace zp
