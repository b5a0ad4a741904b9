// channel.h - the channel event log reader: event log checks read through the
// host's channel interface (on Linux the systemd journal), one text line per
// event handed to the check's rules, and the channel list that log discovery
// offers for "eventlog:" lines.
//
// Main thread only. The reader keeps its position as a bookmark in the tail
// of the check's log_file_state, persisted as "last_bin:" + the check's
// dotted name by log_save_state.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/err.h"
#include "devtree/devtree.h"
#include "logcheck/channel_os.h"

namespace zp {

// Makes the channel interface usable once (the journal must open) and
// records the outcome; later calls return the recorded result. Called at
// start-up; not being able to read the journal is logged at level 1.
bool load_channel_api();
// What load_channel_api recorded (false before it ran).
bool channel_api_available();
// Forgets the recorded result (tests).
void reset_channel_api();

// Reads the events of the check's channel (its id) after the bookmark and
// hands each line "level:provider:task:event:user:computer:message" to the
// rules. `is_new`: the state was just made; the bookmark is then loaded from
// the variables. Stops early when the results waiting exceed half the budget
// or a check-in is due; the next check goes on from the bookmark. Returns
// "execute_event_log_check failed: %s" on a failure of the interface, with
// the bookmark of the last complete batch kept. A wrong state tag is fatal.
err execute_event_log_check(devnode& node, bool is_new);

// The line of one event: "level:provider:task:event:user:computer:message",
// the level by name, "N/A" for no user, `message` as it is.
void event_log_line(std::string& line, const channel_event& ev, std::string_view message);

// The channel names offered for an "eventlog:" line (logged as the scan goes;
// none when the interface is unavailable or the list cannot be had).
std::vector<std::string> event_log_channels();

}  // namespace zp
