// server_messages.cpp - readers of the agent's messages and writers of the
// server's replies.
#include "tools/zpserver/server_messages.h"

#include <climits>

namespace zp::server {

namespace {

constexpr int32_t any_min = INT32_MIN;
constexpr int32_t any_max = INT32_MAX;

// Counts the records of one message against its limit.
struct budget {
    size_t left;
    err take(const char* reader) {
        if (left == 0) return format_error("Too many records in %s", reader);
        --left;
        return {};
    }
};

err read_five_ints(ProtocolStream& s, const char* record, package_info& out) {
    static const char* const names[5] = {"packageId", "majorVersion", "minorVersion", "buildNumber", "agentCaps"};
    int32_t v[5];
    for (int i = 0; i < 5; ++i) {
        if (auto e = read_signed_int(s, any_min, any_max, v[i]))
            return format_error("%s.%s: %s", record, names[i], e.c_str());
    }
    out = {v[0], v[1], v[2], v[3], v[4]};
    return {};
}

err read_empty_message(ProtocolStream& s, tag_code expected, const char* reader, tag_code tag) {
    if (auto e = read_record_start(s, expected, reader, tag)) return e;
    return skip_to_eol(s);
}

// A range value of a scanned check: REAL, or NULL for "none".
err read_range_value(ProtocolStream& s, std::optional<double>& out) {
    tag_code t;
    if (auto e = read_tag(s, t)) return e;
    if (t == BE_NULL) {
        if (auto e = read_null(s, t)) return e;
        out.reset();
        return {};
    }
    if (t != BE_REAL) return format_error("Unexpected tag (%d) in read_range_value", static_cast<int>(t));
    double d;
    if (auto e = read_real(s, d, t)) return e;
    out = d;
    return {};
}

err read_check(ProtocolStream& s, scan_check& out, tag_code tag) {
    if (auto e = read_record_start(s, BE_SEQ, "read_check", tag)) return e;
    scan_check c;
    if (auto e = read_string(s, 256, c.id)) return member_error("check.id", e);
    if (auto e = read_string(s, 256, c.name)) return member_error("check.name", e);
    if (auto e = read_string(s, 4096, c.comment)) return member_error("check.comment", e);
    if (auto e = read_enumerated(s, c.type, BE_ENUMERATED)) return member_error("check.type", e);
    if (auto e = read_string(s, 256, c.unit)) return member_error("check.unit", e);
    if (auto e = read_range_value(s, c.scan_value)) return member_error("check.scanValue", e);
    if (auto e = read_range_value(s, c.range_low)) return member_error("check.rangeLow", e);
    if (auto e = read_range_value(s, c.range_high)) return member_error("check.rangeHigh", e);
    if (auto e = read_signed_int(s, any_min, any_max, c.description)) return member_error("check.description", e);
    if (auto e = skip_to_eol(s)) return e;
    out = std::move(c);
    return {};
}

err read_check_list(ProtocolStream& s, std::vector<scan_check>& out, budget& b) {
    if (auto e = read_list_start(s, "read_check_list")) return e;
    std::vector<scan_check> checks;
    for (;;) {
        tag_code t = 0;
        bool end = false;
        if (auto e = read_list_next(s, "read_check_list", t, end)) return e;
        if (end) break;
        if (auto e = b.take("read_check_list")) return e;
        scan_check c;
        if (auto e = read_check(s, c, t)) return e;
        checks.push_back(std::move(c));
    }
    out = std::move(checks);
    return {};
}

err read_check_group_list(ProtocolStream& s, std::vector<scan_group>& out, budget& b, int depth);

err read_check_group(ProtocolStream& s, scan_group& out, budget& b, int depth, tag_code tag) {
    if (auto e = read_record_start(s, BE_SEQ, "read_check_group", tag)) return e;
    scan_group g;
    if (auto e = read_string(s, 256, g.id)) return member_error("check_group.id", e);
    if (auto e = read_string(s, 256, g.name)) return member_error("check_group.name", e);
    if (auto e = read_check_list(s, g.checks, b)) return e;
    if (auto e = read_check_group_list(s, g.children, b, depth + 1)) return e;
    if (auto e = read_string(s, 256, g.name_template)) return member_error("check_group.name_template", e);
    if (auto e = read_bool(s, g.flag)) return member_error("check_group.flags", e);
    if (auto e = skip_to_eol(s)) return e;
    out = std::move(g);
    return {};
}

err read_check_group_list(ProtocolStream& s, std::vector<scan_group>& out, budget& b, int depth) {
    if (depth > max_nesting) return err::text("Groups nested too deeply in read_check_group_list");
    if (auto e = read_list_start(s, "read_check_group_list")) return e;
    std::vector<scan_group> groups;
    for (;;) {
        tag_code t = 0;
        bool end = false;
        if (auto e = read_list_next(s, "read_check_group_list", t, end)) return e;
        if (end) break;
        if (auto e = b.take("read_check_group_list")) return e;
        scan_group g;
        if (auto e = read_check_group(s, g, b, depth, t)) return e;
        groups.push_back(std::move(g));
    }
    out = std::move(groups);
    return {};
}

err read_result_value(ProtocolStream& s, result_value& out, size_t& octets) {
    tag_code t;
    if (auto e = read_tag(s, t)) return e;
    result_value v;
    switch (t) {
    case BE_INTEGER:
        v.kind = result_value::integer;
        if (auto e = read_signed_int(s, any_min, any_max, v.i, t)) return e;
        break;
    case BE_REAL:
        v.kind = result_value::real;
        if (auto e = read_real(s, v.d, t)) return e;
        break;
    case BE_STRING:
        v.kind = result_value::text;
        if (auto e = read_string(s, 65536, v.s, t)) return e;
        break;
    case BE_NULL:
        if (auto e = read_null(s, t)) return e;
        break;
    default:
        return format_error("Unexpected tag (%d) in read_result_value", static_cast<int>(t));
    }
    octets += v.s.size();
    out = std::move(v);
    return {};
}

err read_check_result(ProtocolStream& s, check_result& out, size_t& octets, tag_code tag) {
    if (auto e = read_record_start(s, BE_SEQ, "read_check_result", tag)) return e;
    check_result r;
    if (auto e = read_signed_int(s, any_min, any_max, r.check_time)) return member_error("check_result.checkTime", e);
    if (auto e = read_string(s, 256, r.comment)) return member_error("check_result.comment", e);
    if (auto e = read_enumerated(s, r.status, BE_ENUMERATED)) return member_error("check_result.status", e);
    octets += r.comment.size();
    if (auto e = read_list_start(s, "read_check_result")) return member_error("check_result.path", e);
    for (;;) {
        tag_code t = 0;
        bool end = false;
        if (auto e = read_list_next(s, "read_check_result", t, end)) return member_error("check_result.path", e);
        if (end) break;
        if (r.path.size() >= max_path_length)
            return err::text("check_result.path: Path too long in read_check_result");
        std::string id;
        if (auto e = read_string(s, 256, id, t)) return member_error("check_result.path", e);
        octets += id.size();
        r.path.push_back(std::move(id));
    }
    if (auto e = read_result_value(s, r.value, octets)) return member_error("check_result.value", e);
    // Then the check's identifier and the result's alert group, when it has them.
    tag_code t;
    if (auto e = read_tag(s, t)) return e;
    if (t == BE_STRING) {
        std::string id;
        if (auto e = read_string(s, 256, id, t)) return member_error("check_result.identifier", e);
        r.identifier = std::move(id);
        if (auto e = read_tag(s, t)) return e;
        if (t == BE_STRING) {
            std::string group;
            if (auto e = read_string(s, 256, group, t)) return member_error("check_result.alertGroup", e);
            r.alert_group = std::move(group);
            if (auto e = read_tag(s, t)) return e;
        }
    }
    // Members this server does not know are skipped.
    while (t != BE_EOC) {
        if (auto e = skip_value(s, t)) return e;
        if (auto e = read_tag(s, t)) return e;
    }
    if (auto e = read_eoc_length(s, "List not terminated correctly in read_check_result")) return e;
    out = std::move(r);
    return {};
}

err write_bool_member(ProtocolStream& s, bool v, const char* member) {
    if (auto e = write_bool(s, v)) return member_error(member, e);
    return {};
}

err write_flag_and_message(ProtocolStream& s, tag_code tag, const char* record, bool success,
                           const std::string& message) {
    if (auto e = write_constructed_start(s, tag)) return e;
    if (auto e = write_bool(s, success)) return format_error("%s.success: %s", record, e.c_str());
    if (auto e = write_string(s, 1024, message)) return format_error("%s.message: %s", record, e.c_str());
    return write_end_of_contents(s);
}

err write_conf_check(ProtocolStream& s, const conf_check& c) {
    if (auto e = write_list_start(s)) return e;
    if (auto e = write_signed_int(s, -1, 86400, c.frequency)) return member_error("check_conf.frequency", e);
    if (auto e = write_string(s, 256, c.id)) return member_error("check_conf.id", e);
    if (auto e = write_constructed_start(s, context_tag(c.conf))) return e;
    switch (c.conf) {
    case 0:
        for (const auto& v : c.int_values) {
            if (auto e = v ? write_signed_int(s, any_min, any_max, *v) : write_null(s)) return e;
        }
        break;
    case 1:
        if (auto e = write_list_start(s)) return e;
        for (uint32_t st : c.states) {
            if (auto e = write_enumerated(s, st)) return e;
        }
        if (auto e = write_end_of_contents(s)) return e;
        break;
    case 3:
        for (const auto& v : c.real_values) {
            if (auto e = v ? write_real(s, *v) : write_null(s)) return e;
        }
        break;
    case 4:
        // No silence limits. Lines ("\n" separator) recorded by the one rule of
        // --log-rule, else whole entries and the clauses of --log-rules.
        if (auto e = write_string(s, 1024, c.log_rule ? "\\n" : "")) return member_error("adv_log_conf.recordSeparator", e);
        if (auto e = write_enumerated(s, 0)) return member_error("adv_log_conf.separatorInclusion", e);
        if (auto e = write_list_start(s)) return e;
        for (size_t i = 0; i < c.rules.size() + (c.log_rule ? 1 : 0); ++i) {
            const std::string& clause = i < c.rules.size() ? c.rules[i] : *c.log_rule;
            if (auto e = write_list_start(s)) return e;
            if (auto e = write_string(s, 1024, clause)) return member_error("rule.regex", e);
            if (auto e = write_enumerated(s, 1)) return member_error("rule.status", e);
            if (auto e = write_enumerated(s, 0)) return member_error("rule.decision", e);
            if (auto e = write_string(s, 32, "")) return member_error("rule.destination", e);
            if (auto e = write_end_of_contents(s)) return e;
        }
        if (auto e = write_end_of_contents(s)) return e;
        break;
    default:
        break;
    }
    if (auto e = write_end_of_contents(s)) return e;
    if (c.identifier) {
        if (auto e = write_string(s, 256, *c.identifier)) return member_error("check_conf.identifier", e);
    }
    return write_end_of_contents(s);
}

err write_conf_group_list(ProtocolStream& s, const std::vector<conf_group>& groups, int depth) {
    if (depth > max_nesting) return err::text("Configured groups nested too deeply");
    if (auto e = write_list_start(s)) return e;
    for (const auto& g : groups) {
        if (auto e = write_list_start(s)) return e;
        if (auto e = write_string(s, 256, g.id)) return member_error("check_conf_group.id", e);
        if (auto e = write_list_start(s)) return e;
        for (const auto& c : g.checks) {
            if (auto e = write_conf_check(s, c)) return e;
        }
        if (auto e = write_end_of_contents(s)) return e;
        if (auto e = write_conf_group_list(s, g.children, depth + 1)) return e;
        if (auto e = write_end_of_contents(s)) return e;
    }
    return write_end_of_contents(s);
}

err write_action_group_list(ProtocolStream& s, const std::vector<action_group>& groups, int depth) {
    if (depth > max_nesting) return err::text("Action groups nested too deeply");
    if (auto e = write_list_start(s)) return e;
    for (const auto& g : groups) {
        if (auto e = write_list_start(s)) return e;
        if (auto e = write_string(s, 256, g.id)) return member_error("action_conf_group.id", e);
        if (auto e = write_action_group_list(s, g.children, depth + 1)) return e;
        if (auto e = write_list_start(s)) return e;
        for (const auto& a : g.actions) {
            if (auto e = write_list_start(s)) return e;
            if (auto e = write_string(s, 256, a)) return member_error("action_conf.id", e);
            if (auto e = write_end_of_contents(s)) return e;
        }
        if (auto e = write_end_of_contents(s)) return e;
        if (auto e = write_end_of_contents(s)) return e;
    }
    return write_end_of_contents(s);
}

}  // namespace

// ---- what the agent sends ----

err read_client_wants(ProtocolStream& s, client_hello& out, tag_code tag) {
    if (auto e = read_record_start(s, tag_client_wants, "read_client_wants", tag)) return e;
    client_hello h;
    if (auto e = read_signed_int(s, 0, 65535, h.version)) return member_error("client_wants.version", e);
    if (auto e = read_record_start(s, tag_private_key, "read_client_private_key", 0)) return e;
    auto& k = h.key;
    if (auto e = read_string(s, 256, k.name)) return member_error("client_private_key.name", e);
    if (auto e = read_string(s, 1024, k.domain)) return member_error("client_private_key.domain", e);
    if (auto e = read_string(s, 128, k.id)) return member_error("client_private_key.id", e);
    if (auto e = read_bool(s, k.hasMasterKey)) return member_error("client_private_key.hasMasterKey", e);
    if (auto e = read_bool(s, k.hasHallmark)) return member_error("client_private_key.hasHallmark", e);
    if (auto e = read_bool(s, k.testing)) return member_error("client_private_key.testing", e);
    if (auto e = skip_to_eol(s)) return e;
    if (auto e = skip_to_eol(s)) return e;
    out = std::move(h);
    return {};
}

err read_configure_req(ProtocolStream& s, configure_request& out, tag_code tag) {
    if (auto e = read_record_start(s, tag_configure_req, "read_configure_req", tag)) return e;
    configure_request r;
    package_info p;
    if (auto e = read_five_ints(s, "configure_req", p)) return e;
    r.package_id = p.package_id;
    r.major = p.major;
    r.minor = p.minor;
    r.build = p.build;
    r.caps = p.caps;
    budget b{max_upload_records};

    if (auto e = read_list_start(s, "read_host_info_list")) return e;
    for (;;) {
        tag_code t = 0;
        bool end = false;
        if (auto e = read_list_next(s, "read_host_info_list", t, end)) return e;
        if (end) break;
        if (auto e = b.take("read_host_info_list")) return e;
        if (auto e = read_record_start(s, BE_SEQ, "read_host_info_line", t)) return e;
        std::string label, value;
        if (auto e = read_string(s, 256, label)) return member_error("host_info_line.label", e);
        if (auto e = read_string(s, 1024, value)) return member_error("host_info_line.value", e);
        if (auto e = skip_to_eol(s)) return e;
        r.host_info.emplace_back(std::move(label), std::move(value));
    }

    if (auto e = read_check_group_list(s, r.groups, b, 1)) return e;

    if (auto e = read_list_start(s, "read_check_description_list")) return e;
    for (;;) {
        tag_code t = 0;
        bool end = false;
        if (auto e = read_list_next(s, "read_check_description_list", t, end)) return e;
        if (end) break;
        if (auto e = b.take("read_check_description_list")) return e;
        if (auto e = read_record_start(s, BE_SEQ, "read_check_description", t)) return e;
        description_line d;
        if (auto e = read_signed_int(s, any_min, any_max, d.id)) return member_error("check_description.id", e);
        if (auto e = read_string(s, 256, d.good)) return member_error("check_description.descriptionGood", e);
        if (auto e = read_string(s, 256, d.warn)) return member_error("check_description.descriptionWarn", e);
        if (auto e = read_string(s, 256, d.alert)) return member_error("check_description.descriptionAlert", e);
        if (auto e = skip_to_eol(s)) return e;
        r.descriptions.push_back(std::move(d));
    }
    if (auto e = skip_to_eol(s)) return e;
    out = std::move(r);
    return {};
}

err read_checkin_req(ProtocolStream& s, std::vector<check_result>& out, tag_code tag) {
    if (auto e = read_record_start(s, tag_checkin_req, "read_checkin_req", tag)) return e;
    if (auto e = read_list_start(s, "read_check_result_list")) return e;
    std::vector<check_result> results;
    size_t octets = 0;
    for (;;) {
        tag_code t = 0;
        bool end = false;
        if (auto e = read_list_next(s, "read_check_result_list", t, end)) return e;
        if (end) break;
        if (results.size() >= max_checkin_results) return err::text("Too many results in read_checkin_req");
        check_result r;
        if (auto e = read_check_result(s, r, octets, t)) return e;
        if (octets > max_checkin_octets) return err::text("Too much result data in read_checkin_req");
        results.push_back(std::move(r));
    }
    if (auto e = skip_to_eol(s)) return e;
    out = std::move(results);
    return {};
}

err read_upgrade_req(ProtocolStream& s, package_info& out, tag_code tag) {
    if (auto e = read_record_start(s, tag_upgrade_req, "read_upgrade_req", tag)) return e;
    package_info p;
    if (auto e = read_five_ints(s, "upgrade_req", p)) return e;
    if (auto e = skip_to_eol(s)) return e;
    out = p;
    return {};
}

err read_server_time_req(ProtocolStream& s, int32_t& sec, int32_t& usec, tag_code tag) {
    if (auto e = read_record_start(s, tag_server_time_req, "read_server_time_req", tag)) return e;
    int32_t a, b;
    if (auto e = read_signed_int(s, any_min, any_max, a)) return member_error("server_time_req.agentTimeSec", e);
    if (auto e = read_signed_int(s, 0, 999999, b)) return member_error("server_time_req.agentTimeUSec", e);
    if (auto e = skip_to_eol(s)) return e;
    sec = a;
    usec = b;
    return {};
}

err read_downtime_req(ProtocolStream& s, int32_t& minutes, std::string& comment, tag_code tag) {
    if (auto e = read_record_start(s, tag_downtime_req, "read_downtime_req", tag)) return e;
    int32_t m;
    std::string c;
    if (auto e = read_signed_int(s, any_min, any_max, m)) return member_error("downtime_req.downtimeInMinutes", e);
    if (auto e = read_string(s, 256, c)) return member_error("downtime_req.comment", e);
    if (auto e = skip_to_eol(s)) return e;
    minutes = m;
    comment = std::move(c);
    return {};
}

err read_rescan_req(ProtocolStream& s, tag_code tag) {
    return read_empty_message(s, tag_rescan_req, "read_rescan_req", tag);
}

err read_h_w_scan_req(ProtocolStream& s, tag_code tag) {
    return read_empty_message(s, tag_h_w_scan_req, "read_h_w_scan_req", tag);
}

// ---- what the server sends ----

err write_server_offers(ProtocolStream& s, int32_t version, bool has_master_key, bool has_hallmark) {
    if (auto e = write_constructed_start(s, tag_server_offers)) return e;
    if (auto e = write_signed_int(s, 0, 65535, version)) return member_error("server_offers.version", e);
    if (auto e = write_constructed_start(s, tag_private_key)) return e;
    if (auto e = write_bool_member(s, has_master_key, "server_private_key.hasMasterKey")) return e;
    if (auto e = write_bool_member(s, has_hallmark, "server_private_key.hasHallmark")) return e;
    if (auto e = write_end_of_contents(s)) return e;
    return write_end_of_contents(s);
}

err write_negotiate_nack(ProtocolStream& s, const std::string& reason) {
    if (auto e = write_constructed_start(s, tag_negotiate_nack)) return e;
    if (auto e = write_string(s, 1024, reason)) return member_error("negotiate_nack.reason", e);
    return write_end_of_contents(s);
}

err write_diffie_hellmann_parameters(ProtocolStream& s, const bignum& modulus, const bignum& generator) {
    if (auto e = write_constructed_start(s, tag_diffie_hellmann_parameters)) return e;
    if (auto e = write_bignum(s, modulus)) return member_error("diffie_hellmann_parameters.modulus", e);
    if (auto e = write_bignum(s, generator)) return member_error("diffie_hellmann_parameters.generator", e);
    return write_end_of_contents(s);
}

err write_configure_resp(ProtocolStream& s, const configure_reply& reply) {
    if (auto e = write_constructed_start(s, tag_configure_resp)) return e;
    if (auto e = write_string(s, 256, reply.id)) return member_error("configure_resp.id", e);
    if (auto e = write_signed_int(s, -1, 86400, reply.checkin_frequency))
        return member_error("configure_resp.checkinFrequency", e);
    if (auto e = write_list_start(s)) return e;
    for (const auto& [name, port] : reply.servers) {
        if (auto e = write_list_start(s)) return e;
        if (auto e = write_string(s, 256, name)) return member_error("server_name_port.name", e);
        if (auto e = write_signed_int(s, 1, 65535, port)) return member_error("server_name_port.port", e);
        if (auto e = write_end_of_contents(s)) return e;
    }
    if (auto e = write_end_of_contents(s)) return e;
    if (auto e = write_conf_group_list(s, reply.tree, 1)) return e;
    if (reply.alert_groups) {
        if (auto e = write_list_start(s)) return e;
        for (const auto& g : *reply.alert_groups) {
            if (auto e = write_list_start(s)) return e;
            if (auto e = write_string(s, 256, g)) return member_error("alert_group.id", e);
            if (auto e = write_end_of_contents(s)) return e;
        }
        if (auto e = write_end_of_contents(s)) return e;
    }
    return write_end_of_contents(s);
}

err write_checkin_resp(ProtocolStream& s, const checkin_reply& reply) {
    if (auto e = write_constructed_start(s, tag_checkin_resp)) return e;
    if (auto e = write_bool_member(s, reply.ack, "checkin_resp.checkinAck")) return e;
    if (auto e = write_bool_member(s, reply.conf_changed, "checkin_resp.confChanged")) return e;
    if (auto e = write_bool_member(s, reply.upgrade_available, "checkin_resp.upgradeAvailable")) return e;
    if (auto e = write_action_group_list(s, reply.actions, 1)) return e;
    if (auto e = write_bool_member(s, reply.hw_scan, "checkin_resp.hwScan")) return e;
    return write_end_of_contents(s);
}

err write_server_time_resp(ProtocolStream& s, int32_t sec, int32_t usec) {
    if (auto e = write_constructed_start(s, tag_server_time_resp)) return e;
    if (auto e = write_signed_int(s, any_min, any_max, sec)) return member_error("server_time_resp.serverTimeSec", e);
    if (auto e = write_signed_int(s, 0, 999999, usec)) return member_error("server_time_resp.serverTimeUSec", e);
    return write_end_of_contents(s);
}

err write_downtime_resp(ProtocolStream& s, bool success, const std::string& message) {
    return write_flag_and_message(s, tag_downtime_resp, "downtime_resp", success, message);
}

err write_rescan_resp(ProtocolStream& s, bool success, const std::string& message) {
    return write_flag_and_message(s, tag_rescan_resp, "rescan_resp", success, message);
}

err write_h_w_scan_resp(ProtocolStream& s, bool nack) {
    if (auto e = write_constructed_start(s, tag_h_w_scan_resp)) return e;
    if (auto e = write_bool_member(s, nack, "h_w_scan_resp.nack")) return e;
    return write_end_of_contents(s);
}

err write_upgrade_resp_head(ProtocolStream& s, uint32_t size) {
    if (auto e = write_constructed_start(s, tag_upgrade_resp)) return e;
    if (auto e = write_signed_int(s, any_min, any_max, 0)) return e;
    if (auto e = write_tag(s, BE_STRING)) return e;
    return write_length(s, size);
}

}  // namespace zp::server
