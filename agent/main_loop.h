// main_loop.h - the agent's main loop: registration with back-off, the choice
// and running of due checks, periodic check-ins, pending agent actions, the
// regression-test exit and the shutdown.
//
// Everything here runs on the main thread, except request_stop and
// set_upgrade_ready, which the parent-pipe reader and the download thread call.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "core/err.h"
#include "devtree/devtree.h"

namespace zp {

// Process-wide scheduling state of the loop. Owned by the main loop on the main
// thread: it and the conversations it starts (loop_conversations, which lend the
// trees and the throttle to protocol/) are the only writers and readers, except
// the two atomic flags, which request_stop and set_upgrade_ready raise from any
// thread (today the stop-signal thread of host/; later the parent-pipe reader
// and the upgrade download thread).
struct loop_state {
    int32_t failures = 1;          // at most server count + 7
    int64_t last_checkin = 0;      // last acknowledged check-in (0: none yet)
    int64_t hold_until = 0;        // no check-in before this time
    uint32_t result_throttle = 50; // most results sent per check-in
    int32_t unacked = 0;           // check-ins in a row the server did not acknowledge
    std::atomic<bool> stop_requested{false};
    std::atomic<bool> upgrade_ready{false};
    devtree_list configured;       // set by registration
    devtree_list actions;          // one-shot checks from check-in replies
    clinfo_list client_info;
};

loop_state& agent_loop();
// Back to the initial state (tests); releases the trees.
void reset_agent_loop();

// The operations the loop calls out to. Registration and check-in belong to the
// protocol; the rest have defaults. Every member may be left empty: an empty
// registration or check-in fails with "not available in this build".
struct loop_ops {
    // Registers and downloads the configuration into agent_loop().configured
    // (carrying results over). On failure with several servers it advances the
    // current server and raises server_changed().
    std::function<err()> register_agent;
    // Sends the queued results; `acknowledged` tells whether the server took
    // them. New actions go into agent_loop().actions.
    std::function<err(bool& acknowledged)> checkin;
    // Run once at the start; the tree is released at once. Default hardware_scan.
    std::function<devtree_list()> scan;
    std::function<clinfo_list()> client_info;
    // After every run of an advanced log check, with the run's start time.
    std::function<void(devnode&, int64_t)> log_silence_check;
    // After every wait: the log reopen rule (check_log_reopen with the
    // configured log file) and the download poll.
    std::function<void()> log_reopen;
    std::function<void()> poll_download;
    // Host start and clean-up. Defaults: the stop event among the wait objects.
    std::function<void()> init_host;
    std::function<void()> release_host;
    // After an acknowledged check-in: tells a parent upgrade process we work.
    std::function<void()> notify_parent;
    // Waits up to `seconds` (default wait_for_object); tests advance a clock.
    std::function<void(int seconds)> wait;
    // Results waiting for the server across a stop: put back once on the tree
    // of the first registration; kept after every flush of the variables that
    // wrote and at shutdown (only once they were put back, so that a stop
    // before any registration leaves what was kept alone).
    std::function<void(devtree_list&)> restore_results;
    std::function<void(const devtree_list&)> save_results;
};

// The check-in interval in effect: 60 when unset, else at least 10.
int64_t effective_checkin_interval();
// True when now is later than max(last check-in + interval, hold until).
bool checkin_due();
// Seconds to hold off after a failure.
int backoff();

// Asks the loop to stop / reports a finished upgrade download; both wake every
// timed sleep. Any thread.
void request_stop();
void set_upgrade_ready();

// The loop's own event, which request_stop and set_upgrade_ready signal, put
// among the wait objects and wake-up events and taken out again: what an empty
// init_host and release_host do. Main thread.
void add_loop_events();
void remove_loop_events();

// Runs the loop until it ends and returns the exit code (0). Tests call it with
// fakes; agent_main_loop uses the defaults and exits.
int run_agent_loop(const loop_ops& ops);
[[noreturn]] void agent_main_loop(const loop_ops& ops);

}  // namespace zp
