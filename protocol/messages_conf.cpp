// messages_conf.cpp - readers and writers of the configuration download.
#include "protocol/messages_conf.h"

#include <climits>
#include <cmath>

#include "core/log.h"

namespace zp {

namespace {

// What the read of one tree has created so far, against its limits.
struct conf_count {
    conf_limits limits = configuration_limits();
    uint64_t checks = 0, groups = 0, rules = 0;
    uint64_t pattern_start = 0;
    const log_conf_hooks& hooks;

    explicit conf_count(const log_conf_hooks& h) : hooks(h) {
        if (hooks.compiled_bytes) pattern_start = hooks.compiled_bytes();
    }
    static err over(uint64_t cap, const char* what) {
        return format_error("Configuration refused: more than %llu %s", static_cast<unsigned long long>(cap), what);
    }
    err add_check() { return ++checks > limits.checks ? over(limits.checks, "checks") : err(); }
    err add_group() { return ++groups > limits.groups ? over(limits.groups, "check groups") : err(); }
    err add_rule() { return ++rules > limits.rules ? over(limits.rules, "log rules") : err(); }
    // After each compile: the patterns of this read against the budget.
    err patterns() const {
        if (!hooks.compiled_bytes || hooks.compiled_bytes() - pattern_start <= limits.pattern_bytes) return {};
        return format_error("Configuration refused: its patterns need more than %llu MB",
                            static_cast<unsigned long long>(limits.pattern_bytes >> 20));
    }
};

constexpr int32_t any_min = INT32_MIN;
constexpr int32_t any_max = INT32_MAX;

// A scan value goes out as a REAL when finite and as a NULL otherwise.
err write_range_value(ProtocolStream& s, double v) {
    if (std::isfinite(v)) return write_real(s, v);
    return write_null(s);
}

err write_group_list(ProtocolStream& s, const devtree_list& groups) {
    if (auto e = write_list_start(s)) return e;
    for (const auto& g : groups) {
        if (g->id.size() > 256) {
            log(2, "Check group name too long: %s", g->id.c_str());
            continue;
        }
        if (auto e = write_check_group(s, *g)) return e;
        if (auto e = write_check_list(s, g->checks)) return e;
        if (auto e = write_group_list(s, g->children)) return e;
        if (auto e = write_string(s, 256, g->name_template)) return e;
        if (auto e = write_bool(s, (g->flags & 1) != 0)) return e;
        if (auto e = write_end_of_contents(s)) return e;
    }
    return write_end_of_contents(s);
}

// The ENUM list of an enum_conf: element n with value 1 sets bit n mod 32 of
// the warning mask, value 2 that of the alert mask.
err read_enum_masks(ProtocolStream& s, devnode& node) {
    tag_code tag;
    if (auto e = read_tag(s, tag)) return e;
    if (tag != BE_SEQ) return err::text("Expected BE_SEQ");
    uint32_t length;
    bool indefinite;
    if (auto e = read_length(s, length, indefinite)) return e;
    if (!indefinite) return err::text("List not started correctly in read_devnode_list");
    uint32_t warn = 0, alert = 0;
    for (uint32_t n = 0;; ++n) {
        if (auto e = read_tag(s, tag)) return e;
        if (tag == BE_EOC) break;
        uint32_t v;
        if (auto e = read_enumerated(s, v, BE_ENUMERATED, tag)) return e;
        if (v == 1) warn |= 1u << (n % 32);
        if (v == 2) alert |= 1u << (n % 32);
    }
    if (auto e = read_eoc_length(s, "List not terminated correctly in read_devnode_list")) return e;
    node.warn_mask = warn;
    node.alert_mask = alert;
    return {};
}

err read_adv_log(ProtocolStream& s, devnode& node, const log_conf_hooks& hooks, conf_count& count, tag_code tag) {
    auto ln = alloc_lognode();
    std::string separator;
    uint32_t inclusion;
    if (auto e = read_adv_log_conf_incomplete(s, separator, inclusion, tag)) return e;
    log(-1, "Separator: \"%s\"", separator.c_str());
    if (!separator.empty() && hooks.compile_separator) {
        if (auto e = hooks.compile_separator(separator, ln->separator)) return e;
        if (auto e = count.patterns()) return e;
    }
    ln->inclusion_mode = static_cast<int32_t>(inclusion);

    tag_code t;
    if (auto e = read_tag(s, t)) return e;
    if (t != BE_SEQ) return err::text("Expected BE_SEQ");
    uint32_t length;
    bool indefinite;
    if (auto e = read_length(s, length, indefinite)) return e;
    if (!indefinite) return err::text("List not started correctly in read_devnode_list");
    for (;;) {
        if (auto e = read_tag(s, t)) return e;
        if (t == BE_EOC) break;
        if (auto e = count.add_rule()) return e;
        rule_conf rc;
        if (auto e = read_rule(s, rc, t)) return e;
        auto rule = alloc_logrule();
        if (hooks.parse_rule) {
            if (auto e = hooks.parse_rule(rc.regex, rule->condition)) {
                log(3, "Parse error: %s", e.c_str());
                log(3, "Input was: \"%s\"", rc.regex.c_str());
                return err::text("Unexpected parse error in read_devnode");
            }
            if (auto e = count.patterns()) return e;
        }
        rule->decision = static_cast<int32_t>(rc.decision);
        rule->status = static_cast<int32_t>(rc.status);
        rule->destination = std::move(rc.destination);
        add_logrule(ln.get(), std::move(rule));
    }
    if (auto e = read_eoc_length(s, "List not terminated correctly in read_devnode_list")) return e;

    // Either the record ends here or the two silence limits follow.
    if (auto e = read_tag(s, t)) return e;
    if (t == BE_EOC) {
        if (auto e = read_eoc_length(s, "List not terminated correctly")) return e;
    } else {
        int64_t warn, alert;
        if (auto e = read_check_value_time(s, warn, t)) return e;
        if (auto e = read_check_value_time(s, alert)) return e;
        if (auto e = skip_to_eol(s)) return e;
        ln->warn_silence_limit = warn;
        ln->alert_silence_limit = alert;
    }
    node.lognode = std::move(ln);
    node.type = type_adv_log;
    log(0, "Configured AdvLOG check");
    return {};
}

// One check_conf into a check of `group`.
err read_devnode(ProtocolStream& s, tag_code tag, devtree& group, const log_conf_hooks& hooks, conf_count& count,
                 std::unique_ptr<devnode>& out) {
    if (auto e = count.add_check()) return e;
    int32_t frequency;
    std::string id;
    if (auto e = read_check_conf_incomplete(s, frequency, id, tag)) return e;
    auto node = alloc_devnode();
    node->parent = &group;
    node->id = std::move(id);
    if (frequency < 1) {
        log(2, "Error: Frequency for check set to %d. Forcing to 1.", frequency);
        frequency = 1;
    }
    node->frequency = frequency;

    tag_code t;
    if (auto e = read_tag(s, t)) return e;
    switch (t) {
    case tag_continuous_conf: {
        if (auto e = read_continuous_conf_incomplete(s, t)) return e;
        int_thresholds c;
        if (auto e = read_check_value_int(s, c.alert_high)) return e;
        if (auto e = read_check_value_int(s, c.alert_low)) return e;
        if (auto e = read_check_value_int(s, c.warn_high)) return e;
        if (auto e = read_check_value_int(s, c.warn_low)) return e;
        if (auto e = skip_to_eol(s)) return e;
        node->cont = c;
        node->type = type_continuous;
        log(0, "Configured CONTINUOUS check");
        break;
    }
    case tag_enum_conf:
        if (auto e = read_enum_conf_incomplete(s, t)) return e;
        if (auto e = read_enum_masks(s, *node)) return e;
        if (auto e = skip_to_eol(s)) return e;
        node->type = type_enum;
        log(0, "Configured ENUM check");
        break;
    case tag_log_conf:
        if (auto e = read_log_conf(s, t)) return e;
        node->type = type_log;
        log(0, "Configured LOG check");
        break;
    case tag_real_continuous_conf: {
        if (auto e = read_real_continuous_conf_incomplete(s, t)) return e;
        real_thresholds r;
        if (auto e = read_check_value_real(s, r.alert_high)) return e;
        if (auto e = read_check_value_real(s, r.alert_low)) return e;
        if (auto e = read_check_value_real(s, r.warn_high)) return e;
        if (auto e = read_check_value_real(s, r.warn_low)) return e;
        if (auto e = skip_to_eol(s)) return e;
        node->real = r;
        node->type = type_real_continuous;
        log(0, "Configured REAL CONTINUOUS check");
        break;
    }
    case tag_adv_log_conf:
        if (auto e = read_adv_log(s, *node, hooks, count, t)) return e;
        break;
    default:
        return format_error("Got unknown type %d in read_devnode(%s)", static_cast<int>(t),
                            dotted_name(*node).c_str());
    }

    // The server's identifier of the check, if it sent one.
    if (auto e = read_tag(s, t)) return e;
    if (t == BE_EOC) {
        if (auto e = read_eoc_length(s, "List not terminated correctly - checkconf postlude")) return e;
        log(-1, "No ID for check...");
    } else {
        std::string identifier;
        if (auto e = read_string(s, 256, identifier, t)) return e;
        log(-1, "Got ID: %s", identifier.c_str());
        if (auto e = skip_to_eol(s)) return e;
        node->identifier = std::move(identifier);
    }
    out = std::move(node);
    return {};
}

err read_checks(ProtocolStream& s, devnode_list& out, devtree& group, const log_conf_hooks& hooks, conf_count& count,
                tag_code tag) {
    if (auto e = read_list_start(s, "read_devnode_list", tag)) return e;
    devnode_list nodes;
    for (;;) {
        tag_code t = 0;
        bool end = false;
        if (auto e = read_list_next(s, "read_devnode_list", t, end)) return e;
        if (end) break;
        std::unique_ptr<devnode> node;
        if (auto e = read_devnode(s, t, group, hooks, count, node)) return e;
        nodes.push_back(std::move(node));
    }
    out = std::move(nodes);
    return {};
}

err read_groups(ProtocolStream& s, devtree_list& out, devtree* parent, const log_conf_hooks& hooks, conf_count& count,
                tag_code tag, int depth) {
    if (depth > max_nesting) return err::text("Groups nested too deeply in read_devtree_list");
    if (auto e = read_list_start(s, "read_devtree_list", tag)) return e;
    devtree_list groups;
    for (;;) {
        tag_code t = 0;
        bool end = false;
        if (auto e = read_list_next(s, "read_devtree_list", t, end)) return e;
        if (end) break;
        if (auto e = count.add_group()) return e;
        auto g = std::make_unique<devtree>();
        g->parent = parent;
        if (auto e = read_check_conf_group_incomplete(s, g->id, t)) return e;
        devnode_list checks;
        if (auto e = read_checks(s, checks, *g, hooks, count, 0)) return e;
        g->checks = std::move(checks);
        if (auto e = read_groups(s, g->children, g.get(), hooks, count, 0, depth + 1)) return e;
        if (auto e = skip_to_eol(s)) return e;
        groups.push_back(std::move(g));
    }
    out = std::move(groups);
    return {};
}

}  // namespace

// ---- agent to server ----

err write_configure_req(ProtocolStream& s) {
    if (auto e = write_constructed_start(s, tag_configure_req)) return e;
    if (auto e = write_signed_int(s, any_min, any_max, package_id)) return member_error("configure_req.packageId", e);
    if (auto e = write_signed_int(s, any_min, any_max, major_version))
        return member_error("configure_req.majorVersion", e);
    if (auto e = write_signed_int(s, any_min, any_max, minor_version))
        return member_error("configure_req.minorVersion", e);
    if (auto e = write_signed_int(s, any_min, any_max, build_number))
        return member_error("configure_req.buildNumber", e);
    if (auto e = write_signed_int(s, any_min, any_max, agent_caps)) return member_error("configure_req.agentCaps", e);
    return {};
}

err write_host_info_line(ProtocolStream& s, std::string_view label, std::string_view value) {
    if (auto e = write_list_start(s)) return e;
    if (auto e = write_string(s, 256, label)) return member_error("host_info_line.label", e);
    if (auto e = write_string(s, 1024, value)) return member_error("host_info_line.value", e);
    return write_end_of_contents(s);
}

err write_host_info_list(ProtocolStream& s, const clinfo_list& lines) {
    if (auto e = write_list_start(s)) return e;
    for (const auto& line : lines) {
        if (auto e = write_host_info_line(s, line.label, line.value ? std::string_view(*line.value) : "")) return e;
    }
    return write_end_of_contents(s);
}

err write_check_group(ProtocolStream& s, const devtree& group) {
    if (auto e = write_list_start(s)) return e;
    if (auto e = write_string(s, 256, group.id)) return member_error("check_group.id", e);
    if (auto e = write_string(s, 256, group.name ? std::string_view(*group.name) : ""))
        return member_error("check_group.name", e);
    return {};
}

err write_check(ProtocolStream& s, const devnode& node) {
    if (auto e = write_list_start(s)) return e;
    if (auto e = write_string(s, 256, node.id)) return member_error("check.id", e);
    if (auto e = write_string(s, 256, node.name)) return member_error("check.name", e);
    if (auto e = write_string(s, 4096, node.comment)) return member_error("check.comment", e);
    if (auto e = write_enumerated(s, node.type)) return member_error("check.type", e);
    if (auto e = write_string(s, 256, node.unit)) return member_error("check.unit", e);
    return {};
}

err write_check_description(ProtocolStream& s, int32_t id, std::string_view good, std::string_view warn,
                            std::string_view alert) {
    if (auto e = write_list_start(s)) return e;
    if (auto e = write_signed_int(s, any_min, any_max, id)) return member_error("check_description.id", e);
    if (auto e = write_string(s, 256, good)) return member_error("check_description.descriptionGood", e);
    if (auto e = write_string(s, 256, warn)) return member_error("check_description.descriptionWarn", e);
    if (auto e = write_string(s, 256, alert)) return member_error("check_description.descriptionAlert", e);
    return write_end_of_contents(s);
}

err write_check_group_list(ProtocolStream& s, const devtree_list& groups) { return write_group_list(s, groups); }

err write_check_list(ProtocolStream& s, const devnode_list& checks) {
    if (auto e = write_list_start(s)) return e;
    for (const auto& n : checks) {
        if (auto e = write_check(s, *n)) return e;
        if (n->has_range) {
            if (auto e = write_range_value(s, n->scan_value)) return e;
            if (auto e = write_range_value(s, n->range_low)) return e;
            if (auto e = write_range_value(s, n->range_high)) return e;
        } else {
            for (int i = 0; i < 3; ++i) {
                if (auto e = write_null(s)) return e;
            }
        }
        if (n->type != type_action && (n->description < 1 || n->description > 30))
            log(3, "item->description out of bounds for item with name %s", n->name.c_str());
        if (auto e = write_signed_int(s, any_min, any_max, static_cast<int32_t>(n->description))) return e;
        if (auto e = write_end_of_contents(s)) return e;
    }
    return write_end_of_contents(s);
}

// ---- server to agent ----

err read_configure_reply(ProtocolStream& s, configure_reply& reply) {
    tag_code tag;
    if (auto e = read_tag(s, tag)) {
        log(2, "Error reading Configure response");
        return e;
    }
    configure_reply r;
    if (tag == tag_negotiate_nack) {
        if (auto e = read_negotiate_nack(s, r.reason, tag)) return e;
        r.nack = true;
    } else if (tag == tag_configure_resp) {
        if (auto e = read_configure_resp_incomplete(s, r.id, r.checkinFrequency, tag)) return e;
    } else {
        return format_error("Got unexpected tag %d from server", static_cast<int>(tag));
    }
    reply = std::move(r);
    return {};
}

err read_h_w_scan_reply(ProtocolStream& s) {
    tag_code tag;
    if (auto e = read_tag(s, tag)) {
        log(2,
            "Couldn't read HWScan response. Server doesn't seem to support HWScan notifications. This feature will "
            "be disabled until the agent is restarted");
        return e;
    }
    if (tag != tag_h_w_scan_resp) {
        log(2, "Got unexpected tag %d from server", static_cast<int>(tag));
        return {};
    }
    bool nack = false;
    if (auto e = read_h_w_scan_resp(s, nack, tag)) return e;
    if (nack) log(2, "HWScan. Server returned NACK");
    return {};
}

err read_configure_resp_incomplete(ProtocolStream& s, std::string& id, int32_t& checkin_frequency, tag_code tag) {
    if (auto e = read_record_start(s, tag_configure_resp, "read_configure_resp_incomplete", tag)) return e;
    std::string i;
    int32_t f;
    if (auto e = read_string(s, 256, i)) return member_error("configure_resp.id", e);
    if (auto e = read_signed_int(s, -1, 86400, f)) return member_error("configure_resp.checkinFrequency", e);
    id = std::move(i);
    checkin_frequency = f;
    return {};
}

err read_server_name_port(ProtocolStream& s, std::string& name, int32_t& port, tag_code tag) {
    if (auto e = read_record_start(s, BE_SEQ, "read_server_name_port", tag)) return e;
    std::string n;
    int32_t p;
    if (auto e = read_string(s, 256, n)) return member_error("server_name_port.name", e);
    if (auto e = read_signed_int(s, 1, 65535, p)) return member_error("server_name_port.port", e);
    if (auto e = skip_to_eol(s)) return e;
    name = std::move(n);
    port = p;
    return {};
}

err read_check_conf_group_incomplete(ProtocolStream& s, std::string& id, tag_code tag) {
    if (auto e = read_record_start(s, BE_SEQ, "read_check_conf_group_incomplete", tag)) return e;
    std::string i;
    if (auto e = read_string(s, 256, i)) return member_error("check_conf_group.id", e);
    id = std::move(i);
    return {};
}

err read_check_conf_incomplete(ProtocolStream& s, int32_t& frequency, std::string& id, tag_code tag) {
    if (auto e = read_record_start(s, BE_SEQ, "read_check_conf_incomplete", tag)) return e;
    int32_t f;
    std::string i;
    if (auto e = read_signed_int(s, -1, 86400, f)) return member_error("check_conf.frequency", e);
    if (auto e = read_string(s, 256, i)) return member_error("check_conf.id", e);
    frequency = f;
    id = std::move(i);
    return {};
}

err read_continuous_conf_incomplete(ProtocolStream& s, tag_code tag) {
    return read_record_start(s, tag_continuous_conf, "read_continuous_conf_incomplete", tag);
}

err read_enum_conf_incomplete(ProtocolStream& s, tag_code tag) {
    return read_record_start(s, tag_enum_conf, "read_enum_conf_incomplete", tag);
}

err read_log_conf(ProtocolStream& s, tag_code tag) {
    if (auto e = read_record_start(s, tag_log_conf, "read_log_conf", tag)) return e;
    return skip_to_eol(s);
}

err read_real_continuous_conf_incomplete(ProtocolStream& s, tag_code tag) {
    return read_record_start(s, tag_real_continuous_conf, "read_real_continuous_conf_incomplete", tag);
}

err read_adv_log_conf_incomplete(ProtocolStream& s, std::string& record_separator, uint32_t& separator_inclusion,
                                 tag_code tag) {
    if (auto e = read_record_start(s, tag_adv_log_conf, "read_adv_log_conf_incomplete", tag)) return e;
    std::string sep;
    uint32_t incl;
    if (auto e = read_string(s, 1024, sep)) return member_error("adv_log_conf.recordSeparator", e);
    if (auto e = read_enumerated(s, incl, BE_ENUMERATED)) return member_error("adv_log_conf.separatorInclusion", e);
    record_separator = std::move(sep);
    separator_inclusion = incl;
    return {};
}

err read_rule(ProtocolStream& s, rule_conf& rule, tag_code tag) {
    if (auto e = read_record_start(s, BE_SEQ, "read_rule", tag)) return e;
    rule_conf r;
    if (auto e = read_string(s, 1024, r.regex)) return member_error("rule.regex", e);
    if (auto e = read_enumerated(s, r.status, BE_ENUMERATED)) return member_error("rule.status", e);
    if (auto e = read_enumerated(s, r.decision, BE_ENUMERATED)) return member_error("rule.decision", e);
    if (auto e = read_string(s, 32, r.destination)) return member_error("rule.destination", e);
    if (auto e = skip_to_eol(s)) return e;
    rule = std::move(r);
    return {};
}

err read_alert_group(ProtocolStream& s, std::string& id, tag_code tag) {
    if (auto e = read_record_start(s, BE_SEQ, "read_alert_group", tag)) return e;
    std::string i;
    if (auto e = read_string(s, 256, i)) return member_error("alert_group.id", e);
    if (auto e = skip_to_eol(s)) return e;
    id = std::move(i);
    return {};
}

err read_check_value_int(ProtocolStream& s, int32_t& value, tag_code tag) {
    if (!tag) {
        if (auto e = read_tag(s, tag)) return e;
    }
    switch (tag) {
    case BE_INTEGER:
        return read_signed_int(s, any_min, any_max, value, tag);
    case BE_NULL:
        if (auto e = read_null(s, tag)) return e;
        value = -1;
        return {};
    case BE_REAL:
        return err::text("Got real when expected int in read_check_value_int");
    default:
        return err::text("Unexpected tag in read_check_value_int");
    }
}

err read_check_value_real(ProtocolStream& s, double& value, tag_code tag) {
    if (!tag) {
        if (auto e = read_tag(s, tag)) return e;
    }
    switch (tag) {
    case BE_REAL:
        return read_real(s, value, tag);
    case BE_NULL:
        if (auto e = read_null(s, tag)) return e;
        value = -1.0;
        return {};
    case BE_INTEGER:
        return err::text("Got int when expected real in read_check_value_real");
    default:
        return err::text("Unexpected tag in read_check_value_real");
    }
}

err read_check_value_time(ProtocolStream& s, int64_t& value, tag_code tag) {
    if (!tag) {
        if (auto e = read_tag(s, tag)) return e;
    }
    if (tag == BE_INTEGER) {
        int32_t v;
        if (auto e = read_signed_int(s, any_min, any_max, v, tag)) return e;
        value = v;
        return {};
    }
    if (tag == BE_NULL) {
        if (auto e = read_null(s, tag)) return e;
        value = -1;
        return {};
    }
    return err::text("Unexpected tag in read_check_value_time");
}

err read_devtree_list(ProtocolStream& s, devtree_list& out, devtree* parent, const log_conf_hooks& hooks,
                      tag_code tag) {
    int depth = 1;
    for (const devtree* p = parent; p && depth <= max_nesting; p = p->parent) ++depth;
    conf_count count(hooks);
    return read_groups(s, out, parent, hooks, count, tag, depth);
}

err read_devnode_list(ProtocolStream& s, devnode_list& out, devtree& group, const log_conf_hooks& hooks,
                      tag_code tag) {
    conf_count count(hooks);
    return read_checks(s, out, group, hooks, count, tag);
}

conf_limits& configuration_limits() {
    static conf_limits limits;
    return limits;
}

}  // namespace zp
