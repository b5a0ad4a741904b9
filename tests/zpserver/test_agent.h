// test_agent.h - the agent's side of a connection, built from the agent's own
// message writers, readers and derivations, and a server on a loopback port
// served by a thread of the test, for the tests of the reference server.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <thread>

#include "core/log.h"
#include "protocol/cipher_stream.h"
#include "protocol/crypto.h"
#include "protocol/dh.h"
#include "protocol/messages.h"
#include "protocol/socket.h"
#include "tests/support/files.h"
#include "tools/zpserver/net.h"
#include "tools/zpserver/server.h"

namespace zp::test {

// Options for a server keeping its state and results in `d`.
inline server::server_options options_in(const temp_env& d) {
    server::server_options o;
    o.state_dir = d.path("state");
    o.results_path = d.path("results.jsonl");
    o.verbosity = 3;
    o.check_frequency = 5;
    o.checkin_frequency = 7;
    return o;
}

// A server whose connections are served one at a time by a thread of the test.
struct test_server {
    std::unique_ptr<server::server_state> state;
    server::listener l;
    std::atomic<bool> stop{false};
    std::thread thread;
    std::atomic<int> served{0};

    explicit test_server(server::server_options opt) {
        crypto_init();
        set_log_level(opt.verbosity);
        opt.io_timeout = std::min(opt.io_timeout, 5);
        EXPECT_FALSE(server::server_state::create(opt, state));
        EXPECT_FALSE(state->results().open(opt.results_path));
        EXPECT_FALSE(l.open("127.0.0.1", 0));
        thread = std::thread([this] {
            while (!stop.load()) {
                stream_ptr c;
                if (l.accept(50, state->options().io_timeout, state->options().conversation_limit, c)) break;
                if (c) {
                    (void)server::serve_connection(*state, std::move(c));
                    ++served;
                }
            }
        });
    }
    ~test_server() {
        stop.store(true);
        thread.join();
    }
    // Waits (bounded) until `n` connections have been served.
    bool wait_served(int n) {
        for (int i = 0; i < 500 && served.load() < n; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return served.load() >= n;
    }
};

struct agent_keys {
    std::optional<std::string> hostkey, hallmark;
};

// One agent connection: connect, then set up as the agent does.
struct test_agent {
    std::string name = "host1", domain = "lab";
    agent_keys keys;
    stream_ptr s;
    int32_t server_version = 0;
    server_private_key offered;

    err connect(uint16_t port) {
        set_connect_timeout(5);
        set_io_timeout(5);
        uint32_t a = 0;
        EXPECT_TRUE(server::parse_ipv4("127.0.0.1", a));
        return open_socket_stream(a, port, protocol_socket_flags, s);
    }

    // The agent's hello, announcing the keys it holds, and the server's offer.
    err hello(client_wants_reply& reply) {
        client_private_key k{name, domain, "", keys.hostkey.has_value(), keys.hostkey && keys.hallmark, false};
        if (auto e = write_client_wants(*s)) return e;
        if (auto e = write_client_private_key(*s, k)) return e;
        if (auto e = write_end_of_contents(*s)) return e;
        if (auto e = s->flush()) return e;
        return read_client_wants_reply(*s, reply);
    }

    // Everything up to the authenticated cipher stream. `nack` receives the
    // server's reason when it refuses.
    err set_up(std::string* nack = nullptr) {
        client_wants_reply reply;
        if (auto e = hello(reply)) return e;
        if (reply.nack) {
            if (nack) *nack = reply.reason;
            return err::text("Server rejected us");
        }
        server_version = reply.version;
        offered = reply.key;
        if (auto e = write_negotiate_ack(*s)) return e;
        if (auto e = s->flush()) return e;
        if (!reply.key.hasHallmark) {
            if (!reply.key.hasMasterKey) {
                dh_parameters_reply dh;
                if (auto e = read_dh_parameters_reply(*s, dh)) return e;
                if (dh.nack) return err::text(dh.reason);
                bignum_ptr pub, priv, server_pub;
                if (auto e = generate_key_pair(*dh.modulus, *dh.generator, pub, priv)) return e;
                if (auto e = write_sporadic_bignum(*s, *pub)) return e;
                if (auto e = s->flush()) return e;
                if (auto e = read_sporadic_bignum(*s, server_pub)) return e;
                auto secret = shared_secret(*server_pub, *priv, *dh.modulus);
                if (!secret) return err::text("Error calculating secret key");
                if (server_version > 512) {
                    bool refused = false;
                    std::string reason;
                    if (auto e = read_key_reply(*s, server_version, refused, reason)) return e;
                    if (refused) return err::text(reason);
                }
                keys.hostkey = bn_to_decimal(*secret);
            }
            bignum_ptr sporadic;
            if (auto e = read_sporadic_bignum(*s, sporadic)) return e;
            std::string h;
            if (auto e = make_hallmark(*keys.hostkey, *sporadic, h)) return e;
            keys.hallmark = h;
        }
        stream_ptr c = open_cipher_stream(s, *keys.hallmark);
        if (!c) return err::text("no cipher");
        s = std::move(c);
        bignum_ptr c1, r1;
        if (auto e = read_auth_challenge(*s, c1)) return e;
        if (auto e = challenge_response(*keys.hallmark, *c1, r1)) return e;
        if (auto e = write_auth_response(*s, *r1)) return e;
        if (auto e = s->flush()) return e;
        bignum_ptr c2 = make_challenge(), r2, expected;
        if (auto e = write_auth_challenge(*s, *c2)) return e;
        if (auto e = s->flush()) return e;
        if (auto e = read_auth_response(*s, r2)) return e;
        if (auto e = challenge_response(*keys.hallmark, *c2, expected)) return e;
        if (!bn_equals(*r2, *expected)) return err::text("Server failed authentication!");
        return {};
    }

    err open(uint16_t port, std::string* nack = nullptr) {
        if (auto e = connect(port)) return e;
        return set_up(nack);
    }
    void close() {
        if (s) s->close();
        s.reset();
    }
};

}  // namespace zp::test
