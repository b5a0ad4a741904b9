// options.cpp - the server's command line, its shared state and its faults.
#include "tools/zpserver/server.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace zp::server {

namespace {

// The 1024-bit MODP group of RFC 2409 (generator 2).
constexpr const char* modp_1024 =
    "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD1"
    "29024E088A67CC74020BBEA63B139B22514A08798E3404DD"
    "EF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245"
    "E485B576625E7EC6F44C42E9A637ED6B0BFF5CB6F406B7ED"
    "EE386BFB5A899FA5AE9F24117C4B1FE649286651ECE65381"
    "FFFFFFFFFFFFFFFF";

const char* const fault_kinds[] = {"nack", "wrong-tag", "definite-length", "garbage", "close", "slow",
                                   "withhold-ack", "filler", "drip"};
const char* const fault_phases[] = {"server_offers", "dh", "public", "key", "sporadic", "auth",
                                    "auth_response", "configure_resp", "checkin_resp", "server_time_resp",
                                    "downtime_resp", "rescan_resp", "h_w_scan_resp", "upgrade_resp", "any"};

bool one_of(const std::string& v, const char* const* list, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (v == list[i]) return true;
    }
    return false;
}

bool parse_long(const std::string& text, long minimum, long maximum, long& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 0);
    if (errno || !end || *end || v < minimum || v > maximum) return false;
    out = v;
    return true;
}

err parse_hex_bignum(const std::string& hex, bignum_ptr& out) {
    std::string h;
    for (char c : hex) {
        if (c == ' ' || c == ':') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return format_error("Bad hexadecimal number: %s", hex.c_str());
        h += c;
    }
    if (h.empty()) return format_error("Bad hexadecimal number: %s", hex.c_str());
    if (h.size() % 2) h.insert(h.begin(), '0');
    std::vector<uint8_t> bytes(h.size() / 2);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(std::stoi(h.substr(2 * i, 2), nullptr, 16));
    auto n = bn_new(0, (bytes.size() + 3) / 4);
    if (!n) return err::text("Out of memory");
    if (auto e = bn_set_data(*n, bytes)) return e;
    out = std::move(n);
    return {};
}

err parse_cluster(const std::string& text, std::vector<std::pair<std::string, int32_t>>& out) {
    std::vector<std::pair<std::string, int32_t>> list;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find(',', pos);
        if (end == std::string::npos) end = text.size();
        std::string item = text.substr(pos, end - pos);
        pos = end + 1;
        if (item.empty()) continue;
        size_t colon = item.rfind(':');
        long port = 0;
        if (colon == std::string::npos || colon == 0 || !parse_long(item.substr(colon + 1), 1, 65535, port))
            return format_error("Bad server in --cluster: %s", item.c_str());
        list.emplace_back(item.substr(0, colon), static_cast<int32_t>(port));
    }
    out = std::move(list);
    return {};
}

}  // namespace

err parse_fault(const std::string& text, fault& out) {
    fault f;
    size_t a = text.find(':');
    f.kind = text.substr(0, a);
    if (!one_of(f.kind, fault_kinds, std::size(fault_kinds))) return format_error("Unknown fault: %s", text.c_str());
    if (a != std::string::npos) {
        size_t b = text.find(':', a + 1);
        f.phase = text.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
        if (b != std::string::npos) {
            long n;
            if (!parse_long(text.substr(b + 1), 1, 1000000, n)) return format_error("Bad fault count: %s", text.c_str());
            f.count = static_cast<int>(n);
        }
    }
    if (f.phase.empty()) {
        f.phase = f.kind == "nack" ? "server_offers" : f.kind == "garbage" ? "auth" : "checkin_resp";
    }
    if (!one_of(f.phase, fault_phases, std::size(fault_phases)))
        return format_error("Unknown fault phase: %s", text.c_str());
    // Some faults have only the places where the agent could meet them.
    static const char* const nack_phases[] = {"server_offers", "dh", "key", "configure_resp", "any"};
    if (f.kind == "nack" && !one_of(f.phase, nack_phases, std::size(nack_phases)))
        return format_error("The agent reads no negotiate_nack there: %s", text.c_str());
    if (f.kind == "garbage" && f.phase != "auth" && f.phase != "any")
        return format_error("Garbage is sent only after the cipher switch (auth): %s", text.c_str());
    if (f.kind == "withhold-ack" && f.phase != "checkin_resp" && f.phase != "any")
        return format_error("Only checkin_resp carries an acknowledgement: %s", text.c_str());
    out = std::move(f);
    return {};
}

const char* usage_text() {
    return "usage: zpserver [options]\n"
           "  -a, --address IP          listen address (127.0.0.1)\n"
           "  -p, --port N              port, 0 for any free one (3241)\n"
           "      --state-dir DIR       per-agent keys and scans (zpserver-state; empty: memory only)\n"
           "      --results FILE        JSON lines of received results (standard output;\n"
           "                            on a terminal the live table instead)\n"
           "      --summary, --no-summary  live table on standard error (on a terminal)\n"
           "      --server-version N    protocol version offered (0x0203)\n"
           "      --modulus HEX         key exchange modulus (1024-bit group of RFC 2409)\n"
           "      --generator HEX       key exchange generator (02)\n"
           "      --frequency N         seconds between runs of each configured check (60)\n"
           "      --checkin-frequency N seconds between check-ins (60)\n"
           "      --groups G,...        configure only the checks under these top-level groups\n"
           "      --log-rule CLAUSE     log checks split at line feeds and record matching lines as warnings\n"
           "      --cluster H:P,...     server list sent to agents\n"
           "      --alert-group ID      alert group sent to agents (repeatable)\n"
           "      --host-id ID          host id given to every agent\n"
           "      --upgrade-file FILE   offer this program file as an upgrade\n"
           "      --action GROUP/ID     agent action sent once to each agent (repeatable)\n"
           "      --refuse-requests     answer downtime and rescan requests with failure\n"
           "      --fault KIND[:PHASE[:COUNT]]  put a fault into replies (repeatable)\n"
           "                            kinds: nack wrong-tag definite-length garbage close slow withhold-ack\n"
           "                            filler drip\n"
           "                            (withhold-ack counts only check-ins that carry results)\n"
           "      --nack                same as --fault nack\n"
           "      --nack-reason TEXT    reason of negotiate_nack\n"
           "      --slow-seconds N      delay of the slow fault (2)\n"
           "      --drip-ms N           gap between the octets of the drip fault (1000)\n"
           "      --log-rules N:R:CLAUSE  add N advanced log checks of R rules with CLAUSE to every\n"
           "                            configuration (a group \"log\")\n"
           "      --io-timeout N        seconds a connection may stall (60)\n"
           "      --conversation-limit N  seconds one connection may last (600)\n"
           "      --max-connections N   connections served at once (16)\n"
           "  -v, --verbose             debug log; -q, --quiet: warnings only\n";
}

err parse_options(int argc, char** argv, server_options& out, bool& help) {
    server_options o = out;
    help = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool has_value = false;
        if (arg.rfind("--", 0) == 0) {
            size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                has_value = true;
            }
        }
        auto need = [&](std::string& v) -> err {
            if (has_value) {
                v = value;
                return {};
            }
            if (i + 1 >= argc) return format_error("Option %s needs a value", arg.c_str());
            v = argv[++i];
            return {};
        };
        auto number = [&](long minimum, long maximum, long& n) -> err {
            std::string v;
            if (auto e = need(v)) return e;
            if (!parse_long(v, minimum, maximum, n)) return format_error("Bad value for %s: %s", arg.c_str(), v.c_str());
            return {};
        };
        long n = 0;
        std::string v;
        if (arg == "-h" || arg == "--help") {
            help = true;
        } else if (arg == "-a" || arg == "--address") {
            if (auto e = need(o.address)) return e;
        } else if (arg == "-p" || arg == "--port") {
            if (auto e = number(0, 65535, n)) return e;
            o.port = static_cast<uint16_t>(n);
        } else if (arg == "--state-dir") {
            if (auto e = need(o.state_dir)) return e;
        } else if (arg == "--results") {
            if (auto e = need(o.results_path)) return e;
        } else if (arg == "--summary") {
            o.summary = 1;
        } else if (arg == "--no-summary") {
            o.summary = 0;
        } else if (arg == "--server-version") {
            if (auto e = number(0, 65535, n)) return e;
            o.version = static_cast<int32_t>(n);
        } else if (arg == "--modulus") {
            if (auto e = need(o.modulus_hex)) return e;
        } else if (arg == "--generator") {
            if (auto e = need(o.generator_hex)) return e;
        } else if (arg == "--frequency") {
            if (auto e = number(-1, 86400, n)) return e;
            o.check_frequency = static_cast<int32_t>(n);
        } else if (arg == "--groups") {
            if (auto e = need(v)) return e;
            o.groups.clear();
            for (size_t a = 0; a <= v.size();) {
                size_t b = std::min(v.find(',', a), v.size());
                if (b > a) o.groups.push_back(v.substr(a, b - a));
                a = b + 1;
            }
        } else if (arg == "--log-rule") {
            if (auto e = need(v)) return e;
            o.log_rule = v;
        } else if (arg == "--checkin-frequency") {
            if (auto e = number(-1, 86400, n)) return e;
            o.checkin_frequency = static_cast<int32_t>(n);
        } else if (arg == "--cluster") {
            if (auto e = need(v)) return e;
            if (auto e = parse_cluster(v, o.cluster)) return e;
        } else if (arg == "--alert-group") {
            if (auto e = need(v)) return e;
            if (!o.alert_groups) o.alert_groups.emplace();
            o.alert_groups->push_back(v);
        } else if (arg == "--host-id") {
            if (auto e = need(o.host_id)) return e;
        } else if (arg == "--upgrade-file") {
            if (auto e = need(o.upgrade_file)) return e;
        } else if (arg == "--action") {
            if (auto e = need(v)) return e;
            size_t slash = v.find('/');
            if (slash == std::string::npos || slash == 0 || slash + 1 == v.size())
                return format_error("Bad value for --action: %s", v.c_str());
            o.actions.emplace_back(v.substr(0, slash), v.substr(slash + 1));
        } else if (arg == "--refuse-requests") {
            o.refuse_requests = true;
        } else if (arg == "--fault") {
            if (auto e = need(v)) return e;
            fault f;
            if (auto e = parse_fault(v, f)) return e;
            o.faults.push_back(std::move(f));
        } else if (arg == "--nack") {
            o.faults.push_back({"nack", "server_offers", -1});
        } else if (arg == "--nack-reason") {
            if (auto e = need(o.nack_reason)) return e;
        } else if (arg == "--slow-seconds") {
            if (auto e = number(0, 3600, n)) return e;
            o.slow_seconds = static_cast<int>(n);
        } else if (arg == "--drip-ms") {
            if (auto e = number(1, 60000, n)) return e;
            o.drip_ms = static_cast<int>(n);
        } else if (arg == "--log-rules") {
            if (auto e = need(v)) return e;
            size_t a = v.find(':'), b = a == std::string::npos ? a : v.find(':', a + 1);
            long checks = 0, rules = 0;
            if (b == std::string::npos || !parse_long(v.substr(0, a), 1, 10000000, checks) ||
                !parse_long(v.substr(a + 1, b - a - 1), 0, 100000, rules) || b + 1 == v.size())
                return format_error("Bad value for --log-rules: %s", v.c_str());
            o.log_checks = static_cast<int>(checks);
            o.log_rules = static_cast<int>(rules);
            o.log_clause = v.substr(b + 1);
        } else if (arg == "--io-timeout") {
            if (auto e = number(1, 86400, n)) return e;
            o.io_timeout = static_cast<int>(n);
        } else if (arg == "--conversation-limit") {
            if (auto e = number(1, 86400, n)) return e;
            o.conversation_limit = static_cast<int>(n);
        } else if (arg == "--max-connections") {
            if (auto e = number(1, 1024, n)) return e;
            o.max_connections = static_cast<int>(n);
        } else if (arg == "-v" || arg == "--verbose") {
            o.verbosity = 0;
        } else if (arg == "-q" || arg == "--quiet") {
            o.verbosity = 2;
        } else {
            return format_error("Unknown option: %s", argv[i]);
        }
    }
    out = std::move(o);
    return {};
}

err server_state::create(const server_options& opt, std::unique_ptr<server_state>& out) {
    auto st = std::make_unique<server_state>(opt);
    if (auto e = parse_hex_bignum(opt.modulus_hex.empty() ? modp_1024 : opt.modulus_hex, st->p_)) return e;
    if (auto e = parse_hex_bignum(opt.generator_hex, st->g_)) return e;
    if (bn_equals_small(*st->p_, 0) || bn_equals_small(*st->g_, 0))
        return err::text("Modulus and generator must not be zero");
    st->fired_.assign(opt.faults.size(), 0);
    out = std::move(st);
    return {};
}

bool server_state::fire(const char* kind, const char* phase) {
    std::lock_guard lk(mu_);
    for (size_t i = 0; i < opt_.faults.size(); ++i) {
        const auto& f = opt_.faults[i];
        if (f.kind != kind || (f.phase != phase && f.phase != "any")) continue;
        if (f.count >= 0 && fired_[i] >= f.count) continue;
        ++fired_[i];
        return true;
    }
    return false;
}

}  // namespace zp::server
