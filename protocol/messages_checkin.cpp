// messages_checkin.cpp - readers and writers of the check-in messages.
#include "protocol/messages_checkin.h"

#include <climits>

#include "core/log.h"

namespace zp {

namespace {

constexpr int32_t any_min = INT32_MIN;
constexpr int32_t any_max = INT32_MAX;

// Ids of the check's groups from the top-level group down, then its own id.
err write_path_list(ProtocolStream& s, const devnode& node) {
    const devtree* chain[devtree_max_depth];
    size_t n = 0;
    for (const devtree* g = node.parent; g && n < devtree_max_depth; g = g->parent) chain[n++] = g;
    if (auto e = write_list_start(s)) return e;
    while (n) {
        if (auto e = write_string(s, 256, chain[--n]->id)) return e;
    }
    if (auto e = write_string(s, 256, node.id)) return e;
    return write_end_of_contents(s);
}

err write_result_value(ProtocolStream& s, const devnode& node, const resnode& res) {
    if (is_bitmap_type(node.type)) {
        log(-1, "Sending Bitmap");
        return write_signed_int(s, any_min, any_max, res.ivalue);
    }
    switch (node.type) {
    case type_continuous:
        log(-1, "Sending Continuous");
        return write_signed_int(s, any_min, any_max, res.ivalue);
    case type_action:
        log(-1, "Sending AgentAction");
        return write_null(s);
    case type_log:
    case type_adv_log: {
        log(-1, "Sending Log");
        auto text = res.log_text();
        return write_string(s, 65536, text ? *text : std::string_view());
    }
    case type_real_continuous:
        if (auto text = res.text()) {
            std::string t(*text);
            log(-1, "Sending RealContinuous with error \"%s\"", t.c_str());
        } else {
            log(-1, "Sending RealContinuous with value \"%f\"", res.dvalue);
        }
        return write_real(s, res.dvalue);
    default:
        log(0, "Unhandled check type - sending null");
        return write_null(s);
    }
}

err read_actions(ProtocolStream& s, devtree_list& out, devtree* parent, tag_code tag, int depth) {
    if (depth > max_nesting) return err::text("Groups nested too deeply in read_action_conf_list");
    if (auto e = read_list_start(s, "read_action_conf_list", tag)) return e;
    devtree_list groups;
    for (;;) {
        tag_code t = 0;
        bool end = false;
        if (auto e = read_list_next(s, "read_action_conf_list", t, end)) return e;
        if (end) break;
        auto g = std::make_unique<devtree>();
        g->parent = parent;
        if (auto e = read_action_conf_group_incomplete(s, g->id, t)) return e;
        // Children come before the actions in this record.
        if (auto e = read_actions(s, g->children, g.get(), 0, depth + 1)) return e;
        devnode_list actions;
        if (auto e = read_action_list(s, actions, *g)) return e;
        g->checks = std::move(actions);
        if (auto e = skip_to_eol(s)) return e;
        groups.push_back(std::move(g));
    }
    out = std::move(groups);
    return {};
}

}  // namespace

err write_checkin_req(ProtocolStream& s) { return write_constructed_start(s, tag_checkin_req); }

err write_check_result(ProtocolStream& s, int32_t check_time, std::string_view comment, uint32_t status) {
    if (auto e = write_list_start(s)) return e;
    if (auto e = write_signed_int(s, any_min, any_max, check_time)) return member_error("check_result.checkTime", e);
    if (auto e = write_string(s, 256, comment)) return member_error("check_result.comment", e);
    if (auto e = write_enumerated(s, status)) return member_error("check_result.status", e);
    return {};
}

err write_result_record(ProtocolStream& s, const devnode& node, const resnode& res, int32_t check_time,
                        bool with_comment) {
    auto text = res.text();
    std::string_view comment = with_comment && text ? *text : std::string_view();
    if (auto e = write_check_result(s, check_time, comment, res.status)) return e;
    if (auto e = write_path_list(s, node)) return e;
    if (auto e = write_result_value(s, node, res)) return e;
    if (node.identifier) {
        if (auto e = write_string(s, 256, *node.identifier)) return member_error("check_result.identifier", e);
        if (auto group = res.alert_group()) {
            if (auto e = write_string(s, 256, *group)) return member_error("check_result.alertGroup", e);
        }
    } else {
        log(0, "devnode without identifier");
    }
    return write_end_of_contents(s);
}

err read_checkin_resp_incomplete(ProtocolStream& s, bool& checkin_ack, bool& conf_changed, bool& upgrade_available,
                                 tag_code tag) {
    if (auto e = read_record_start(s, tag_checkin_resp, "read_checkin_resp_incomplete", tag)) return e;
    bool ack, changed, upgrade;
    if (auto e = read_bool(s, ack)) return member_error("checkin_resp.checkinAck", e);
    if (auto e = read_bool(s, changed)) return member_error("checkin_resp.confChanged", e);
    if (auto e = read_bool(s, upgrade)) return member_error("checkin_resp.upgradeAvailable", e);
    checkin_ack = ack;
    conf_changed = changed;
    upgrade_available = upgrade;
    return {};
}

err read_action_conf_group_incomplete(ProtocolStream& s, std::string& id, tag_code tag) {
    if (auto e = read_record_start(s, BE_SEQ, "read_action_conf_group_incomplete", tag)) return e;
    std::string i;
    if (auto e = read_string(s, 256, i)) return member_error("action_conf_group.id", e);
    id = std::move(i);
    return {};
}

err read_action_conf(ProtocolStream& s, std::string& id, tag_code tag) {
    if (auto e = read_record_start(s, BE_SEQ, "read_action_conf", tag)) return e;
    std::string i;
    if (auto e = read_string(s, 256, i)) return member_error("action_conf.id", e);
    if (auto e = skip_to_eol(s)) return e;
    id = std::move(i);
    return {};
}

err read_action_conf_list(ProtocolStream& s, devtree_list& out, devtree* parent, tag_code tag) {
    int depth = 1;
    for (const devtree* p = parent; p && depth <= max_nesting; p = p->parent) ++depth;
    return read_actions(s, out, parent, tag, depth);
}

err read_action_list(ProtocolStream& s, devnode_list& out, devtree& group, tag_code tag) {
    if (auto e = read_list_start(s, "read_action_list", tag)) return e;
    devnode_list nodes;
    for (;;) {
        tag_code t = 0;
        bool end = false;
        if (auto e = read_list_next(s, "read_action_list", t, end)) return e;
        if (end) break;
        std::string id;
        if (auto e = read_action_conf(s, id, t)) return e;
        auto node = alloc_devnode();
        node->id = std::move(id);
        node->type = type_action;
        node->frequency = -1;
        node->next_due = 0;
        node->parent = &group;
        nodes.push_back(std::move(node));
    }
    out = std::move(nodes);
    return {};
}

}  // namespace zp
