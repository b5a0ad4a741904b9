// test_agent.h - the agent's side of a connection, made with the agent's own
// set-up, message writers and readers, and a server on a loopback port served
// by a thread of the test, for the tests of the reference server.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

#include "core/config.h"
#include "core/log.h"
#include "core/variables.h"
#include "protocol/crypto.h"
#include "protocol/messages.h"
#include "protocol/session.h"
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

// One agent connection, set up by the agent's own code with the keys in the
// process's variables store (emptied here, kept in a file of `d`).
struct test_agent {
    config c;
    stream_ptr s;

    explicit test_agent(const temp_env& d, const char* name = "host1") {
        c.name = name;
        c.domain = "lab";
        set_connect_timeout(5);
        set_io_timeout(5);
        clear_variables();
        set_variables_file(d.path("agent.variables"));
        session() = {};
        current_server() = 0;
    }

    err connect(uint16_t port) {
        c.servers = {{"127.0.0.1", port}};
        return connect_server(c, s);
    }
    err open(uint16_t port) {
        if (auto e = connect(port)) return e;
        return authenticate(c, s);
    }
    void close() {
        if (s) s->close();
        s.reset();
    }

    // A hello without keys, and the server's offer.
    err hello(client_wants_reply& reply) {
        if (auto e = write_client_wants(*s)) return e;
        if (auto e = write_client_private_key(*s, {*c.name, c.domain, "", false, false, false})) return e;
        if (auto e = write_end_of_contents(*s)) return e;
        if (auto e = s->flush()) return e;
        return read_client_wants_reply(*s, reply);
    }
};

}  // namespace zp::test
