// message_readers.h - runs one of the agent's message readers over a stream,
// chosen by a selector octet, the way the conversations read server replies.
// Shared by the fuzz target and the test that writes its seed corpus.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/codec.h"
#include "protocol/messages.h"
#include "protocol/messages_checkin.h"
#include "protocol/messages_conf.h"

namespace zp::fuzz {

enum reader_kind : uint8_t {
    rd_client_wants_reply,
    rd_dh_parameters_reply,
    rd_key_reply,
    rd_auth,
    rd_server_time_resp,
    rd_downtime_resp,
    rd_rescan_resp,
    rd_h_w_scan_resp,
    rd_upgrade_resp,
    rd_configure_resp,
    rd_checkin_resp,
    rd_skip_value,
    rd_count
};

// A rule clause parser stand-in: clauses beginning with "(" fail.
inline log_conf_hooks fuzz_hooks() {
    log_conf_hooks h;
    h.parse_rule = [](const std::string& clause, std::shared_ptr<log_cond>&) {
        return !clause.empty() && clause[0] == '(' ? err::text("parse error") : err();
    };
    return h;
}

// The configure_resp as registration reads it: leading members, the server
// list, the device tree, then either its end or the alert group list.
inline err read_configure_resp_whole(ProtocolStream& s) {
    configure_reply reply;
    if (auto e = read_configure_reply(s, reply)) return e;
    if (reply.nack) return {};
    tag_code tag;
    if (auto e = read_list_start(s, "registration")) return e;
    for (;;) {
        bool end = false;
        if (auto e = read_list_next(s, "registration", tag, end)) return e;
        if (end) break;
        std::string name;
        int32_t port;
        if (auto e = read_server_name_port(s, name, port, tag)) return e;
    }
    devtree_list tree;
    if (auto e = read_devtree_list(s, tree, nullptr, fuzz_hooks())) return e;
    if (auto e = read_tag(s, tag)) return e;
    if (tag == BE_EOC) return read_eoc_length(s, "List not terminated correctly");
    if (auto e = read_list_start(s, "registration", tag)) return e;
    for (;;) {
        bool end = false;
        if (auto e = read_list_next(s, "registration", tag, end)) return e;
        if (end) break;
        std::string group;
        if (auto e = read_alert_group(s, group, tag)) return e;
    }
    return skip_to_eol(s);
}

inline err read_checkin_resp_whole(ProtocolStream& s) {
    bool ack, changed, upgrade, scan;
    if (auto e = read_checkin_resp_incomplete(s, ack, changed, upgrade)) return e;
    devtree_list actions;
    if (auto e = read_action_conf_list(s, actions, nullptr)) return e;
    if (auto e = read_bool(s, scan)) return e;
    return skip_to_eol(s);
}

inline err read_message(uint8_t selector, ProtocolStream& s) {
    switch (selector % rd_count) {
    case rd_client_wants_reply: {
        client_wants_reply r;
        return read_client_wants_reply(s, r);
    }
    case rd_dh_parameters_reply: {
        dh_parameters_reply r;
        return read_dh_parameters_reply(s, r);
    }
    case rd_key_reply: {
        bool nack;
        std::string reason;
        if (auto e = read_key_reply(s, 0x0203, nack, reason)) return e;
        bignum_ptr n;
        return read_sporadic_bignum(s, n);
    }
    case rd_auth: {
        bignum_ptr n;
        if (auto e = read_auth_challenge(s, n)) return e;
        return read_auth_response(s, n);
    }
    case rd_server_time_resp: {
        int32_t sec, usec;
        return read_server_time_resp(s, sec, usec);
    }
    case rd_downtime_resp: {
        bool ok;
        std::string msg;
        return read_downtime_resp(s, ok, msg);
    }
    case rd_rescan_resp: {
        bool ok;
        std::string msg;
        return read_rescan_resp(s, ok, msg);
    }
    case rd_h_w_scan_resp:
        return read_h_w_scan_reply(s);
    case rd_upgrade_resp:
        return read_upgrade_resp(s, [](const uint8_t*, size_t) { return err(); });
    case rd_configure_resp:
        return read_configure_resp_whole(s);
    case rd_checkin_resp:
        return read_checkin_resp_whole(s);
    default: {
        if (auto e = skip_value(s)) return e;
        double d;
        return read_real(s, d);
    }
    }
}

}  // namespace zp::fuzz
