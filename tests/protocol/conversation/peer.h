// peer.h - a scripted server for the conversation tests: a loopback listener
// that runs one script per accepted connection on its own thread, the
// server's side of the session set-up, a reader that takes any message apart
// into a value tree, and the test environment (temporary variables file, log
// capture, short time-outs).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "core/config.h"
#include "core/log.h"
#include "core/variables.h"
#include "protocol/cipher_stream.h"
#include "protocol/configure.h"
#include "protocol/crypto.h"
#include "protocol/dh.h"
#include "protocol/messages.h"
#include "protocol/session.h"
#include "protocol/socket.h"
#include "tests/protocol/wire.h"
#include "tests/support/files.h"
#include "tests/support/net.h"

namespace zp::test {

// ---------------------------------------------------------------------------
// The server's end of a connection: a blocking socket.
struct fd_stream final : ProtocolStream {
    explicit fd_stream(net::handle f) : fd(f) {}
    ~fd_stream() override { close(); }
    net::handle fd;

    err read(void* buf, size_t n) override { return all(static_cast<char*>(buf), n, false); }
    err write(const void* buf, size_t n) override {
        return all(static_cast<char*>(const_cast<void*>(buf)), n, true);
    }
    err all(char* p, size_t n, bool out) {
        while (n > 0) {
            long r = out ? net::send_some(fd, p, n) : net::recv_some(fd, p, n);
            if (r <= 0) return err::text("peer gone");
            p += r;
            n -= static_cast<size_t>(r);
        }
        return {};
    }
    err flush() override { return {}; }
    int wait_readable(int) override { return 1; }  // reads block anyway
    void close() override {
        if (fd == net::none) return;
        net::shutdown_both(fd);
        net::close(fd);
        fd = net::none;
    }
};

// A loopback listener. run() accepts one connection per script, in order, on
// a thread of its own; errors of the scripts are collected in `errors`, to be
// read after join().
class fake_server {
public:
    using script = std::function<err(stream_ptr& io)>;

    fake_server() : fd_(net::loopback_socket(port_, 8)) {}
    ~fake_server() {
        join();
        net::close(fd_);
    }
    uint16_t port() const { return port_; }

    void run(std::vector<script> scripts) {
        th_ = std::thread([this, scripts = std::move(scripts)] {
            for (const auto& s : scripts) {
                net::handle c = net::accept_within(fd_, 20000);
                if (c == net::none) {
                    if (!stopping) errors.push_back("no connection came");
                    return;
                }
                stream_ptr io = std::make_unique<fd_stream>(c);
                if (err e = s(io)) errors.push_back(e.message());
            }
        });
    }
    void join() {
        if (th_.joinable()) th_.join();
    }
    // Wakes run() from its wait for a connection; the scripts left go unused.
    void stop() {
        stopping = true;
        net::shutdown_both(fd_);
        join();
    }

    std::vector<std::string> errors;

private:
    std::atomic<bool> stopping{false};
    uint16_t port_ = 0;
    net::handle fd_ = net::none;
    std::thread th_;
};

// A port on which nobody listens.
inline uint16_t closed_port() {
    uint16_t port;
    net::close(net::loopback_socket(port));
    return port;
}

// ---------------------------------------------------------------------------
// Any message as a tree of values.
struct value {
    tag_code tag = 0;
    std::string data;           // contents of a primitive value
    std::vector<value> kids;    // members of a constructed value

    int64_t integer() const {
        int64_t v = data.empty() ? 0 : static_cast<int8_t>(data[0]);
        for (size_t i = 1; i < data.size(); ++i) v = v * 256 + static_cast<uint8_t>(data[i]);
        return v;
    }
};

inline err read_value(ProtocolStream& s, value& v, tag_code tag = 0, int depth = 0) {
    if (depth > 64) return err::text("too deep");
    if (!tag) {
        if (auto e = read_tag(s, tag)) return e;
    }
    v.tag = tag;
    uint32_t length;
    bool indefinite;
    if (auto e = read_length(s, length, indefinite)) return e;
    if (indefinite) {
        for (;;) {
            tag_code t;
            if (auto e = read_tag(s, t)) return e;
            if (t == BE_EOC) return read_length(s, length, indefinite);
            value kid;
            if (auto e = read_value(s, kid, t, depth + 1)) return e;
            v.kids.push_back(std::move(kid));
        }
    }
    v.data.resize(length);
    if (length) return s.read(v.data.data(), length);
    return {};
}

inline err send(ProtocolStream& s, const wire& w) {
    auto out = w.get();
    if (auto e = s.write(out.data(), out.size())) return e;
    return s.flush();
}

// Reads one message that must carry `tag`.
inline err read_request(ProtocolStream& s, tag_code tag, value* out = nullptr) {
    value v;
    if (auto e = read_value(s, v)) return e;
    if (v.tag != tag) return format_error("expected tag %u, got %u", tag, v.tag);
    if (out) *out = std::move(v);
    return {};
}

// ---------------------------------------------------------------------------
// The server's side of the session set-up.

// The server's memory of this agent's keys, and what the agent announced in
// its last client_wants.
struct server_keys {
    std::optional<std::string> hostkey;
    std::optional<std::string> hallmark;
    client_private_key got;
};

struct handshake_opts {
    int32_t version = 515;
    bool nack = false;                   // refuse the client_wants
    bool key_nack = false;               // refuse the agent's public value
    bool bad_response = false;           // answer the agent's challenge wrongly
    bool close_after_challenge = false;  // the agent is expected to fail on C1
    bool no_answer = false;              // close instead of answering the agent's challenge
};

inline err write_bignums(ProtocolStream& s, tag_code tag, std::initializer_list<const bignum*> nums) {
    if (auto e = write_constructed_start(s, tag)) return e;
    for (auto n : nums)
        if (auto e = write_bignum(s, *n)) return e;
    if (auto e = write_end_of_contents(s)) return e;
    return s.flush();
}

// Runs the server's side; on success `io` is the enciphered stream.
inline err serve_handshake(stream_ptr& io, server_keys& keys, const handshake_opts& o = {}) {
    ProtocolStream& s = *io;
    value wants;
    if (auto e = read_request(s, tag_client_wants, &wants)) return e;
    if (wants.kids.size() < 2 || wants.kids[1].kids.size() < 5) return err::text("short client_wants");
    const auto& k = wants.kids[1].kids;
    keys.got = {k[0].data, k[1].data, k[2].data, k[3].integer() != 0, k[4].integer() != 0};
    if (o.nack) return send(s, wire().start(tag_negotiate_nack).str("go away").end());
    bool m = keys.hostkey.has_value();
    bool h = keys.hallmark.has_value() && keys.got.hasHallmark;
    if (auto e = send(s, wire().start(tag_server_offers).i(o.version).start(tag_private_key).b(m).b(h).end().end()))
        return e;
    if (auto e = read_negotiate_ack(s)) return e;

    if (!m) {
        auto p = bn_new(4294967291u, 1);  // a prime: the key's strength is not under test here
        auto g = bn_new(2, 1);
        if (auto e = write_bignums(s, tag_diffie_hellmann_parameters, {p.get(), g.get()})) return e;
        bignum_ptr agent_pub, pub, priv;
        if (auto e = read_sporadic_bignum(s, agent_pub)) return e;
        if (auto e = generate_key_pair(*p, *g, pub, priv)) return e;
        if (auto e = write_bignums(s, tag_sporadic_bignum, {pub.get()})) return e;
        if (o.version > 512) {
            if (o.key_nack) return send(s, wire().start(tag_negotiate_nack).str("key refused").end());
            if (auto e = send(s, wire().start(tag_negotiate_ack).end())) return e;
        }
        keys.hostkey = bn_to_decimal(*shared_secret(*agent_pub, *priv, *p));
        keys.hallmark.reset();
        h = false;
    }
    if (!h) {
        auto sporadic = make_challenge();
        if (auto e = write_bignums(s, tag_sporadic_bignum, {sporadic.get()})) return e;
        std::string hm;
        if (auto e = make_hallmark(*keys.hostkey, *sporadic, hm)) return e;
        keys.hallmark = hm;
    }
    stream_ptr enc = open_cipher_stream(io, *keys.hallmark);
    if (!enc) return err::text("no cipher");
    io = std::move(enc);
    ProtocolStream& c = *io;
    auto c1 = make_challenge();
    if (auto e = write_bignums(c, tag_auth_challenge, {c1.get()})) return e;
    if (o.close_after_challenge) return {};
    bignum_ptr r1, expected;
    if (auto e = read_auth_response(c, r1)) return e;
    if (auto e = challenge_response(*keys.hallmark, *c1, expected)) return e;
    if (!bn_equals(*r1, *expected)) return err::text("agent failed authentication");
    bignum_ptr c2, answer;
    if (auto e = read_auth_challenge(c, c2)) return e;
    if (o.no_answer) return {};
    if (auto e = challenge_response(*keys.hallmark, *c2, answer)) return e;
    if (o.bad_response) answer = bn_new(12345, 1);
    return write_bignums(c, tag_auth_response, {answer.get()});
}

// A script: the set-up, then `then` on the enciphered stream.
inline fake_server::script after_handshake(server_keys& keys, std::function<err(ProtocolStream&)> then = {}) {
    return [&keys, then](stream_ptr& io) -> err {
        if (auto e = serve_handshake(io, keys)) return e;
        return then ? then(*io) : err();
    };
}

// Answers a server_time_req with `server_sec`.
inline err serve_time(ProtocolStream& s, int32_t server_sec) {
    if (auto e = read_request(s, tag_server_time_req)) return e;
    return send(s, wire().start(tag_server_time_resp).i(server_sec).i(0).end());
}

// What a hardware scan finds: one group with one check, and a group whose id
// is too long to upload.
inline devtree_list scanned_tree() {
    devtree_list t;
    auto phys = alloc_devnode();
    phys->id = "phys";
    add_devnodes(*devtree_child(t, "mem", std::string("Memory")), std::move(phys));
    devtree_child(t, std::string(257, 'g'), std::nullopt);
    return t;
}

// ---------------------------------------------------------------------------
// Test environment.

// A temporary directory for the variables file and the log, an empty
// variables store, fresh session state and short time-outs.
class conversation_fixture : public ::testing::Test {
protected:
    void SetUp() override {
        net::init();
        dir = make_temp_dir();
        for (const char* v : {"ZERPAL_CONF_DIR", "ZERPAL_USER_CONF_DIR", "ZERPAL_STATE_DIR", "ZERPAL_USER_STATE_DIR",
                              "ZERPAL_RUN_DIR"})
            set_env(v, dir);
        reg_base = unique_registry_base();
        if (!reg_base.empty()) set_env("ZERPAL_REG_BASE", reg_base);
        clear_variables();
        (void)set_variables_file(dir + "/vars");
        session() = session_state{};
        alert_groups().clear();
        hw_scan_notification() = true;
        set_io_timeout(20);
        set_connect_timeout(5);
        current_server() = 0;
        server_changed() = false;
        open_log(dir + "/agent.log");
        set_log_level(-1);
    }
    void TearDown() override {
        close_log();
        log_to_stderr();
        clear_variables();
        set_io_timeout(0);
        set_connect_timeout(0);
        std::filesystem::remove_all(dir);
#if defined(_WIN32)
        delete_registry_tree(reg_base);
#endif
    }

    config agent_config(std::initializer_list<uint16_t> ports) {
        config c;
        c.name = "host1";
        c.domain = "dom";
        for (uint16_t p : ports) c.servers.push_back({"127.0.0.1", p});
        return c;
    }

    // Runs `act` on a configuration naming a server that plays `scripts`, and
    // waits for the server; what went wrong on its side is in server_errors.
    template <class F>
    auto against(std::vector<fake_server::script> scripts, F act) {
        fake_server srv;
        srv.run(std::move(scripts));
        config c = agent_config({srv.port()});
        auto r = act(c);
        srv.join();
        server_errors = srv.errors;
        return r;
    }

    // Whether the log holds `line`.
    bool logged(const std::string& line) const {
        std::ifstream f(dir + "/agent.log");
        return std::string(std::istreambuf_iterator<char>(f), {}).find(line) != std::string::npos;
    }

    std::string dir;
    std::string reg_base;
    std::vector<std::string> server_errors;
};

}  // namespace zp::test
