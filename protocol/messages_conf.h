// messages_conf.h - the configuration download messages: the agent's
// configure_req with its host information, scanned groups, checks and check
// descriptions, and the server's configure_resp with its server list, the
// configured device tree of check_conf_group / check_conf records, and the
// alert groups. Conventions as in messages.h.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "devtree/devtree.h"
#include "protocol/messages.h"

namespace zp {

// Variants of the check type choice inside check_conf.
inline constexpr tag_code tag_continuous_conf = context_tag(0);
inline constexpr tag_code tag_enum_conf = context_tag(1);
inline constexpr tag_code tag_log_conf = context_tag(2);
inline constexpr tag_code tag_real_continuous_conf = context_tag(3);
inline constexpr tag_code tag_adv_log_conf = context_tag(4);

// ---- agent to server ----

// 68 80 and the fixed package id, version numbers and capabilities; the caller
// writes the three lists and the end-of-contents.
err write_configure_req(ProtocolStream& s);
err write_host_info_line(ProtocolStream& s, std::string_view label, std::string_view value);
// The client information list as a list of host_info_line (an absent value is
// sent empty).
err write_host_info_list(ProtocolStream& s, const clinfo_list& lines);
// Leading members of a check_group: id and name. The caller writes the check
// list, the child list, the name template, the flag and the end-of-contents.
err write_check_group(ProtocolStream& s, const devtree& group);
// Leading members of a check: id, name, comment, type and unit. The caller
// writes the range, the description code and the end-of-contents.
err write_check(ProtocolStream& s, const devnode& node);
err write_check_description(ProtocolStream& s, int32_t id, std::string_view good, std::string_view warn,
                            std::string_view alert);
// A scanned tree as a list of complete check_group records. A group whose id
// is longer than 256 octets is left out (with its subtree) and logged.
err write_check_group_list(ProtocolStream& s, const devtree_list& groups);
// The checks of one group as a list of complete check records.
err write_check_list(ProtocolStream& s, const devnode_list& checks);

// ---- server to agent ----

// The server's answer to configure_req: its refusal, or the leading members
// of configure_resp (the caller reads the rest). A failure to read the
// identifier is logged as "Error reading Configure response" (level 2); other
// tags: "Got unexpected tag %d from server".
struct configure_reply {
    bool nack = false;
    std::string reason;  // of a negotiate_nack
    std::string id;
    int32_t checkinFrequency = 0;
};
err read_configure_reply(ProtocolStream& s, configure_reply& reply);

// The server's answer to h_w_scan_req. A read failure is logged ("Couldn't
// read HWScan response. ...", level 2) and returned: the caller stops sending
// the notice. A nack and any other tag are only logged (level 2).
err read_h_w_scan_reply(ProtocolStream& s);

// Leading members: the agent's id and its check-in frequency.
err read_configure_resp_incomplete(ProtocolStream& s, std::string& id, int32_t& checkin_frequency,
                                   tag_code tag = 0);
err read_server_name_port(ProtocolStream& s, std::string& name, int32_t& port, tag_code tag = 0);
// Leading member: id. The check_conf list and the child list follow.
err read_check_conf_group_incomplete(ProtocolStream& s, std::string& id, tag_code tag = 0);
// Leading members: frequency and id. The check type record and the optional
// identifier follow.
err read_check_conf_incomplete(ProtocolStream& s, int32_t& frequency, std::string& id, tag_code tag = 0);
// The check type records; the caller reads their check values (or list) and
// skips to their end.
err read_continuous_conf_incomplete(ProtocolStream& s, tag_code tag = 0);
err read_enum_conf_incomplete(ProtocolStream& s, tag_code tag = 0);
err read_log_conf(ProtocolStream& s, tag_code tag = 0);
err read_real_continuous_conf_incomplete(ProtocolStream& s, tag_code tag = 0);
err read_adv_log_conf_incomplete(ProtocolStream& s, std::string& record_separator,
                                 uint32_t& separator_inclusion, tag_code tag = 0);

struct rule_conf {
    std::string regex;
    uint32_t status = 0;
    uint32_t decision = 0;
    std::string destination;
};
err read_rule(ProtocolStream& s, rule_conf& rule, tag_code tag = 0);
err read_alert_group(ProtocolStream& s, std::string& id, tag_code tag = 0);

// Check values: an INTEGER (or REAL) gives the number, a NULL gives -1.
err read_check_value_int(ProtocolStream& s, int32_t& value, tag_code tag = 0);
err read_check_value_real(ProtocolStream& s, double& value, tag_code tag = 0);
err read_check_value_time(ProtocolStream& s, int64_t& value, tag_code tag = 0);

// What the configured tree needs from the log rule module: compiling a record
// separator and parsing a rule's clause. Their errors end the read; a parse
// error is logged and reported as "Unexpected parse error in read_devnode".
// Without a hook the separator stays absent and rules get no condition.
struct log_conf_hooks {
    std::function<err(const std::string& separator, std::shared_ptr<pattern>& out)> compile_separator;
    std::function<err(const std::string& clause, std::shared_ptr<log_cond>& out)> parse_rule;
    // Bytes of compiled patterns made so far on this thread (a running total,
    // compiled_pattern_bytes). Empty: patterns are not counted.
    std::function<uint64_t()> compiled_bytes;
};

// What one read of a configured tree may create, so that memory does not grow
// with whatever the server sends. Past a cap the read fails with one of
// "Configuration refused: more than %llu checks" (check groups, log rules)
// or "Configuration refused: its patterns need more than %llu MB".
struct conf_limits {
    uint64_t checks = 1000000;
    uint64_t groups = 100000;
    uint64_t rules = 100000;
    uint64_t pattern_bytes = uint64_t{64} << 20;  // separators and rule patterns, compiled
};
// The limits of every read below; tests lower them.
conf_limits& configuration_limits();

// Reads a list of check_conf_group into groups (checks, children, ids; parents
// set below `parent`, which may be null for the top level). On failure `out`
// is unchanged and everything read is released. Groups nested deeper than
// max_nesting are refused.
err read_devtree_list(ProtocolStream& s, devtree_list& out, devtree* parent, const log_conf_hooks& hooks,
                      tag_code tag = 0);
// Reads a list of check_conf into checks of `group` (not added to it: the
// caller does). On failure `out` is unchanged.
err read_devnode_list(ProtocolStream& s, devnode_list& out, devtree& group, const log_conf_hooks& hooks,
                      tag_code tag = 0);

}  // namespace zp
