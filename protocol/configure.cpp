// configure.cpp - registration, the configuration request and the reading and
// installing of the server's configuration.
#include "protocol/configure.h"

#include <string_view>

#include "core/agent.h"
#include "core/fatal.h"
#include "core/log.h"
#include "core/variables.h"
#include "devtree/scan.h"
#include "logcheck/pattern.h"
#include "logcheck/rules.h"
#include "protocol/checkin.h"
#include "protocol/session.h"
#include "protocol/socket.h"

namespace zp {

namespace {

// The server list text is built in a buffer of this size (with its NUL).
constexpr size_t server_text_size = 1024;

struct check_description {
    int32_t id;
    const char* good;
    const char* warn;
    const char* alert;
};

constexpr check_description descriptions[30] = {
    {1, "Free space is fine", "Free space is suspicious", "Free space is critical"},
    {2, "Free memory OK", "Free memory in warning area", "Free memory in alert area"},
    {3, "Load is OK", "Load is suspicious", "Load is critical"},
    {4, "Utilization is OK", "Utilization is suspicious", "Utilization is critical"},
    {5, "Idle time is OK", "Idle time is suspicious", "Idle time is bad"},
    {6, "Event count is OK", "Event count is suspicious", "Event count is bad"},
    {7, "Uptime is OK", "Uptime is suspicious", "Uptime is bad"},
    {8, "Process state is good", "Process state is suspicious", "Process state is bad"},
    {9, "Module state is good", "Module state is suspicious", "Module state is bad"},
    {10, "Drive status is good", "Drive status is suspicious", "Drive status is bad"},
    {11, "Temperature is OK", "Temperature is suspicious", "Temperature is bad"},
    {12, "Fanspeed is OK", "Fanspeed is suspicious", "Fanspeed is bad"},
    {13, "Voltage is OK", "Voltage is suspicious", "Voltage is bad"},
    {14, "RAID is OK", "RAID is in a suspicious state", "RAID is in a bad state"},
    {15, "Handle count is OK", "Handle count is suspicious", "Handle count is bad"},
    {16, "Interface activity is OK", "Interface activity suspicious", "Interface activity is bad"},
    {17, "Throughput is OK", "Throughput is suspicious", "Throughput is bad"},
    {18, "Service state is good", "Service state is suspicious", "Service state is bad"},
    {19, "Counter value is good", "Counter value is suspicious", "Counter value is bad"},
    {20, "Log OK", "Log suspicious", "Log is bad"},
    {21, "Check OK", "Check suspicious", "Check bad"},
    {22, "Queue length is OK", "Queue length is suspicious", "Queue length is bad"},
    {23, "Log OK", "Log suspicious", "Log is bad"},
    {24, "Disk OK", "Disk suspicious", "Disk critical"},
    {25, "Fan OK", "Fan suspicious", "Fan critical"},
    {26, "Power supply OK", "Power supply suspicious", "Power supply critical"},
    {27, "Volume OK", "Volume status suspicious", "Volume status critical"},
    {28, "Volume OK", "Volume status suspicious", "Volume status critical"},
    {29, "Activity is OK", "Activity suspicious", "Activity is bad"},
    {30, "Vdevice OK", "Vdevice status suspicious", "Vdevice status critical"},
};

// Tells the server that a scan follows. A server that does not answer has no
// such notice, and is not asked again.
err announce_hw_scan(ProtocolStream& s) {
    if (auto e = write_h_w_scan_req(s)) return e;
    if (auto e = s.flush()) return e;
    tag_code tag;
    if (auto e = read_tag(s, tag)) {
        log(2,
            "Couldn't read HWScan response. Server doesn't seem to support HWScan notifications. This feature "
            "will be disabled until the agent is restarted");
        hw_scan_notification() = false;
        return e;
    }
    if (tag == tag_h_w_scan_resp) {
        bool nack = false;
        if (auto e = read_h_w_scan_resp(s, nack, tag)) return e;
        if (nack) log(2, "HWScan. Server returned NACK");
    } else {
        log(2, "Got unexpected tag %d from server", static_cast<int>(tag));
        // The stray value goes, so that the configuration reply is read next.
        if (auto e = skip_value(s, tag)) return e;
    }
    return {};
}

err write_request(ProtocolStream& s, conversation_env& env, bool hw_scan) {
    if (hw_scan && hw_scan_notification()) {
        if (auto e = announce_hw_scan(s)) return e;
    }
    if (auto e = write_configure_req(s)) return format_error("Error at send CONFIGURE: %s", e.c_str());
    log(-1, "Registering buildno %i", build_number);
    static const clinfo_list no_info;
    if (auto e = write_host_info_list(s, env.client_info ? *env.client_info : no_info)) return e;

    if (hw_scan) {
        log(0, "Commencing hardware scan");
        devtree_list scanned = env.scan ? env.scan() : hardware_scan();
        log(0, "Hardware scan complete");
        if (scanned.empty() && !startup().fake_results)
            fatal("This agent is not able to monitor *anything* on this host");
        log(0, "Agent has devices to monitor");
        err e = write_check_group_list(s, scanned);
        free_devtree(scanned);
        if (e) return e;
        if (auto e2 = write_check_descriptions(s)) return e2;
    } else {
        if (auto e = write_list_start(s)) return e;
        if (auto e = write_end_of_contents(s)) return e;
        if (auto e = write_list_start(s)) return e;
        if (auto e = write_end_of_contents(s)) return e;
    }
    if (auto e = write_end_of_contents(s)) return e;
    return s.flush();
}

// The agent announces its id in a field of 128 bytes.
constexpr size_t max_host_id = 128;

void take_host_id(config& c, const std::string& id) {
    if (c.host_id && *c.host_id != id) c.host_id.reset();
    if (c.host_id) return;
    if (id.size() > max_host_id) {
        // Kept, it could never be announced again and every set-up would fail.
        // An older id the server no longer gives must not come back at the next start.
        log(2, "Host id from server is longer than %u bytes; not kept", static_cast<unsigned>(max_host_id));
        delete_variable("host_id");
        return;
    }
    c.host_id = id;
    if (auto e = set_variable("host_id", id)) log(2, "%s", e.c_str());
    if (auto e = flush_variables(false)) log(3, "Flush error: %s", e.c_str());
}

// A name that the server list parser would split or read a port from cannot
// name one server; such entries are left out.
bool usable_server_name(std::string_view name) {
    return !name.empty() && name.find_first_of(",: ") == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

err read_server_list(ProtocolStream& s, config& c) {
    if (auto e = read_list_start(s, "registration")) return e;
    std::string text;
    for (;;) {
        tag_code tag = 0;
        bool end = false;
        if (auto e = read_list_next(s, "registration", tag, end)) return e;
        if (end) break;
        std::string name;
        int32_t port = 0;
        if (auto e = read_server_name_port(s, name, port, tag)) return e;
        if (!usable_server_name(name)) {
            log(2, "Server list entry \"%s\" left out: not a host name", name.c_str());
            continue;
        }
        std::string entry = strprintf("%s:%d,", name.c_str(), port);
        if (text.size() + entry.size() < server_text_size) text += entry;
    }
    if (text.empty()) return {};
    c.servers = parse_server_list(text);
    if (current_server() < 0 || current_server() >= c.server_count()) current_server() = 0;
    server_changed() = true;
    if (auto e = set_variable("server_list_cluster", text)) log(2, "%s", e.c_str());
    if (auto e = flush_variables(false)) log(3, "Flush error: %s", e.c_str());
    return {};
}

// After the device tree: the end of configure_resp, or the alert groups.
err read_alert_groups(ProtocolStream& s, bool& present, std::vector<std::string>& groups) {
    tag_code tag;
    if (auto e = read_tag(s, tag)) return e;
    if (tag == BE_EOC) {
        present = false;
        return read_eoc_length(s, "List not terminated correctly");
    }
    if (tag != BE_SEQ) return err::text("Wrong tag in registration");
    if (auto e = read_list_start(s, "registration", tag)) return e;
    std::vector<std::string> ids;
    for (;;) {
        tag_code t = 0;
        bool end = false;
        if (auto e = read_list_next(s, "registration", t, end)) return e;
        if (end) break;
        std::string id;
        if (auto e = read_alert_group(s, id, t)) return e;
        ids.push_back(std::move(id));
    }
    if (auto e = skip_to_eol(s)) return e;
    present = true;
    groups = std::move(ids);
    return {};
}

err read_response(ProtocolStream& s, config& c, conversation_env& env) {
    configure_reply reply;
    if (auto e = read_configure_reply(s, reply)) return e;
    if (reply.nack) return err::text(reply.reason);
    c.checkin_interval = static_cast<uint32_t>(reply.checkinFrequency);
    take_host_id(c, reply.id);
    if (auto e = read_server_list(s, c)) return e;

    log_conf_hooks hooks = env.log_hooks;
    if (!hooks.compile_separator || !hooks.parse_rule) {
        log_conf_hooks defaults = default_log_hooks();
        if (!hooks.compile_separator) hooks.compile_separator = std::move(defaults.compile_separator);
        if (!hooks.parse_rule) hooks.parse_rule = std::move(defaults.parse_rule);
    }
    if (!hooks.compiled_bytes) hooks.compiled_bytes = [] { return compiled_pattern_bytes(); };
    devtree_list tree;
    if (auto e = read_devtree_list(s, tree, nullptr, hooks)) return e;

    bool have_groups = false;
    std::vector<std::string> groups;
    if (auto e = read_alert_groups(s, have_groups, groups)) return e;
    if (have_groups) alert_groups() = std::move(groups);

    if (env.configured) {
        carry_over(*env.configured, tree);
        free_devtree(*env.configured);
        *env.configured = std::move(tree);
    } else {
        // Nobody keeps the tree: it only gets read.
        free_devtree(tree);
        return {};
    }
    resolve_log_destinations(*env.configured, alert_groups());

    unsigned checks = 0;
    auto count = [&](auto& self, const devtree_list& list) -> void {
        for (const auto& g : list) {
            checks += static_cast<unsigned>(g->checks.size());
            self(self, g->children);
        }
    };
    count(count, *env.configured);
    log(1, "Instructed by server to perform %u checks", checks);
    return {};
}

void resolve_rule(logrule& rule, const devtree* forward, const std::vector<std::string>& groups) {
    const std::string dest = rule.destination.value_or("");
    switch (rule.decision) {
    case 2:
    case 3:
    case 4:
        rule.destination_check = nullptr;
        if (!forward) {
            log(0, "Server sent no LogCheck forward group");
            return;
        }
        for (const auto& n : forward->checks) {
            if (n->identifier && rule.destination && *n->identifier == *rule.destination) {
                rule.destination_check = n.get();
                return;
            }
        }
        log(3, "Could not resolve as forward check %s", dest.c_str());
        return;
    case 5:
    case 6:
        log(-1, "Look for Alert group");
        log(-1, "  rule->clause.destination=%s", dest.c_str());
        if (groups.empty()) log(3, "col_alert_group == NULL");
        for (const auto& g : groups) {
            log(-1, "  it->alert_group->id=%s", g.c_str());
            if (rule.destination && g == *rule.destination) {
                log(-1, "  resolved as Alert group");
                return;
            }
        }
        log(3, "Could not resolve as Alert group check %s", dest.c_str());
        return;
    default:
        return;
    }
}

void resolve_group(devtree& group, const devtree* forward, const std::vector<std::string>& groups) {
    for (auto& n : group.checks) {
        if (!n->lognode) continue;
        for (auto& r : n->lognode->rules) resolve_rule(*r, forward, groups);
    }
    for (auto& child : group.children) resolve_group(*child, forward, groups);
}

}  // namespace

std::vector<std::string>& alert_groups() {
    static std::vector<std::string> groups;
    return groups;
}

bool& hw_scan_notification() {
    static bool on = true;
    return on;
}

err write_check_descriptions(ProtocolStream& s) {
    if (auto e = write_list_start(s)) return e;
    for (const auto& d : descriptions) {
        if (auto e = write_check_description(s, d.id, d.good, d.warn, d.alert)) return e;
    }
    return write_end_of_contents(s);
}

err configure(ProtocolStream& s, config& c, conversation_env& env, bool hw_scan) {
    if (auto e = write_request(s, env, hw_scan)) return e;
    return read_response(s, c, env);
}

log_conf_hooks default_log_hooks() {
    log_conf_hooks h;
    h.compile_separator = [](const std::string& separator, std::shared_ptr<pattern>& out) -> err {
        std::unique_ptr<pattern> p;
        if (auto e = compile_pattern(separator, 0, &p)) return e;
        out = std::move(p);
        return {};
    };
    h.parse_rule = [](const std::string& clause, std::shared_ptr<log_cond>& out) -> err {
        std::unique_ptr<log_cond> cond;
        if (auto e = parse_log_condition(clause, &cond)) return e;
        out = std::move(cond);
        return {};
    };
    h.compiled_bytes = [] { return compiled_pattern_bytes(); };
    return h;
}

void resolve_log_destinations(devtree_list& tree, const std::vector<std::string>& groups) {
    size_t first = tree.size();
    for (size_t i = 0; i < tree.size(); ++i) {
        if (tree[i]->id == "log") {
            first = i;
            break;
        }
    }
    if (first == tree.size()) {
        log(0, "Server sent no LogCheck group");
        return;
    }
    const devtree* forward = nullptr;
    for (const auto& child : tree[first]->children) {
        if (child->id == "/forward") {
            forward = child.get();
            break;
        }
    }
    // The log group and every top-level group after it.
    for (size_t i = first; i < tree.size(); ++i) resolve_group(*tree[i], forward, groups);
}

err register_agent(config& c, conversation_env& env) {
    std::string host;
    uint16_t port = 0;
    if (current_server_address(c, host, port)) log(0, "Talking to server: %s:%d", host.c_str(), port);

    stream_ptr s;
    err e = connect_server(c, s);
    if (!e) {
        if (!c.name) {
            uint32_t a = 0;
            if (socket_stream_local_address(*s, a)) {
                // The address is in network byte order: its first octet first.
                const auto* o = reinterpret_cast<const uint8_t*>(&a);
                c.name = strprintf("%d.%d.%d.%d", o[0], o[1], o[2], o[3]);
                log(0, "Using local ip address: %s", c.name->c_str());
            } else {
                log(3, "Could not determine local ip address");
                c.name = "";
            }
        }
        log(0, "Will authenticate");
        e = authenticate(c, s);
        if (!e) {
            log(0, "Will register with server");
            e = configure(*s, c, env, false);
        }
        if (e) {
            s->close();
        } else {
            log(0, "Authentication and registration ok");
            if (synchronize_time(*s))
                log(0, "Server does not support time synchronization");
            else
                s->close();
        }
    }
    if (e) fail_over(c);
    return e;
}

}  // namespace zp
