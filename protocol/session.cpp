// session.cpp - connecting, key agreement, hallmark and mutual authentication.
#include "protocol/session.h"

#include "core/log.h"
#include "core/variables.h"
#include "protocol/cipher_stream.h"
#include "protocol/crypto.h"
#include "protocol/dh.h"
#include "protocol/messages.h"
#include "protocol/socket.h"

namespace zp {

namespace {

constexpr int key_exchange_timeout = 600;
constexpr int max_hallmark_failures = 3;

const char* const var_hostkey = "hostkey";
const char* const var_hallmark = "hallmark";

// Restores the I/O time-out when the key exchange's long read is over.
class io_timeout_guard {
public:
    explicit io_timeout_guard(int seconds) : saved_(io_timeout()) { set_io_timeout(seconds); }
    ~io_timeout_guard() { set_io_timeout(saved_); }
    io_timeout_guard(const io_timeout_guard&) = delete;
    io_timeout_guard& operator=(const io_timeout_guard&) = delete;

private:
    int saved_;
};

// Key exchange with the server's group: our public value out, theirs in, the
// shared secret becomes the master key "hostkey". `key_text` gets its text.
err exchange_keys(ProtocolStream& s, std::string& key_text) {
    dh_parameters_reply params;
    if (auto e = read_dh_parameters_reply(s, params)) return e;
    if (params.nack) return err::text(params.reason);
    if (bn_equals_small(*params.modulus, 0) || bn_equals_small(*params.generator, 0))
        return err::text("Received invalid modulus/generator from server");

    bignum_ptr pub, priv;
    if (auto e = generate_key_pair(*params.modulus, *params.generator, pub, priv)) return e;
    if (auto e = write_sporadic_bignum(s, *pub)) return e;
    if (auto e = s.flush()) return e;

    bignum_ptr peer;
    {
        // The server may take its time computing its own key pair.
        io_timeout_guard guard(key_exchange_timeout);
        if (auto e = read_sporadic_bignum(s, peer)) return e;
    }
    bignum_ptr secret = shared_secret(*peer, *priv, *params.modulus);
    if (!secret) return err::text("Error calculating secret key");

    if (session().server_version > 512) {
        bool nack = false;
        std::string reason;
        if (auto e = read_key_reply(s, session().server_version, nack, reason)) return e;
        if (nack) return format_error("Server refused key: %s", reason.c_str());
    }
    std::string text = bn_to_decimal(*secret);
    if (auto e = set_variable(var_hostkey, text)) return e;
    if (auto e = flush_variables(false)) log(3, "Flush error: %s", e.c_str());
    key_text = std::move(text);
    session().hallmark_failures = 0;
    return {};
}

// A new hallmark from the master key and the server's sporadic number.
err derive_hallmark(ProtocolStream& s, const std::string& key_text, std::string& hallmark) {
    bignum_ptr sporadic;
    if (auto e = read_sporadic_bignum(s, sporadic)) return e;
    std::string h;
    if (auto e = make_hallmark(key_text, *sporadic, h)) return e;
    if (auto e = set_variable(var_hallmark, h)) return e;
    if (auto e = flush_variables(true)) log(3, "Flush error: %s", e.c_str());
    hallmark = std::move(h);
    return {};
}

// The server challenges us first; then we challenge the server.
err challenge_and_response(ProtocolStream& s, const std::string& hallmark) {
    auto& st = session();
    bignum_ptr c1;
    if (auto e = read_auth_challenge(s, c1)) {
        if (st.hallmark_failures < max_hallmark_failures) {
            ++st.hallmark_failures;
            delete_variable(var_hallmark);
            return format_error("Protocol error (%s), probably hallmark is out of sync", e.c_str());
        }
        return format_error("Protocol error (%s), probably agent/server key mismatch", e.c_str());
    }
    st.hallmark_failures = 0;
    bignum_ptr answer;
    if (auto e = challenge_response(hallmark, *c1, answer)) return e;
    if (auto e = write_auth_response(s, *answer)) return e;
    if (auto e = s.flush()) return e;

    bignum_ptr c2 = make_challenge();
    if (!c2) return err::text("Out of memory during challenge / response");
    if (auto e = write_auth_challenge(s, *c2)) return e;
    if (auto e = s.flush()) return e;
    bignum_ptr r2;
    if (auto e = read_auth_response(s, r2)) {
        // A stop cut the wait short: the server said nothing against the hallmark.
        if (interrupted_by_stop(e)) return e;
        delete_variable(var_hallmark);
        return format_error("Server rejected challenge response (%s) - will re-negotiate hallmark", e.c_str());
    }
    bignum_ptr expected;
    if (auto e = challenge_response(hallmark, *c2, expected)) return e;
    if (!bn_equals(*r2, *expected)) return err::text("Server failed authentication!");
    return {};
}

}  // namespace

session_state& session() {
    static session_state st;
    return st;
}

bool compatible_version(int32_t server_version) { return ((protocol_version ^ server_version) & 0xFF00) == 0; }

bool current_server_address(const config& c, std::string& host, uint16_t& port) {
    if (c.servers.empty()) return false;
    int i = current_server();
    if (i < 0 || i >= c.server_count()) i = 0;
    const server_entry& entry = c.servers[static_cast<size_t>(i)];
    host = entry.host;
    port = entry.port ? entry.port : c.server_port;
    return true;
}

err connect_server(const config& c, stream_ptr& out) {
    std::string host;
    uint16_t port = 0;
    if (!current_server_address(c, host, port)) return err::text("No server configured");
    uint32_t address;
    if (auto e = resolve_host(host, address)) return e;
    stream_ptr s;
    if (auto e = open_socket_stream(address, port, protocol_socket_flags, s)) return e;
    if (!s) return err::text("socket_create returned no error, but we didn't receive an io");
    out = std::move(s);
    return {};
}

err authenticate(const config& c, stream_ptr& s) {
    auto& st = session();
    ProtocolStream& io = *s;

    client_private_key key;
    key.name = c.name.value_or("");
    key.domain = c.domain;
    key.id = c.host_id.value_or("");
    key.hasMasterKey = variable_value(var_hostkey).has_value();
    key.hasHallmark = key.hasMasterKey && variable_value(var_hallmark).has_value();
    if (auto e = write_client_wants(io)) return e;
    if (auto e = write_client_private_key(io, key)) return e;
    if (auto e = write_end_of_contents(io)) return e;
    if (auto e = io.flush()) return e;

    client_wants_reply offer;
    if (auto e = read_client_wants_reply(io, offer)) return e;
    if (offer.nack) {
        log(2, "Server said: \"%s\"", offer.reason.c_str());
        return err::text("Server rejected us");
    }
    if (!compatible_version(offer.version))
        return err::text(
            "Zerpal Server does not support our protocol version. Upgrade the Zerpal Server, or downgrade the "
            "Zerpal Agent.");
    st.server_version = offer.version;

    if (key.hasMasterKey && !offer.key.hasMasterKey)
        return format_error(
            "The Zerpal Server does not have a master key for the \"%s\" node in the \"%s\" domain - release the "
            "key on the agent!",
            key.name.c_str(), key.domain.c_str());
    if (auto e = write_negotiate_ack(io)) return e;
    if (auto e = io.flush()) return e;

    std::string hallmark;
    if (offer.key.hasHallmark) {
        std::optional<std::string> stored = variable_value(var_hallmark);
        if (!stored) return err::text("Error retrieving hallmark in mutual authentication phase");
        hallmark = *stored;
    } else {
        std::string key_text;
        if (offer.key.hasMasterKey) {
            std::optional<std::string> stored = variable_value(var_hostkey);
            if (!stored) return err::text("No master key while doing hallmark negotiation!");
            key_text = *stored;
        } else if (auto e = exchange_keys(io, key_text)) {
            return e;
        }
        if (auto e = derive_hallmark(io, key_text, hallmark)) return e;
    }

    stream_ptr enciphered = open_cipher_stream(s, hallmark);
    if (!enciphered) {
        // A hallmark that is no key (a damaged variables file) is derived anew
        // next time.
        delete_variable(var_hallmark);
        return err::text("Protocol error (hallmark is not a key), probably hallmark is out of sync");
    }
    s = std::move(enciphered);
    return challenge_and_response(*s, hallmark);
}

err setup_connection(const config& c, stream_ptr& out) {
    stream_ptr s;
    if (auto e = connect_server(c, s)) return e;
    if (auto e = authenticate(c, s)) {
        s->close();
        return e;
    }
    out = std::move(s);
    return {};
}

void fail_over(const config& c) {
    int count = c.server_count();
    if (count < 2) return;
    current_server() = (current_server() + 1) % count;
    server_changed() = true;
}

}  // namespace zp
