// main_loop.cpp - the agent's main loop.
#include "agent/main_loop.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include <spdlog/spdlog.h>

#include "core/agent.h"
#include "core/clock.h"
#include "core/config.h"
#include "core/fatal.h"
#include "core/log.h"
#include "core/variables.h"
#include "devtree/check.h"
#include "devtree/scan.h"
#include "devtree/schedule.h"
#include "host/wait.h"
#include "protocol/socket.h"

namespace zp {

namespace {

constexpr int64_t no_check_due = 0x7FFFFFFF;
// Seconds a failure holds the loop in regression-test mode, where back-off is 0.
constexpr int regression_hold = 2;

// The manual-reset event that a stop request or a finished download signals;
// it stays set, so every later sleep returns at once and the loop leaves.
std::mutex signal_mu;
wait_event signal_ev;

void signal_wakeup() {
    std::lock_guard lk(signal_mu);
    signal_ev.set();
}

}  // namespace

void add_loop_events() {
    std::lock_guard lk(signal_mu);
    if (err e = wait_event::create(true, false, signal_ev)) {
        log(2, "%s", e.c_str());
        return;
    }
    if (!add_wakeup_event(signal_ev.handle())) log(2, "add_wakeup_event() failed");
    if (!add_wait_event(signal_ev.handle())) log(2, "add_wait_event() failed");
    // A stop must not wait for a stalled server to finish the conversation.
    set_socket_wake_handle(signal_ev.handle());
}

void remove_loop_events() {
    std::lock_guard lk(signal_mu);
    if (!signal_ev.valid()) return;
    set_socket_wake_handle(-1);
    if (!del_wakeup_event(signal_ev.handle())) log(2, "del_wakeup_event() failed for signal_ev");
    if (!del_wait_event(signal_ev.handle())) log(2, "del_wait_event() failed for signal_ev");
    signal_ev = wait_event();
}

namespace {

int server_count() { return the_config().server_count(); }

const char* current_server_host() {
    const auto& servers = the_config().servers;
    int i = current_server();
    if (i < 0 || i >= static_cast<int>(servers.size())) return "";
    return servers[i].host.c_str();
}

bool leaving() {
    const auto& s = agent_loop();
    return s.stop_requested.load() || s.upgrade_ready.load();
}

void log_zpclient_start() {
    if (auto lg = spdlog::get("zpclient"))
        lg->info("Zerpal {} Agent starting.", version_text());
    else
        log(1, "Zerpal %s Agent starting.", version_text());
}

// Everything the loop calls, with the defaults filled in.
struct bound_ops {
    explicit bound_ops(const loop_ops& o) : ops(o) {}
    const loop_ops& ops;

    err register_agent() const {
        return ops.register_agent ? ops.register_agent() : err::text("Registration is not available in this build");
    }
    err checkin(bool& ack) const {
        return ops.checkin ? ops.checkin(ack) : err::text("Check-in is not available in this build");
    }
    void wait(int seconds) const {
        if (ops.wait)
            ops.wait(seconds);
        else
            wait_for_object(seconds);
    }
    void after_wait() const {
        if (ops.log_reopen) ops.log_reopen();
        if (ops.poll_download) ops.poll_download();
    }
    void release_host() const {
        if (ops.release_host)
            ops.release_host();
        else
            remove_loop_events();
    }
};

// True once registered; false when the loop is left before.
bool registration_phase(const bound_ops& ops) {
    auto& st = agent_loop();
    for (;;) {
        if (leaving()) return false;
        err e = ops.register_agent();
        const bool ok = e.ok();
        if (!ok) {
            if (st.failures < server_count() + 7) ++st.failures;
            int hold = startup().regression_test ? regression_hold : backoff();
            log(1, "Failed to register with server. Will try again in %i seconds... (failures=%i)", hold,
                st.failures);
            log_text(1, "Reason given: \"" + e.message() + "\"");
            if (server_changed()) log(1, "Changed server to: %s", current_server_host());
            server_changed() = false;
            if (hold != 0) log(2, "On hold for %i seconds...", hold);
            ops.wait(hold);
        } else if (st.failures > 0) {
            --st.failures;
            log(1, "Successfully registered with server.");
        } else {
            log(0, "Successfully registered with server.");
        }
        ops.after_wait();
        if (ok) return true;
    }
}

// The check-in and what follows it. Returns true when the loop must end
// (regression test done).
bool checkin_round(const bound_ops& ops) {
    auto& st = agent_loop();
    const int64_t before = time_now();
    bool acked = false;
    err e = ops.checkin(acked);
    if (!e.ok()) {
        if (server_count() > 1) {
            current_server() = (current_server() + 1) % server_count();
            server_changed() = true;
        }
        st.result_throttle = 50;
    } else if (st.result_throttle + 50u > st.result_throttle) {
        st.result_throttle += 50;
    }

    if (!e.ok()) {
        st.unacked = 0;
        if (st.failures < server_count() + 7) ++st.failures;
        // Back-off is 0 in regression-test mode; a server that keeps failing
        // must not draw a connection after another.
        int hold = startup().regression_test ? std::max(backoff(), regression_hold) : backoff();
        st.hold_until = time_now() + hold;
        log(2, "Agent failed checkin (failures = %i)!", st.failures);
        log_text(2, "Reason given: \"" + e.message() + "\"");
        if (server_changed()) log(2, "Changed server to: %s", current_server_host());
        server_changed() = false;
        if (hold != 0) log(2, "On hold for %i seconds...", hold);
        return false;
    }

    if (st.failures > 0) {
        --st.failures;
        log(1, "Successful checkin (failures = %i)!", st.failures);
    } else {
        log(0, "Successful checkin (failures = %i)!", st.failures);
    }
    // Pending actions run once each; a time of 0 would leave them pending.
    while (devnode* n = first_pending_check(st.actions)) {
        run_check(*n);
        n->next_due = before != 0 ? before : 1;
    }
    if (!acked) {
        // The first refusal is retried at once; a server that goes on refusing
        // is held off like a failing one.
        if (++st.unacked >= 2) {
            if (st.failures < server_count() + 7) ++st.failures;
            int hold = std::max(backoff(), regression_hold);
            st.hold_until = time_now() + hold;
            log(2, "On hold for %i seconds...", hold);
        }
        return false;
    }
    st.unacked = 0;
    st.last_checkin = time_now();
    if (ops.ops.notify_parent) ops.ops.notify_parent();
    if (startup().regression_test) {
        if (fake_checks_done()) {
            log(0, "All fake checks are done. Exiting.");
            if (err fe = flush_variables(true)) log(3, "Flush error: %s", fe.c_str());
            ops.release_host();
            return true;
        }
        fake_checks_done() = true;
    }
    return false;
}

void run_one(const bound_ops& ops, devnode& n, int64_t start, int64_t checkin_time) {
    log(0, "Agent will check device %s type %i", n.id.c_str(), static_cast<int>(n.type));
    int reps = startup().regression_test ? startup().repeat_count : 1;
    for (int i = 0; i < reps; ++i) run_check(n);
    if (n.type == type_adv_log && ops.ops.log_silence_check) ops.ops.log_silence_check(n, start);
    if (time_now() >= checkin_time + 5)
        log(2, "Agent is late for check-in due to slow check \"%s\" type %i", n.id.c_str(),
            static_cast<int>(n.type));
    // A frequency below 1 second would run the check without pause.
    n.next_due = start + std::max<int32_t>(n.frequency, 1);
}

}  // namespace

loop_state& agent_loop() {
    static loop_state s;
    return s;
}

void reset_agent_loop() {
    auto& s = agent_loop();
    s.failures = 1;
    s.last_checkin = 0;
    s.hold_until = 0;
    s.result_throttle = 50;
    s.unacked = 0;
    s.stop_requested = false;
    s.upgrade_ready = false;
    s.configured.clear();
    s.actions.clear();
    s.client_info.clear();
}

int64_t effective_checkin_interval() {
    uint32_t ci = the_config().checkin_interval;
    if (ci == checkin_interval_unset) return 60;
    return std::max<int64_t>(static_cast<int32_t>(ci), 10);
}

bool checkin_due() {
    const auto& s = agent_loop();
    return time_now() > std::max(s.last_checkin + effective_checkin_interval(), s.hold_until);
}

int backoff() {
    const auto& s = agent_loop();
    if (s.failures < server_count() || startup().regression_test) return 0;
    int64_t v = std::max<int64_t>(static_cast<int32_t>(the_config().checkin_interval), 10);
    int64_t hold = (static_cast<int64_t>(s.failures - server_count() + 2) * v) / 10 + std::rand() % (v / 5);
    return static_cast<int>(std::clamp<int64_t>(hold, 0, 0x7FFFFFFF));
}

void request_stop() {
    agent_loop().stop_requested = true;
    signal_wakeup();
}

void set_upgrade_ready() {
    agent_loop().upgrade_ready = true;
    signal_wakeup();
}

int run_agent_loop(const loop_ops& raw_ops) {
    bound_ops ops(raw_ops);
    auto& st = agent_loop();
    const auto& cfg = the_config();

    log_zpclient_start();
    log(1, "Zerpal agent name: %s: %s", cfg.domain.c_str(), cfg.name ? cfg.name->c_str() : "(autodetect)");
    log(1, "Communicating with Zerpal server: %s", current_server_host());
    if (raw_ops.init_host)
        raw_ops.init_host();
    else
        add_loop_events();
    if (raw_ops.client_info) st.client_info = raw_ops.client_info();
    {
        devtree_list scanned = raw_ops.scan ? raw_ops.scan() : hardware_scan();
    }
    std::srand(static_cast<unsigned>(time_now()));

    const bool keep_results = registration_phase(ops) && raw_ops.save_results;
    if (keep_results && raw_ops.restore_results) raw_ops.restore_results(st.configured);

    check_schedule sched;
    sched.rebuild(st.configured);
    for (;;) {
        if (leaving()) break;  // 1
        devnode* next = sched.select(time_now());  // 2
        const uint64_t writes = variables_writes();
        if (err e = flush_variables(false)) log(3, "Flush error: %s", e.c_str());
        if (keep_results && variables_writes() != writes) raw_ops.save_results(st.configured);

        int64_t now = time_now();  // 3
        const int64_t due = next ? std::max(now, next->next_due) : no_check_due;
        const int64_t checkin_time =
            std::max({st.last_checkin + effective_checkin_interval(), now, st.hold_until});
        bool run = false;
        while (now < checkin_time) {  // 4
            if (now >= due) {
                run = true;
                break;
            }
            if (leaving()) break;
            ops.wait(static_cast<int>(std::max<int64_t>(std::min(checkin_time - now, due - now), 1)));
            now = time_now();
            ops.after_wait();
        }
        if (!run) {  // 5
            // Leaving early: do not run a check that is not due yet.
            if (now < checkin_time) continue;
        }
        if (run) {  // 6
            run_one(ops, *next, now, checkin_time);
            sched.update(*next);
            sched.select(time_now());
            if (st.last_checkin == 0) st.last_checkin = time_now();
            continue;
        }
        bool done = checkin_round(ops);  // 7, 8, 9
        sched.rebuild(st.configured);    // check-in may have brought a new tree
        if (done) return 0;
    }

    if (keep_results) raw_ops.save_results(st.configured);
    st.configured.clear();
    st.client_info.clear();
    if (err e = flush_variables(true)) log(3, "Flush error: %s", e.c_str());
    ops.release_host();
    if (st.upgrade_ready && !st.stop_requested) {
        st.upgrade_ready = false;
        log(1, "Attempting automatic upgrade");
        return 0;
    }
    log(3, "Zerpal %s Agent shutting down.", version_text());
    return 0;
}

void agent_main_loop(const loop_ops& ops) {
    on_fatal_release([] { remove_loop_events(); });
    std::exit(run_agent_loop(ops));
}

}  // namespace zp
