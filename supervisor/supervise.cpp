// supervise.cpp - the supervising process's decisions: when to install, when
// to go back, when and how soon to restart.
#include "supervisor/supervise.h"

#include <algorithm>
#include <chrono>

#include "core/log.h"
#include "supervisor/supervise_os.h"

namespace zp {

namespace {

using steady = std::chrono::steady_clock;

// An agent that ran this long before it ended starts a new series of restarts.
constexpr auto long_run = std::chrono::minutes(10);
// How long a stopped agent may take to shut down before it is killed.
constexpr int stop_grace_ms = 60000;

int ms_until(steady::time_point t) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t - steady::now()).count();
    return static_cast<int>(std::clamp<int64_t>(left, 0, 0x7FFFFFFF));
}

std::string upgrade_path(const std::string& exe) {
    size_t slash = exe.rfind('/');
    return (slash == std::string::npos ? std::string() : exe.substr(0, slash + 1)) + "upgrade";
}

// How one run of the agent ended.
struct run_end {
    int exit_code = 0;
    bool placed_upgrade = false;  // byte 1
    bool worked = false;          // byte 2
    bool stopped = false;         // we were told to stop
    bool timed_out = false;       // a new version did not report in time
};

run_end run_once(const supervise_options& o, supervise_os::child& c, bool on_trial) {
    run_end r;
    const auto trial_end = steady::now() + std::chrono::seconds(o.upgrade_timeout);
    steady::time_point kill_at{};
    for (;;) {
        int timeout = -1;
        if (kill_at != steady::time_point{})
            timeout = ms_until(kill_at);
        else if (on_trial && !r.worked)
            timeout = ms_until(trial_end);
        supervise_os::event ev = supervise_os::wait_event(c, timeout);
        switch (ev.kind) {
        case supervise_os::event_kind::stop:
            if (!r.stopped) {
                log(1, "Stopping the agent");
                r.stopped = true;
                supervise_os::send_byte(c, 0);
                kill_at = steady::now() + std::chrono::milliseconds(stop_grace_ms);
            }
            break;
        case supervise_os::event_kind::byte:
            if (ev.byte == 1) {
                log(1, "The agent placed an upgrade");
                r.placed_upgrade = true;
            } else if (ev.byte == 2 && !r.worked) {
                log(1, "The agent works");
                r.worked = true;
            }
            break;
        case supervise_os::event_kind::timeout:
            if (kill_at != steady::time_point{}) {
                log(2, "The agent did not end; killing it");
                supervise_os::signal_agent(c, true);
                kill_at = steady::time_point{};
            } else if (on_trial && !r.worked && !r.timed_out) {
                log(2, "The new version did not report within %d seconds", o.upgrade_timeout);
                r.timed_out = true;
                supervise_os::signal_agent(c, false);
                kill_at = steady::now() + std::chrono::milliseconds(stop_grace_ms);
            }
            break;
        case supervise_os::event_kind::exited:
            r.exit_code = ev.exit_code;
            return r;
        }
    }
}

}  // namespace

int restart_delay(int n, int max) {
    int d = 1;
    for (int i = 1; i < n && d < max; ++i) d *= 2;
    return std::min(d, max);
}

err install_upgrade(const std::string& exe) {
    const std::string upgrade = upgrade_path(exe);
    if (!supervise_os::file_exists(upgrade)) return format_error("There is no %s", upgrade.c_str());
    if (err e = supervise_os::replace_name(exe, exe + ".previous", true)) return e;
    return supervise_os::replace_name(upgrade, exe, false);
}

err roll_back(const std::string& exe) {
    const std::string previous = exe + ".previous";
    if (!supervise_os::file_exists(previous)) return format_error("There is no %s", previous.c_str());
    return supervise_os::replace_name(previous, exe, true);
}

int supervise(const supervise_options& o) {
    if (err e = supervise_os::watch_signals()) {
        log(3, "Cannot watch the stop signals: %s", e.c_str());
        return 1;
    }
    int restarts = 0;        // ends in a row without a long run
    bool on_trial = false;   // a new version that has not reported yet
    bool after_failed = false;
    for (;;) {
        std::vector<std::string> args = o.args;
        if (after_failed) args.push_back("--upgrade-failed");
        supervise_os::child c;
        run_end r;
        const auto started = steady::now();
        if (err e = supervise_os::start_agent(o.exe, args, c)) {
            log(3, "Cannot start %s: %s", o.exe.c_str(), e.c_str());
            r.exit_code = 127;
        } else {
            log(1, "Started %s (process %lld)%s", o.exe.c_str(), static_cast<long long>(c.pid),
                after_failed ? " after a failed upgrade" : "");
            after_failed = false;
            r = run_once(o, c, on_trial);
            log(r.exit_code == 0 ? 1 : 2, "The agent ended with %d", r.exit_code);
        }
        if (r.stopped) return 0;
        if (r.worked) on_trial = false;

        if (r.placed_upgrade && r.exit_code == 0) {
            if (err e = install_upgrade(o.exe)) {
                log(3, "Cannot install the upgrade: %s", e.c_str());
            } else {
                log(1, "Installed the upgrade; starting the new version");
                on_trial = true;
                restarts = 0;
                continue;
            }
        } else if (on_trial) {
            on_trial = false;
            if (err e = roll_back(o.exe)) {
                log(3, "Cannot go back to the previous version: %s", e.c_str());
            } else {
                log(2, "The upgrade failed; going back to the previous version");
                after_failed = true;
                restarts = 0;
                continue;
            }
        }

        if (steady::now() - started >= long_run || r.worked) restarts = 0;
        ++restarts;
        int delay = restart_delay(restarts, o.max_restart_delay);
        log(2, "Restarting the agent in %d seconds", delay);
        if (supervise_os::sleep_unless_stopped(delay * 1000)) return 0;
    }
}

}  // namespace zp
