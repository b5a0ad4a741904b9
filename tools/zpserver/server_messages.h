// server_messages.h - the server's half of the wire protocol: readers of what
// the agent sends (client_wants, configure_req with the scanned tree,
// checkin_req with its results, the short requests) and writers of the
// server's replies. Built on the codec and the agent's message helpers, with
// the same member texts ("<record>.<member>: <text>").
//
// Every reader refuses what it cannot bound: lists longer than the limits
// below, nesting deeper than max_nesting. Out-parameters are unchanged on
// failure. One thread per stream.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "protocol/bignum.h"
#include "protocol/messages.h"

namespace zp::server {

// Most records one configure_req may carry (groups, checks, host information
// lines and descriptions together), and most results in one checkin_req.
inline constexpr size_t max_upload_records = 100000;
inline constexpr size_t max_checkin_results = 200000;
// Most octets of result texts (comments, log texts, paths) one check-in may carry.
inline constexpr size_t max_checkin_octets = 64u << 20;
// Most ids in a result's path.
inline constexpr size_t max_path_length = 300;

// ---- what the agent sends ----

struct client_hello {
    int32_t version = 0;
    client_private_key key;
};
// client_wants with its client_private_key.
err read_client_wants(ProtocolStream& s, client_hello& out, tag_code tag = 0);

struct scan_check {
    std::string id, name, comment, unit;
    uint32_t type = 0;
    std::optional<double> scan_value, range_low, range_high;  // NULL: absent
    int32_t description = 0;
};
struct scan_group {
    std::string id, name;
    std::vector<scan_check> checks;
    std::vector<scan_group> children;
    std::string name_template;
    bool flag = false;
};
struct description_line {
    int32_t id = 0;
    std::string good, warn, alert;
};
struct configure_request {
    int32_t package_id = 0, major = 0, minor = 0, build = 0, caps = 0;
    std::vector<std::pair<std::string, std::string>> host_info;
    std::vector<scan_group> groups;  // empty unless the agent uploads a scan
    std::vector<description_line> descriptions;
};
err read_configure_req(ProtocolStream& s, configure_request& out, tag_code tag = 0);

struct result_value {
    enum kind_t { null, integer, real, text } kind = null;
    int32_t i = 0;
    double d = 0;
    std::string s;
};
struct check_result {
    int32_t check_time = 0;
    std::string comment;
    uint32_t status = 0;
    std::vector<std::string> path;
    result_value value;
    std::optional<std::string> identifier;
    std::optional<std::string> alert_group;
};
// checkin_req and its list of check_result.
err read_checkin_req(ProtocolStream& s, std::vector<check_result>& out, tag_code tag = 0);

struct package_info {
    int32_t package_id = 0, major = 0, minor = 0, build = 0, caps = 0;
};
err read_upgrade_req(ProtocolStream& s, package_info& out, tag_code tag = 0);
err read_server_time_req(ProtocolStream& s, int32_t& sec, int32_t& usec, tag_code tag = 0);
err read_downtime_req(ProtocolStream& s, int32_t& minutes, std::string& comment, tag_code tag = 0);
err read_rescan_req(ProtocolStream& s, tag_code tag = 0);
err read_h_w_scan_req(ProtocolStream& s, tag_code tag = 0);

// ---- what the server sends ----

err write_server_offers(ProtocolStream& s, int32_t version, bool has_master_key, bool has_hallmark);
err write_negotiate_nack(ProtocolStream& s, const std::string& reason);
err write_diffie_hellmann_parameters(ProtocolStream& s, const bignum& modulus, const bignum& generator);

// One configured check. `conf` is the context tag number of its check type
// record: 0 continuous, 1 enum, 2 log, 3 real continuous, 4 advanced log.
struct conf_check {
    int32_t frequency = 60;
    std::string id;
    uint32_t conf = 0;
    std::optional<int32_t> int_values[4];    // continuous: alert high/low, warn high/low
    std::optional<double> real_values[4];    // real continuous, same order
    std::vector<uint32_t> states;            // enum: one ENUM per state (0, 1 warn, 2 alert)
    std::vector<std::string> rules;          // advanced log: rule clauses (status 1, decision log)
    std::optional<std::string> identifier;   // the server's id of the check
    std::optional<std::string> log_rule;     // advanced log: "\n" separator and this one rule
};
struct conf_group {
    std::string id;
    std::vector<conf_check> checks;
    std::vector<conf_group> children;
};
struct configure_reply {
    std::string id;
    int32_t checkin_frequency = -1;
    std::vector<std::pair<std::string, int32_t>> servers;
    std::vector<conf_group> tree;
    std::optional<std::vector<std::string>> alert_groups;  // absent: the list is left out
};
err write_configure_resp(ProtocolStream& s, const configure_reply& reply);

struct action_group {
    std::string id;
    std::vector<action_group> children;
    std::vector<std::string> actions;
};
struct checkin_reply {
    bool ack = true;
    bool conf_changed = false;
    bool upgrade_available = false;
    std::vector<action_group> actions;
    bool hw_scan = false;
};
err write_checkin_resp(ProtocolStream& s, const checkin_reply& reply);

err write_server_time_resp(ProtocolStream& s, int32_t sec, int32_t usec);
err write_downtime_resp(ProtocolStream& s, bool success, const std::string& message);
err write_rescan_resp(ProtocolStream& s, bool success, const std::string& message);
err write_h_w_scan_resp(ProtocolStream& s, bool nack);
// The head of an upgrade_resp: identifier, 0x80, the unused INTEGER (0) and
// the identifier and definite length of the OCTET STRING that holds the
// program file. The caller writes the `size` file octets and then the
// end-of-contents.
err write_upgrade_resp_head(ProtocolStream& s, uint32_t size);

}  // namespace zp::server
