// server.h - the reference monitoring server: its options, the state its
// connection threads share, one conversation per connection, and the accept
// loop. Not part of the agent: the tests and the demonstration run it against
// the real agent on loopback.
//
// Whatever a peer sends, a conversation ends with the connection closed and
// the server goes on; nothing a peer sends is trusted (every list and text is
// bounded by the readers of server_messages.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "protocol/bignum.h"
#include "protocol/stream.h"
#include "tools/zpserver/agent_store.h"
#include "tools/zpserver/results.h"
#include "tools/zpserver/server_messages.h"

namespace zp::server {

// A fault the server puts into its replies, for tests of the agent:
//   nack            a negotiate_nack instead of the reply
//   wrong-tag       the reply's identifier replaced by an unused message tag
//   definite-length the reply's outer value sent with a definite length
//   garbage         random octets instead of the first enciphered message
//   close           half the reply sent, then the connection closed
//   slow            the reply held back for slow_seconds
//   withhold-ack    checkin_resp with checkinAck false (counting only
//                   check-ins that carry results)
//   filler          endless filler octets (0x19) instead of the reply, until
//                   the agent gives up or the conversation limit
//   drip            the reply one octet at a time, drip_ms apart
// `phase` names the reply it hits (server_offers, dh, public, key, sporadic,
// auth, auth_response, configure_resp, checkin_resp, server_time_resp,
// downtime_resp, rescan_resp, h_w_scan_resp, upgrade_resp, or "any");
// `count` is how often it fires (-1: every time).
struct fault {
    std::string kind;
    std::string phase;
    int count = -1;
};

// The kinds above; parse_fault refuses others.
// Text form "kind[:phase[:count]]"; a missing phase takes the kind's usual one
// (nack: server_offers, garbage: auth, anything else: checkin_resp).
err parse_fault(const std::string& text, fault& out);

struct server_options {
    std::string address = "127.0.0.1";
    uint16_t port = 3241;
    std::string state_dir = "zpserver-state";  // empty: keep keys in memory only
    std::string results_path;                  // empty or "-": standard output
    int summary = -1;                          // -1: when standard error is a terminal
    int32_t version = 0x0203;
    std::string modulus_hex;                   // empty: the 1024-bit group of RFC 2409
    std::string generator_hex = "02";
    int32_t check_frequency = 60;
    std::optional<std::string> log_rule;  // clause of the one rule of advanced log checks
    std::vector<std::string> groups;      // top-level groups configured (empty: every one)
    int32_t checkin_frequency = 60;
    std::vector<std::pair<std::string, int32_t>> cluster;  // server list sent to agents
    std::optional<std::vector<std::string>> alert_groups;
    std::string host_id;                       // empty: derived from name and domain
    std::string upgrade_file;                  // empty: no upgrade offered
    std::vector<std::pair<std::string, std::string>> actions;  // group, action id
    bool refuse_requests = false;              // downtime and rescan answered with failure
    std::string nack_reason = "Not accepted by this server";
    int slow_seconds = 2;
    int drip_ms = 1000;
    // Added to every configured tree: a group "log" with log_checks advanced
    // log checks of log_rules rules each, all with the clause log_clause.
    int log_checks = 0;
    int log_rules = 0;
    std::string log_clause;
    int io_timeout = 60;
    int conversation_limit = 600;              // seconds one connection may last
    int max_connections = 16;                  // at once; more are closed at once
    int verbosity = 1;                         // log threshold (0 debug, 1 info, 2 warnings)
    std::vector<fault> faults;
};

// Parses the command line (argv[0] is skipped). On a bad option returns its
// text; `help` is set for -h/--help. Texts name the option.
err parse_options(int argc, char** argv, server_options& out, bool& help);
// The option summary printed by --help.
const char* usage_text();

// What the connection threads share. Made once by the accept loop (or a test).
class server_state {
public:
    // Fails when the group parameters are not valid hexadecimal or zero.
    static err create(const server_options& opt, std::unique_ptr<server_state>& out);

    const server_options& options() const { return opt_; }
    const bignum& modulus() const { return *p_; }
    const bignum& generator() const { return *g_; }
    agent_store& store() { return store_; }
    result_log& results() { return results_; }
    summary& table() { return table_; }

    // True when a fault of `kind` is set for `phase` and still has firings
    // left (each true answer uses one).
    bool fire(const char* kind, const char* phase);

    // Per-agent facts of this run (not kept in the state directory).
    struct agent_run {
        int checkins = 0;
        bool actions_sent = false;
        bool upgrade_taken = false;
    };
    // Runs `fn` on the agent's run record under the lock.
    template <class F>
    auto with_run(const std::string& name, const std::string& domain, F fn) {
        std::lock_guard lk(mu_);
        return fn(runs_[{name, domain}]);
    }

    // Conversations that ended: all, and those that ran to their end.
    std::atomic<int> conversations{0};
    std::atomic<int> completed{0};

    // Use create(), which also checks the group parameters.
    explicit server_state(const server_options& opt) : opt_(opt), store_(opt.state_dir) {}

private:
    server_options opt_;
    bignum_ptr p_, g_;
    agent_store store_;
    result_log results_;
    summary table_;
    std::mutex mu_;
    std::vector<int> fired_;  // per fault: times fired
    std::map<std::pair<std::string, std::string>, agent_run> runs_;
};

// Runs one conversation on an accepted connection and closes it. Returns none
// when the conversation ran to its end, else the text it ended with (also
// logged). Any thread.
err serve_connection(server_state& st, stream_ptr conn);

// The configured tree the policy gives an agent: every uploaded check with
// the server's frequency and the thresholds chosen at upload, grouped as
// uploaded. With a log rule, advanced log checks split at line feeds and
// record, as a warning, every line that matches it.
// Only checks under the top-level `groups` are configured (empty: all).
std::vector<conf_group> configured_tree(const agent_record& rec, int32_t frequency, const std::vector<std::string>& groups,
                                        const std::optional<std::string>& log_rule = std::nullopt);
// The checks of an uploaded scan tree (actions left out).
std::vector<known_check> uploaded_checks(const std::vector<scan_group>& groups);

// Listens, prints "listening on ADDRESS:PORT" on standard output (and tells
// `listening`, when given, the port), and serves connections (one thread
// each, at most max_connections at once; more are closed at once) until
// `stop` becomes true; then waits for the conversations that still run.
// Returns the listen error, if any.
err run_server(const server_options& opt, const std::atomic<bool>& stop,
               const std::function<void(uint16_t port)>& listening = {});

}  // namespace zp::server
