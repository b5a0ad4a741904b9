// checkin.h - the check-in: time synchronisation, the queued results of the
// configured tree and of the action tree sent oldest first under a limit, and
// what the server's reply brings (acknowledgement, a changed configuration,
// agent actions, an upgrade offer, a hardware scan request).
//
// Everything here runs on the main thread; the result queues are changed only
// there, so what is removed after an acknowledgement is what was sent.
#pragma once

#include <cstdint>

#include "core/config.h"
#include "core/err.h"
#include "devtree/devtree.h"
#include "protocol/configure.h"
#include "protocol/stream.h"

namespace zp {

// Agent clock minus server clock in seconds, from the last time synchronisation.
// Written by synchronize_time (registration and check-in), read by
// write_results to send each result in server time; both in protocol/, on the
// main thread. Tests set it directly.
int64_t& time_offset();

// Sends the agent's time and reads the server's; sets time_offset(). Any
// failure closes the stream and returns its text.
err synchronize_time(ProtocolStream& s);

// How many results one check-in sent from each check, so that exactly those
// go when the server acknowledges them.
struct sent_count {
    devnode* node;
    size_t count;
};

// Writes the results of the configured tree and of the action tree as one
// list of check_result: first the oldest result of every configured check,
// then the rest of the configured checks' results, then the actions' results,
// stopping when `limit` results are written. `sent` gets the per-check counts.
err write_results(ProtocolStream& s, devtree_list& configured, devtree_list& actions, uint32_t limit,
                  std::vector<sent_count>& sent);
// Removes the counted results from the head of each check's queue.
void remove_sent(const std::vector<sent_count>& sent);

// One check-in with the current server, sending at most `limit` results.
// `acknowledged` is set when the server took the results (they are then
// removed). The caller (the main loop) adjusts the limit and fails over.
err checkin(config& c, conversation_env& env, uint32_t limit, bool& acknowledged);

}  // namespace zp
