// configure.h - registration and the configuration download: the agent tells
// the server who it is (and, when asked, what a fresh hardware scan found) and
// receives its id, check-in frequency, server list, the configured device tree
// and the alert groups; the new tree replaces the old one with results and
// check state carried over, and the log rule destinations are resolved.
//
// Everything here runs on the main thread.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/err.h"
#include "devtree/devtree.h"
#include "protocol/messages_conf.h"
#include "protocol/stream.h"

namespace zp {

// What the conversations read and change besides the configuration. The trees
// and the client information belong to the main loop and stay its own; the
// conversations only borrow them for the call.
struct conversation_env {
    devtree_list* configured = nullptr;       // replaced by each configuration download
    devtree_list* actions = nullptr;          // check-in puts new action groups in front
    const clinfo_list* client_info = nullptr; // sent with every configure_req; may be null
    std::function<devtree_list()> scan;       // the hardware scan; empty: hardware_scan
    log_conf_hooks log_hooks;                 // empty members: default_log_hooks()
    // Called when a check-in offers an upgrade that the configuration allows.
    // Empty: the offer is logged and nothing is downloaded.
    std::function<void()> start_upgrade;
};

// Ids of the alert groups the server sent last, in its order; replaced only by
// a download that carries the list. Written and read only here (configure), on
// the main thread; tests reset it. Not devtree/'s table of group names, which
// only interns the names results carry.
std::vector<std::string>& alert_groups();
// On until a server does not answer h_w_scan_req; then off for the process.
// Written and read only by configure, on the main thread; tests reset it.
bool& hw_scan_notification();

// The rule language's clause parser and pattern compiler, as the
// configuration reader calls them.
log_conf_hooks default_log_hooks();

// The 30 check descriptions every hardware-scan upload carries.
err write_check_descriptions(ProtocolStream& s);

// The configuration download on an authenticated stream: configure_req (with a
// fresh hardware scan when `hw_scan`), then configure_resp. On success the new
// tree is env.configured; on failure the previous tree stays (the host id and
// the server list are updated as soon as they are read). The caller closes
// the stream on failure.
err configure(ProtocolStream& s, config& c, conversation_env& env, bool hw_scan);

// Fills in the forward destinations of the log rules of `tree` (checks of the
// "/forward" group below "log") and logs the alert group destinations it can
// not find in `groups`.
void resolve_log_destinations(devtree_list& tree, const std::vector<std::string>& groups);

// The registration conversation with the current server: connect, the local
// address as the agent name when none is configured, authenticate, download
// the configuration, synchronise the time. On failure with two or more servers
// the next server becomes current.
err register_agent(config& c, conversation_env& env);

}  // namespace zp
