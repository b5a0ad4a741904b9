// conversation.cpp - one connection from the server's side: the agent's
// hello, the key exchange or hallmark renewal, the switch to the cipher
// stream, the mutual challenge, and then the requests of the conversation
// (registration, check-in, downtime, rescan, upgrade) until the agent closes.
#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "core/clock.h"
#include "core/log.h"
#include "protocol/cipher_stream.h"
#include "protocol/crypto.h"
#include "protocol/dh.h"
#include "protocol/memory_stream.h"
#include "tools/zpserver/server.h"

namespace zp::server {

namespace {

// Most requests one connection may make after authentication.
constexpr int max_requests = 64;
// An unused message number: its tag replaces the reply's in the wrong-tag fault.
constexpr tag_code unused_tag = application_tag(20);

// The connection's socket stream, passed through unless a reply is dripped.
struct drip_stream final : ProtocolStream {
    stream_ptr lower;
    int gap_ms = 1000;
    bool on = false;

    err read(void* buf, size_t n) override { return lower->read(buf, n); }
    err write(const void* buf, size_t n) override {
        if (!on) return lower->write(buf, n);
        auto p = static_cast<const uint8_t*>(buf);
        for (size_t i = 0; i < n; ++i) {
            if (auto e = lower->write(p + i, 1)) return e;
            if (auto e = lower->flush()) return e;
            std::this_thread::sleep_for(std::chrono::milliseconds(gap_ms));
        }
        return {};
    }
    err flush() override { return lower->flush(); }
    int wait_readable(int seconds) override { return lower->wait_readable(seconds); }
    void close() override {
        if (lower) lower->close();
    }
};

struct conn {
    server_state& st;
    stream_ptr s;  // the socket stream, then the cipher stream over it
    drip_stream* drip = nullptr;  // below s, owned by it
    std::string name, domain;
    std::string label, domain_label;  // the same, fit for the log
};

// The text with every octet outside printable ASCII as '?', at most 80 octets.
std::string printable(std::string_view text) {
    std::string out(text.substr(0, 80));
    for (auto& ch : out) {
        if (static_cast<unsigned char>(ch) < 0x20 || static_cast<unsigned char>(ch) > 0x7E) ch = '?';
    }
    return out;
}

// The reply is over and the connection must close (a nack or a fault).
err ended(const char* why) { return format_error("Conversation ended: %s", why); }

size_t identifier_length(const std::vector<uint8_t>& b) {
    if (b.empty()) return 0;
    if ((b[0] & 0x1F) != 0x1F) return 1;
    size_t i = 1;
    while (i < b.size() && (b[i] & 0x80)) ++i;
    return i < b.size() ? i + 1 : b.size();
}

// The same value with a definite length: identifier, length, contents without
// the end-of-contents.
std::vector<uint8_t> to_definite(const std::vector<uint8_t>& b) {
    size_t id = identifier_length(b);
    if (b.size() < id + 3 || b[id] != 0x80) return b;
    memory_stream m;
    m.output.assign(b.begin(), b.begin() + static_cast<long>(id));
    (void)write_length(m, static_cast<uint32_t>(b.size() - id - 3));
    m.output.insert(m.output.end(), b.begin() + static_cast<long>(id) + 1, b.end() - 2);
    return m.output;
}

std::vector<uint8_t> with_wrong_tag(const std::vector<uint8_t>& b) {
    memory_stream m;
    (void)write_tag(m, unused_tag);
    m.output.insert(m.output.end(), b.begin() + static_cast<long>(identifier_length(b)), b.end());
    return m.output;
}

void hold_back(conn& c, const char* phase) {
    if (c.st.fire("slow", phase)) {
        log(0, "Holding back %s for %d s", phase, c.st.options().slow_seconds);
        std::this_thread::sleep_for(std::chrono::seconds(c.st.options().slow_seconds));
    }
}

// Encodes a reply, puts the faults set for `phase` into it, sends it and
// flushes. `nack_ok`: the agent accepts a negotiate_nack in this place.
err send(conn& c, const char* phase, const std::function<err(ProtocolStream&)>& writer, bool nack_ok = false) {
    hold_back(c, phase);
    memory_stream m;
    bool nack = nack_ok && c.st.fire("nack", phase);
    if (nack) {
        if (auto e = write_negotiate_nack(m, c.st.options().nack_reason)) return e;
    } else if (auto e = writer(m)) {
        return e;
    }
    std::vector<uint8_t> out = std::move(m.output);
    if (c.st.fire("filler", phase)) {
        // Until the agent gives up (the write fails) or the connection's limit.
        std::vector<uint8_t> filler(4096, filler_octet);
        while (!c.s->write(filler.data(), filler.size()) && !c.s->flush()) {
        }
        return ended("endless filler sent");
    }
    if (c.st.fire("wrong-tag", phase)) out = with_wrong_tag(out);
    if (c.st.fire("definite-length", phase)) out = to_definite(out);
    if (c.st.fire("close", phase)) {
        // Whole cipher blocks of the first half reach the agent; the rest is dropped.
        (void)c.s->write(out.data(), out.size() / 2);
        c.s->close();
        return ended("closed in the middle of a reply");
    }
    const bool drip = c.drip && c.st.fire("drip", phase);
    if (drip) c.drip->on = true;
    err e = c.s->write(out.data(), out.size());
    if (!e) e = c.s->flush();
    if (drip) c.drip->on = false;
    if (e) return e;
    if (nack) return ended("negotiate_nack sent");
    return {};
}

std::string derived_host_id(const std::string& name, const std::string& domain) {
    std::string digest = identity_digest(name, domain);
    return digest.empty() ? "host" : "host-" + digest.substr(0, 12);
}

// ---- set-up ----

err key_exchange(conn& c) {
    const auto& st = c.st;
    if (auto e = send(c, "dh", [&](ProtocolStream& s) {
            return write_diffie_hellmann_parameters(s, st.modulus(), st.generator());
        }, true))
        return e;
    bignum_ptr agent_public;
    if (auto e = read_sporadic_bignum(*c.s, agent_public)) return e;
    // A public value outside 2..p-2 would give away the secret.
    auto two = bn_new(2, 1);
    if (!two) return err::text("Out of memory");
    if (bn_less(*agent_public, *two) || !bn_less(*agent_public, st.modulus()))
        return err::text("Agent sent an unusable public value");
    // p - 1 (its square is 1) would leave the secret at 1 or p - 1.
    bignum_ptr square = bn_mod_exp(*agent_public, *two, st.modulus());
    if (!square || bn_equals_small(*square, 1)) return err::text("Agent sent an unusable public value");
    bignum_ptr priv = bn_poor_random(32);
    if (!priv) return err::text("Error getting a random number for the key exchange");
    bignum_ptr pub = bn_mod_exp(st.generator(), *priv, st.modulus());
    if (!pub) return err::text("Error calculating public part of shared secret key");
    if (auto e = send(c, "public", [&](ProtocolStream& s) { return write_sporadic_bignum(s, *pub); })) return e;
    bignum_ptr secret = shared_secret(*agent_public, *priv, st.modulus());
    if (!secret) return err::text("Error calculating secret key");
    if (st.options().version > 512) {
        if (auto e = send(c, "key", [](ProtocolStream& s) { return write_negotiate_ack(s); }, true)) return e;
    }
    std::string key = bn_to_decimal(*secret);
    log(1, "Agreed a master key with %s in %s", c.label.c_str(), c.domain_label.c_str());
    return c.st.store().update(c.name, c.domain, [&](agent_record& rec) {
        rec.hostkey = key;
        rec.hallmark.reset();
    });
}

err new_hallmark(conn& c, const std::string& master_key, std::string& hallmark) {
    bignum_ptr sporadic = bn_poor_random(16);
    if (!sporadic) return err::text("Out of memory during hallmark negotiation");
    std::string h;
    if (auto e = make_hallmark(master_key, *sporadic, h)) return e;
    if (auto e = send(c, "sporadic", [&](ProtocolStream& s) { return write_sporadic_bignum(s, *sporadic); })) return e;
    log(0, "New hallmark for %s in %s", c.label.c_str(), c.domain_label.c_str());
    hallmark = h;
    return c.st.store().update(c.name, c.domain, [&](agent_record& rec) { rec.hallmark = h; });
}

err authenticate(conn& c, const std::string& hallmark) {
    if (c.st.fire("garbage", "auth")) {
        hold_back(c, "auth");
        uint8_t junk[48];
        secure_random(junk, sizeof junk);
        (void)c.s->write(junk, sizeof junk);
        (void)c.s->flush();
        // Let the agent read it before the connection goes.
        (void)c.s->wait_readable(5);
        return ended("garbage sent after the cipher switch");
    }
    stream_ptr cipher = open_cipher_stream(c.s, hallmark);
    if (!cipher) return err::text("Could not open the cipher stream");
    c.s = std::move(cipher);

    bignum_ptr challenge = make_challenge();
    if (!challenge) return err::text("Out of memory during challenge / response");
    if (auto e = send(c, "auth", [&](ProtocolStream& s) { return write_auth_challenge(s, *challenge); })) return e;
    bignum_ptr answer, expected;
    if (auto e = read_auth_response(*c.s, answer)) return e;
    if (auto e = challenge_response(hallmark, *challenge, expected)) return e;
    if (!bn_equals(*answer, *expected)) return err::text("Agent failed authentication");

    bignum_ptr agent_challenge, response;
    if (auto e = read_auth_challenge(*c.s, agent_challenge)) return e;
    if (auto e = challenge_response(hallmark, *agent_challenge, response)) return e;
    return send(c, "auth_response", [&](ProtocolStream& s) { return write_auth_response(s, *response); });
}

err set_up(conn& c) {
    auto& st = c.st;
    client_hello hello;
    if (auto e = read_client_wants(*c.s, hello)) return e;
    c.name = hello.key.name;
    c.domain = hello.key.domain;
    c.label = printable(c.name);
    c.domain_label = printable(c.domain);
    log(0, "Hello from %s in %s (version %x, master key %d, hallmark %d)", c.label.c_str(), c.domain_label.c_str(),
        static_cast<unsigned>(hello.version), hello.key.hasMasterKey, hello.key.hasHallmark);
    agent_record rec = st.store().get(c.name, c.domain);
    // Keys count only when both sides hold them.
    bool has_master = rec.hostkey && hello.key.hasMasterKey;
    bool has_hallmark = has_master && rec.hallmark && hello.key.hasHallmark;
    if (auto e = send(c, "server_offers", [&](ProtocolStream& s) {
            return write_server_offers(s, st.options().version, has_master, has_hallmark);
        }, true))
        return e;
    if (auto e = read_negotiate_ack(*c.s)) return e;
    std::string hallmark = has_hallmark ? *rec.hallmark : std::string();
    if (!has_hallmark) {
        if (!has_master) {
            if (auto e = key_exchange(c)) return e;
            rec = st.store().get(c.name, c.domain);
        }
        if (!rec.hostkey) return err::text("No master key for this agent");
        if (auto e = new_hallmark(c, *rec.hostkey, hallmark)) return e;
    }
    return authenticate(c, hallmark);
}

// ---- requests ----

err on_configure(conn& c, tag_code tag) {
    auto& st = c.st;
    const auto& opt = st.options();
    configure_request req;
    if (auto e = read_configure_req(*c.s, req, tag)) return e;
    agent_record rec;
    auto e = st.store().update(c.name, c.domain, [&](agent_record& r) {
        if (!req.groups.empty()) {
            r.checks = uploaded_checks(req.groups);
            r.scanned = true;
        }
        if (r.host_id.empty()) r.host_id = opt.host_id.empty() ? derived_host_id(c.name, c.domain) : opt.host_id;
    }, &rec);
    if (e) log(3, "Cannot store the record of %s: %s", c.label.c_str(), e.c_str());
    if (!req.host_info.empty()) {
        st.table().set_host_info(c.name, req.host_info);
        st.results().write_line(host_info_json(c.name, c.domain, req.host_info));
        for (const auto& [label, value] : req.host_info) log(0, "Host %s: %s %s", c.label.c_str(), label.c_str(), value.c_str());
    }
    if (!req.groups.empty()) log(1, "Hardware scan of %s: %zu checks", c.label.c_str(), rec.checks.size());
    configure_reply reply;
    reply.id = rec.host_id;
    reply.checkin_frequency = opt.checkin_frequency;
    reply.servers = opt.cluster;
    reply.tree = configured_tree(rec, opt.check_frequency, opt.groups, opt.log_rule);
    if (opt.log_checks > 0) {
        conf_group g{"log", {}, {}};
        conf_check k;
        k.frequency = opt.check_frequency;
        k.conf = 4;
        k.rules.assign(static_cast<size_t>(opt.log_rules), opt.log_clause);
        for (int i = 0; i < opt.log_checks; ++i) {
            k.id = strprintf("rules%d", i);
            g.checks.push_back(k);
        }
        reply.tree.push_back(std::move(g));
    }
    reply.alert_groups = opt.alert_groups;
    log(1, "Configured %s (%s): %zu checks", c.label.c_str(), rec.host_id.c_str(), rec.checks.size());
    return send(c, "configure_resp", [&](ProtocolStream& s) { return write_configure_resp(s, reply); }, true);
}

err on_checkin(conn& c, tag_code tag) {
    auto& st = c.st;
    const auto& opt = st.options();
    std::vector<check_result> results;
    if (auto e = read_checkin_req(*c.s, results, tag)) return e;
    checkin_reply reply;
    // Only check-ins that carry results count for the withheld acknowledgement.
    reply.ack = results.empty() || !st.fire("withhold-ack", "checkin_resp");
    agent_record rec = st.store().get(c.name, c.domain);
    if (!rec.scanned) {
        reply.conf_changed = true;
        reply.hw_scan = true;
    }
    st.with_run(c.name, c.domain, [&](server_state::agent_run& run) {
        ++run.checkins;
        reply.upgrade_available = !opt.upgrade_file.empty() && !run.upgrade_taken;
        if (!opt.actions.empty() && !run.actions_sent) {
            for (const auto& action : opt.actions) {
                const std::string& group = action.first;
                const std::string& id = action.second;
                auto it = std::find_if(reply.actions.begin(), reply.actions.end(),
                                       [&](const action_group& g) { return g.id == group; });
                if (it == reply.actions.end()) {
                    reply.actions.push_back({group, {}, {}});
                    it = reply.actions.end() - 1;
                }
                it->actions.push_back(id);
            }
            run.actions_sent = true;
        }
    });
    st.results().write(c.name, c.domain, results, reply.ack);
    st.table().add(c.name, results);
    log(1, "Check-in from %s: %zu results%s", c.label.c_str(), results.size(), reply.ack ? "" : " (not acknowledged)");
    return send(c, "checkin_resp", [&](ProtocolStream& s) { return write_checkin_resp(s, reply); });
}

err on_time(conn& c, tag_code tag) {
    int32_t sec, usec;
    if (auto e = read_server_time_req(*c.s, sec, usec, tag)) return e;
    auto now = static_cast<int32_t>(time_now());
    return send(c, "server_time_resp", [&](ProtocolStream& s) { return write_server_time_resp(s, now, 0); });
}

err on_downtime(conn& c, tag_code tag) {
    int32_t minutes;
    std::string comment;
    if (auto e = read_downtime_req(*c.s, minutes, comment, tag)) return e;
    bool ok = !c.st.options().refuse_requests && minutes > 0;
    std::string message = ok ? strprintf("downtime of %d minutes for %s", minutes, c.name.c_str())
                             : (c.st.options().refuse_requests ? std::string("downtime refused")
                                                              : strprintf("invalid downtime of %d minutes", minutes));
    log(1, "Downtime request from %s: %d minutes (%s): %s", c.label.c_str(), minutes, printable(comment).c_str(),
        ok ? "granted" : "refused");
    return send(c, "downtime_resp", [&](ProtocolStream& s) { return write_downtime_resp(s, ok, message); });
}

err on_rescan(conn& c, tag_code tag) {
    if (auto e = read_rescan_req(*c.s, tag)) return e;
    bool ok = !c.st.options().refuse_requests;
    if (ok) {
        if (auto e = c.st.store().update(c.name, c.domain, [](agent_record& r) { r.scanned = false; }))
            log(3, "Cannot store the record of %s: %s", c.label.c_str(), e.c_str());
    }
    std::string message = ok ? strprintf("rescan of %s at its next check-in", c.name.c_str())
                             : std::string("rescan refused");
    log(1, "Rescan request from %s: %s", c.label.c_str(), ok ? "granted" : "refused");
    return send(c, "rescan_resp", [&](ProtocolStream& s) { return write_rescan_resp(s, ok, message); });
}

err on_h_w_scan(conn& c, tag_code tag) {
    if (auto e = read_h_w_scan_req(*c.s, tag)) return e;
    return send(c, "h_w_scan_resp", [](ProtocolStream& s) { return write_h_w_scan_resp(s, false); });
}

err on_upgrade(conn& c, tag_code tag) {
    auto& st = c.st;
    package_info p;
    if (auto e = read_upgrade_req(*c.s, p, tag)) return e;
    const std::string& path = st.options().upgrade_file;
    if (path.empty()) return err::text("Upgrade asked for, but none is offered");
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return format_error("Error opening %s", path.c_str());
    auto end = in.tellg();
    if (end < 0 || static_cast<uint64_t>(end) > 0xFFFFFFF0ull) return format_error("Upgrade file too large: %s", path.c_str());
    auto size = static_cast<uint32_t>(end);
    in.seekg(0);
    log(1, "Sending upgrade of %u bytes to %s (build %d)", size, c.label.c_str(), p.build);

    hold_back(c, "upgrade_resp");
    memory_stream head;
    if (auto e = write_upgrade_resp_head(head, size)) return e;
    std::vector<uint8_t> h = std::move(head.output);
    bool definite = st.fire("definite-length", "upgrade_resp");
    if (definite) {
        // The whole value's length: what follows the outer length octets, without an end-of-contents.
        size_t inner = h.size() - 2 + size;
        memory_stream m;
        (void)write_tag(m, tag_upgrade_resp);
        (void)write_length(m, static_cast<uint32_t>(inner));
        m.output.insert(m.output.end(), h.begin() + 2, h.end());
        h = std::move(m.output);
    }
    if (st.fire("wrong-tag", "upgrade_resp")) h = with_wrong_tag(h);
    bool cut = st.fire("close", "upgrade_resp");
    if (auto e = c.s->write(h.data(), h.size())) return e;
    uint64_t left = cut ? size / 2 : size;
    std::vector<char> piece(64 * 1024);
    while (left) {
        size_t n = left < piece.size() ? static_cast<size_t>(left) : piece.size();
        if (!in.read(piece.data(), static_cast<std::streamsize>(n))) return format_error("Error reading %s", path.c_str());
        if (auto e = c.s->write(piece.data(), n)) return e;
        left -= n;
    }
    if (cut) {
        c.s->close();
        return ended("closed in the middle of the upgrade");
    }
    if (!definite) {
        if (auto e = write_end_of_contents(*c.s)) return e;
    }
    if (auto e = c.s->flush()) return e;
    st.with_run(c.name, c.domain, [](server_state::agent_run& run) { run.upgrade_taken = true; });
    return {};
}

err converse(conn& c) {
    if (auto e = set_up(c)) return e;
    log(0, "Authenticated %s in %s", c.label.c_str(), c.domain_label.c_str());
    for (int i = 0; i < max_requests; ++i) {
        tag_code tag;
        if (auto e = read_tag(*c.s, tag)) {
            // Closing between requests is how the agent ends a conversation.
            if (i > 0 && e.message() == "Peer closed connection unexpectedly") return {};
            return e;
        }
        err e;
        switch (tag) {
        case tag_configure_req: e = on_configure(c, tag); break;
        case tag_checkin_req: e = on_checkin(c, tag); break;
        case tag_server_time_req: e = on_time(c, tag); break;
        case tag_downtime_req: e = on_downtime(c, tag); break;
        case tag_rescan_req: e = on_rescan(c, tag); break;
        case tag_h_w_scan_req: e = on_h_w_scan(c, tag); break;
        case tag_upgrade_req: e = on_upgrade(c, tag); break;
        default: return format_error("Unexpected request (tag %d)", static_cast<int>(tag));
        }
        if (e) return e;
    }
    return err::text("Too many requests on one connection");
}

}  // namespace

err serve_connection(server_state& st, stream_ptr s) {
    auto drip = std::make_unique<drip_stream>();
    drip->lower = std::move(s);
    drip->gap_ms = st.options().drip_ms;
    conn c{st, nullptr, nullptr, {}, {}};
    c.drip = drip.get();
    c.s = std::move(drip);
    err e = converse(c);
    if (c.s) c.s->close();
    ++st.conversations;
    if (e) {
        log(e.message().rfind("Conversation ended", 0) == 0 ? 0 : 2, "Connection from %s%s%s: %s",
            c.name.empty() ? "unknown agent" : c.label.c_str(), c.domain.empty() ? "" : " in ",
            c.domain_label.c_str(), e.c_str());
        return e;
    }
    ++st.completed;
    return {};
}

}  // namespace zp::server
