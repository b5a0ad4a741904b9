// upgrade.h - the agent's self-upgrade: the download of a new executable on a
// thread of its own at idle priority, its placement as "upgrade" beside the
// running executable, and the one-byte messages to the supervising process
// that started the agent with --parent-pipes (which installs it).
//
// Parent pipe bytes: parent to agent 0 = stop (the end of the pipe too; other
// bytes are ignored); agent to parent 2 = the agent works (its first
// acknowledged check-in, once per process), 1 = an upgrade has been placed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/err.h"

namespace zp {

// The download's file in the current directory.
inline constexpr const char* download_file_name = "download.tmp";

// Fetches the new executable into `path` (created or truncated); runs on the
// download thread.
using download_op = std::function<err(const std::string& path)>;

// Starts the download thread unless one exists ("Server has an upgrade,
// downloading ..." at level 1). The thread downloads into download.tmp and
// moves it to "upgrade" beside the executable; a partial file never appears
// under that name. Main thread.
void start_download(download_op download);

// Where "upgrade" is placed; empty (the default): beside the running
// executable. Tests name a temporary directory.
void set_upgrade_dir(const std::string& dir);

// After every wait of the main loop: when the download thread has ended,
// removes it; on success logs "Download complete", calls `ready` (the loop's
// upgrade-ready flag) and writes the byte 1 to the parent. Main thread.
void poll_download(const std::function<void()>& ready);

// At shutdown: tells a running download not to place its file and waits for
// its end (bounded by the server conversation's time-outs). Main thread.
void end_download();

// The parent pipes of --parent-pipes (file descriptor numbers inherited from
// the parent; 0 and 0: none). Start-up, before the reader starts.
void set_parent_pipes(uint64_t in, uint64_t out);

// Starts the parent-pipe reader (nothing without parent pipes). A byte 0 calls
// `on_stop` unless `upgrade_ready()` holds (the parent's stop must not turn
// the upgrade exit into a normal shutdown); the end of the pipe or a read
// error calls `on_stop`. The reader ends after either. Main thread.
void start_parent_pipe_reader(std::function<bool()> upgrade_ready, std::function<void()> on_stop);
// Ends the reader and waits for it. Main thread.
void stop_parent_pipe_reader();

// After every acknowledged check-in: writes the byte 2 to the parent once per
// process (a failed write is tried again next time). Main thread.
void report_agent_works();

// Forgets the works-reported flag and the parent pipes (tests).
void reset_upgrade_state();

}  // namespace zp
