// messages_checkin.cpp - readers and writers of the check-in messages.
#include "protocol/messages_checkin.h"

#include <climits>
#include <optional>

#include "core/log.h"

namespace zp {

namespace {

constexpr int32_t any_min = INT32_MIN;
constexpr int32_t any_max = INT32_MAX;

// How a result's value goes out, by its check's type.
enum class value_kind { integer, null, real, text };

value_kind result_value_kind(const devnode& node, const resnode& res) {
    // The trace lines are looked at only when someone reads them: this runs
    // once per result of every check-in.
    const bool trace = get_log_level() <= -1;
    if (is_bitmap_type(node.type)) {
        if (trace) log(-1, "Sending Bitmap");
        return value_kind::integer;
    }
    switch (node.type) {
    case type_continuous:
        if (trace) log(-1, "Sending Continuous");
        return value_kind::integer;
    case type_action:
        if (trace) log(-1, "Sending AgentAction");
        return value_kind::null;
    case type_log:
    case type_adv_log:
        if (trace) log(-1, "Sending Log");
        return value_kind::text;
    case type_real_continuous:
        if (trace) {
            if (auto text = res.text()) {
                std::string t(*text);
                log(-1, "Sending RealContinuous with error \"%s\"", t.c_str());
            } else {
                log(-1, "Sending RealContinuous with value \"%f\"", res.dvalue);
            }
        }
        return value_kind::real;
    default:
        log(0, "Unhandled check type - sending null");
        return value_kind::null;
    }
}

// Everything a check_result carries, checked against the wire limits.
struct result_parts {
    std::string_view comment;
    const devtree* chain[devtree_max_depth];  // the check's groups, innermost first
    size_t depth = 0;
    value_kind kind = value_kind::null;
    std::string_view log_text;
    std::optional<std::string_view> identifier;
    std::optional<std::string_view> group;
    size_t room = 0;  // octets the whole record may need at a cursor
};

err gather(const devnode& node, const resnode& res, bool with_comment, result_parts& r) {
    if (with_comment) {
        if (auto text = res.text()) r.comment = *text;
    }
    if (r.comment.size() > 256) return member_error("check_result.comment", err::text("data out of range in write_string"));
    r.room = 2 + put::int_room + put::string_room(r.comment.size()) + put::enum_room + 2;
    for (const devtree* g = node.parent; g && r.depth < devtree_max_depth; g = g->parent) {
        if (g->id.size() > 256) return err::text("data out of range in write_string");
        r.chain[r.depth++] = g;
        r.room += put::string_room(g->id.size());
    }
    if (node.id.size() > 256) return err::text("data out of range in write_string");
    r.room += put::string_room(node.id.size()) + 2;
    r.kind = result_value_kind(node, res);
    switch (r.kind) {
    case value_kind::integer:
        r.room += put::int_room;
        break;
    case value_kind::null:
        r.room += 2;
        break;
    case value_kind::real:
        r.room += put::real_room;
        break;
    case value_kind::text:
        if (auto t = res.log_text()) r.log_text = *t;
        if (r.log_text.size() > 65536) return err::text("data out of range in write_string");
        r.room += put::string_room(r.log_text.size());
        break;
    }
    if (node.identifier) {
        r.identifier = *node.identifier;
        if (r.identifier->size() > 256)
            return member_error("check_result.identifier", err::text("data out of range in write_string"));
        r.room += put::string_room(r.identifier->size());
        r.group = res.alert_group();
        if (r.group && r.group->size() > 256)
            return member_error("check_result.alertGroup", err::text("data out of range in write_string"));
        if (r.group) r.room += put::string_room(r.group->size());
    } else {
        log(0, "devnode without identifier");
    }
    r.room += 2;
    return {};
}

// Encodes a checked record at a cursor with room for r.room octets.
uint8_t* put_record(uint8_t* p, const devnode& node, const resnode& res, int32_t check_time,
                    const result_parts& r) {
    p = put::list_start(p);
    p = put::signed_int(p, check_time);
    p = put::string(p, r.comment);
    p = put::enumerated(p, res.status);
    p = put::list_start(p);
    for (size_t i = r.depth; i > 0; --i) p = put::string(p, r.chain[i - 1]->id);
    p = put::string(p, node.id);
    p = put::end_of_contents(p);
    switch (r.kind) {
    case value_kind::integer:
        p = put::signed_int(p, res.ivalue);
        break;
    case value_kind::null:
        p = put::null(p);
        break;
    case value_kind::real:
        p = put::real(p, res.dvalue);
        break;
    case value_kind::text:
        p = put::string(p, r.log_text);
        break;
    }
    if (r.identifier) {
        p = put::string(p, *r.identifier);
        if (r.group) p = put::string(p, *r.group);
    }
    return put::end_of_contents(p);
}

// The same through the writer's own calls, for records too long for one
// reservation (a long log text).
void write_record_piecewise(value_writer& w, const devnode& node, const resnode& res, int32_t check_time,
                            const result_parts& r) {
    w.list_start();
    (void)w.signed_int(INT32_MIN, INT32_MAX, check_time);
    (void)w.string(256, r.comment);
    w.enumerated(res.status);
    w.list_start();
    for (size_t i = r.depth; i > 0; --i) (void)w.string(256, r.chain[i - 1]->id);
    (void)w.string(256, node.id);
    w.end_of_contents();
    switch (r.kind) {
    case value_kind::integer:
        (void)w.signed_int(INT32_MIN, INT32_MAX, res.ivalue);
        break;
    case value_kind::null:
        w.null();
        break;
    case value_kind::real:
        (void)w.real(res.dvalue);
        break;
    case value_kind::text:
        (void)w.string(65536, r.log_text);
        break;
    }
    if (r.identifier) {
        (void)w.string(256, *r.identifier);
        if (r.group) (void)w.string(256, *r.group);
    }
    w.end_of_contents();
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
    value_writer w(s);
    w.list_start();
    if (auto e = w.signed_int(any_min, any_max, check_time)) return member_error("check_result.checkTime", e);
    if (auto e = w.string(256, comment)) return member_error("check_result.comment", e);
    w.enumerated(status);
    return w.finish();
}

err write_result_record(value_writer& w, const devnode& node, const resnode& res, int32_t check_time,
                        bool with_comment) {
    result_parts r;
    if (auto e = gather(node, res, with_comment, r)) return e;
    if (r.room <= value_writer::capacity)
        w.commit(put_record(w.reserve(r.room), node, res, check_time, r));
    else
        write_record_piecewise(w, node, res, check_time, r);
    return {};
}

err write_result_record(ProtocolStream& s, const devnode& node, const resnode& res, int32_t check_time,
                        bool with_comment) {
    value_writer w(s);
    if (auto e = write_result_record(w, node, res, check_time, with_comment)) return e;
    return w.finish();
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
