// messages_checkin.h - the check-in messages: the agent's checkin_req with its
// check_result records, and the server's checkin_resp with the agent actions
// (action_conf_group / action_conf). Conventions as in messages.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "devtree/devtree.h"
#include "protocol/messages.h"
#include "protocol/value_writer.h"

namespace zp {

// 6A 80; the caller writes the result list and the end-of-contents.
err write_checkin_req(ProtocolStream& s);
// Leading members of a check_result: checkTime, comment and status. The caller
// writes the path list, the value, the identifiers and the end-of-contents.
err write_check_result(ProtocolStream& s, int32_t check_time, std::string_view comment, uint32_t status);
// One complete check_result for `res` of `node`: the leading members (the
// comment only when `with_comment`), the path of group ids down to the check's
// id, the value in the encoding of the check's type, and the check's
// identifier with the result's alert group when it has them.
err write_result_record(ProtocolStream& s, const devnode& node, const resnode& res, int32_t check_time,
                        bool with_comment);
// The same into a writer that gathers a run of records; the caller finishes
// the writer (before it flushes the stream) and reports its stream error.
err write_result_record(value_writer& w, const devnode& node, const resnode& res, int32_t check_time,
                        bool with_comment);

// Leading members: checkinAck, confChanged, upgradeAvailable. The action group
// list, the hardware scan BOOL and the rest follow.
err read_checkin_resp_incomplete(ProtocolStream& s, bool& checkin_ack, bool& conf_changed,
                                 bool& upgrade_available, tag_code tag = 0);
// Leading member: id. The child list and the action list follow.
err read_action_conf_group_incomplete(ProtocolStream& s, std::string& id, tag_code tag = 0);
err read_action_conf(ProtocolStream& s, std::string& id, tag_code tag = 0);

// Reads a list of action_conf_group into groups below `parent` (null for the
// top level): each with its child groups and its actions, which become checks
// of type 8 with frequency -1 that have never run. On failure `out` is
// unchanged and everything read is released; groups nested deeper than
// max_nesting are refused.
err read_action_conf_list(ProtocolStream& s, devtree_list& out, devtree* parent, tag_code tag = 0);
// Reads a list of action_conf into checks of `group` (not added to it).
err read_action_list(ProtocolStream& s, devnode_list& out, devtree& group, tag_code tag = 0);

}  // namespace zp
