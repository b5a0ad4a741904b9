// Tests of the main loop on a simulated clock: registration and back-off, the
// order of checks and check-ins, pending actions, the regression-test exit and
// the shutdown.
#include "agent/main_loop.h"

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/variables.h"
#include "devtree/check.h"
#include "host/wait.h"
#include "tests/support/agent_state.h"
#include "tests/support/files.h"
#include "tests/support/log_capture.h"

namespace zp {
namespace {

using test::sim_now;
constexpr int64_t start = 1'000'000;

// What happened, each with the seconds since the start: "checkin@30".
std::vector<std::string> trace;
void record(const std::string& what) { trace.push_back(what + "@" + std::to_string(sim_now - start)); }

err recording_check(devnode& n, resnode* res) {
    record("run:" + n.id);
    if (trace.size() > 10000) request_stop();  // a loop that spins ends the test
    if (res) res->ivalue = 1;
    if (n.id == "slow") sim_now += 20;
    return {};
}

// A configured tree: checks (id, frequency) of one type in one group.
devtree_list make_tree(std::initializer_list<std::pair<const char*, int32_t>> checks, const char* group = "mem",
                       uint32_t type = type_continuous) {
    devtree_list tree;
    devtree* g = devtree_child(tree, group, std::nullopt);
    for (auto [id, frequency] : checks) test::add_check(*g, id, 0, type)->frequency = frequency;
    return tree;
}

class MainLoop : public ::testing::Test {
protected:
    void SetUp() override {
        test::reset_agent_state();
        reset_agent_loop();
        clear_variables();
        set_variables_file(env.path("state/vars"));
        clear_wait_objects();
        for (const char* group : {"mem", "log"}) register_scanner(group, nullptr, recording_check);
        fake_checks_done() = false;
        trace.clear();
        the_config().servers = {{"srv1", 0}};
        the_config().domain = "example";
        ops.init_host = [] {};
        ops.release_host = [this] { ++released; };
        ops.wait = [this](int s) {
            waits.push_back(s);
            sim_now += s;
            if (waits.size() > 10000) request_stop();  // so does one that only waits
        };
        ops.register_agent = [this]() -> err {
            record("register");
            if (register_failures > 0 && register_failures--) return err::text("refused");
            agent_loop().configured = std::move(next_tree);
            return {};
        };
        ops.checkin = [this](bool& ack) -> err {
            record("checkin");
            if (++checkins >= max_checkins) request_stop();
            if (checkin_failures > 0 && checkin_failures--) return err::text("connection refused");
            ack = unacked_checkins-- <= 0;
            return {};
        };
    }
    void TearDown() override {
        reset_agent_loop();
        clear_variables();
        set_clock(nullptr);
    }
    // Runs the loop again from the start.
    void rerun() {
        reset_agent_loop();
        trace.clear();
        waits.clear();
        checkins = 0;
        sim_now = start;
        run_agent_loop(ops);
    }
    std::vector<std::string> events(const std::string& prefix) const {
        std::vector<std::string> out;
        for (auto& t : trace)
            if (t.rfind(prefix, 0) == 0) out.push_back(t);
        return out;
    }

    test::temp_env env;  // nothing the loop flushes reaches the real state directories
    test::log_capture quiet{4};  // the loop's chatter stays off the console
    loop_ops ops;
    std::vector<int> waits;
    devtree_list next_tree;
    int register_failures = 0, checkin_failures = 0, unacked_checkins = 0;
    int checkins = 0, max_checkins = 4, released = 0;
};

using events_t = std::vector<std::string>;

// --- Scheduling ------------------------------------------------------------

TEST_F(MainLoop, EmptyTreeOnlyChecksInOncePerIntervalAndFirstSuccessesLogAtTheirLevels) {
    test::log_capture cap(1);
    the_config().checkin_interval = 30;
    EXPECT_EQ(run_agent_loop(ops), 0);
    EXPECT_EQ(trace, (events_t{"register@0", "checkin@0", "checkin@30", "checkin@60", "checkin@90"}));
    EXPECT_TRUE(cap.has("Zerpal agent name: example: (autodetect)"));
    EXPECT_TRUE(cap.has("Communicating with Zerpal server: srv1"));
    EXPECT_TRUE(cap.has("Successfully registered with server."));
    EXPECT_FALSE(cap.has("Successful checkin"));  // failures is 0 by then: level 0
}

TEST_F(MainLoop, ShortIntervalsAreRaisedTo10AndUnsetMeans60) {
    max_checkins = 2;
    for (auto [interval, second] : {std::pair{5u, "checkin@10"}, {checkin_interval_unset, "checkin@60"},
                                    {0x80000000u, "checkin@10"}}) {  // negative when read as signed
        the_config().checkin_interval = interval;
        rerun();
        EXPECT_EQ(events("checkin").back(), second) << interval;
    }
}

TEST_F(MainLoop, FrequencyBelowOneRunsOncePerSecondInsteadOfSpinning) {
    the_config().checkin_interval = 10;
    next_tree = make_tree({{"zero", 0}, {"one", 1}});
    max_checkins = 2;
    run_agent_loop(ops);
    EXPECT_EQ(events("run:zero").size(), 10u);
    EXPECT_EQ(events("run:one").size(), 10u);
}

TEST_F(MainLoop, FirstCheckInBeforeAnyCheckThenDueChecksInWalkOrderAndEarlierOnesFirst) {
    the_config().checkin_interval = 30;
    next_tree = make_tree({{"same", 30}, {"early", 29}});
    max_checkins = 3;
    run_agent_loop(ops);
    EXPECT_EQ(trace, (events_t{"register@0", "checkin@0", "run:same@0", "run:early@0", "run:early@29",
                               "checkin@30", "run:same@30", "run:early@58", "checkin@60"}));
}

TEST_F(MainLoop, SlowCheckIsReportedLateAndAdvancedLogCheckGetsSilenceWatch) {
    test::log_capture cap;
    the_config().checkin_interval = 10;
    next_tree = make_tree({{"slow", 9}});
    std::vector<int64_t> silence_starts;
    ops.log_silence_check = [&](devnode& n, int64_t s) {
        EXPECT_EQ(n.id, "watched");
        silence_starts.push_back(s - start);
    };
    max_checkins = 3;
    run_agent_loop(ops);
    EXPECT_TRUE(cap.has("Agent is late for check-in due to slow check \"slow\" type 0"));
    next_tree = make_tree({{"watched", 100}}, "log", type_adv_log);
    rerun();
    EXPECT_EQ(silence_starts, std::vector<int64_t>{0});
}

// --- Registration, check-in failures and back-off ------------------------------

TEST_F(MainLoop, BackoffFiguresWithOneAndSeveralServers) {
    struct {
        size_t servers;
        uint32_t interval;
        int failures;
        bool regression;
        int lo, hi;
    } cases[] = {
        {1, 30, 2, false, 9, 14},                  // (2 - 1 + 2) * 3 + 0..5
        {1, 30, 8, false, 27, 32},                 // the cap for one server
        {3, 30, 2, false, 0, 0},                   // every server is tried at once
        {3, 30, 3, false, 6, 11},                  //
        {3, 0x7FFFFFFF, 10, false, 1, INT32_MAX},  // huge intervals must not overflow
        {1, 30, 8, true, 0, 0},
    };
    for (auto& c : cases) {
        the_config().servers.resize(c.servers);
        the_config().checkin_interval = c.interval;
        agent_loop().failures = c.failures;
        startup().regression_test = c.regression;
        for (int i = 0; i < 50; ++i) {
            int h = backoff();
            EXPECT_TRUE(h >= c.lo && h <= c.hi) << h << " after " << c.failures << " failures";
        }
    }
}

TEST_F(MainLoop, FailedRegistrationHoldsAndCounterStaysBounded) {
    test::log_capture cap;
    the_config().checkin_interval = 30;
    register_failures = 20;
    max_checkins = 1;
    run_agent_loop(ops);
    ASSERT_GE(waits.size(), 20u);
    EXPECT_TRUE(waits[0] >= 9 && waits[0] <= 14) << waits[0];
    for (const char* line : {"Failed to register with server. Will try again in ", "seconds... (failures=2)",
                             "Reason given: \"refused\"", "(failures=8)", "On hold for "})
        EXPECT_TRUE(cap.has(line)) << line;
    EXPECT_FALSE(cap.has("(failures=9)"));

    // A regression run holds exactly two seconds; a stop in the hold leaves
    // without a check-in.
    startup().regression_test = true;
    register_failures = 1000;
    ops.wait = [this](int s) {
        waits.push_back(s);
        if (waits.size() == 3) request_stop();
    };
    rerun();
    EXPECT_EQ(waits, (std::vector<int>{2, 2, 2}));
    EXPECT_EQ(events("register").size(), 3u);
    EXPECT_TRUE(events("checkin").empty());
}

TEST_F(MainLoop, FailedCheckInSwitchesServerAndResetsThrottle) {
    test::log_capture cap;
    the_config().servers = {{"srv1", 0}, {"srv2", 0}};
    checkin_failures = 1;
    max_checkins = 2;
    agent_loop().result_throttle = 500;
    run_agent_loop(ops);
    // failures went 1 -> 0 (registration) -> 1: below the server count, no hold.
    EXPECT_EQ(events("checkin"), (events_t{"checkin@0", "checkin@0"}));
    EXPECT_TRUE(cap.has("Agent failed checkin (failures = 1)!"));
    EXPECT_TRUE(cap.has("Reason given: \"connection refused\""));
    EXPECT_TRUE(cap.has("Changed server to: srv2"));
    EXPECT_EQ(current_server(), 1);
    EXPECT_EQ(agent_loop().result_throttle, 100u);  // 50 after the failure, +50 after success
    current_server() = 0;

    agent_loop().stop_requested = false;
    agent_loop().result_throttle = 0xFFFFFFFFu - 10;  // growth stops before wrapping
    run_agent_loop(ops);
    EXPECT_EQ(checkins, 3);
    EXPECT_EQ(agent_loop().result_throttle, 0xFFFFFFFFu - 10);
}

TEST_F(MainLoop, FailedCheckInWithOneServerWaitsForTheHold) {
    the_config().checkin_interval = 30;
    checkin_failures = 2;
    max_checkins = 3;
    run_agent_loop(ops);
    auto ci = events("checkin");
    ASSERT_EQ(ci.size(), 3u);
    // failures 0 -> 1 holds (1 - 1 + 2) * 3 + 0..5; 1 -> 2 holds 9 to 14 more.
    int64_t second = std::stoll(ci[1].substr(8)), third = std::stoll(ci[2].substr(8)) - second;
    EXPECT_TRUE(second >= 6 && second <= 11) << second;
    EXPECT_TRUE(third >= 9 && third <= 14) << third;
}

TEST_F(MainLoop, UnacknowledgedCheckInIsRetriedAtOnceWithoutCountingAsDone) {
    the_config().checkin_interval = 30;
    unacked_checkins = 2;
    run_agent_loop(ops);
    // The second refusal in a row holds like a failure: (1 - 1 + 2) * 3 + 0..5.
    auto ci = events("checkin");
    ASSERT_EQ(ci.size(), 4u);
    EXPECT_EQ(ci[0], "checkin@0");
    EXPECT_EQ(ci[1], "checkin@0");
    int64_t third = std::stoll(ci[2].substr(8));
    EXPECT_TRUE(third >= 6 && third <= 11) << third;
    EXPECT_EQ(ci[3], "checkin@" + std::to_string(third + 30));
}

TEST_F(MainLoop, PendingActionsRunOnceAfterSuccessfulCheckIn) {
    max_checkins = 3;
    auto base_checkin = ops.checkin;
    ops.checkin = [&](bool& ack) -> err {
        err e = base_checkin(ack);
        if (checkins == 1) agent_loop().actions = make_tree({{"act1", 0}, {"act2", 0}});
        return e;
    };
    run_agent_loop(ops);
    EXPECT_EQ(events("run:act"), (events_t{"run:act1@0", "run:act2@0"}));
    EXPECT_EQ(agent_loop().actions[0]->checks[0]->next_due, start);
}

// --- Ending the loop -----------------------------------------------------------

// The number of samples a regression run sends is checked with the real
// conversations; here the run must end by itself and release the host.
TEST_F(MainLoop, RegressionRunExitsWhenNoFakeCheckProducedValues) {
    test::log_capture cap;
    startup().regression_test = true;
    startup().repeat_count = 3;
    startup().fake_end_time = start + 300;
    the_config().checkin_interval = 120;  // a check-in without a fresh value ends the run
    next_tree = make_tree({{"item", 60}});
    max_checkins = 1000;
    EXPECT_EQ(run_agent_loop(ops), 0);
    EXPECT_TRUE(cap.has("All fake checks are done. Exiting."));
    EXPECT_EQ(released, 1);
    EXPECT_FALSE(agent_loop().stop_requested.load());
}

TEST_F(MainLoop, KeptResultsComeBackAfterRegistrationAndAreSavedAtEachWriteAndAtShutdown) {
    ops.restore_results = [](devtree_list&) { record("restore"); };
    ops.save_results = [](const devtree_list&) { record("save"); };
    ASSERT_TRUE(set_variable("new key", "written at the first flush").ok());
    max_checkins = 2;
    run_agent_loop(ops);
    EXPECT_EQ(events("re"), (events_t{"register@0", "restore@0"}));
    EXPECT_EQ(events("save"), (events_t{"save@0", "save@30"}));
    // Stopped before any registration: what was kept stays as it was.
    register_failures = 1;
    ops.wait = [](int) { request_stop(); };
    rerun();
    EXPECT_EQ(trace, (events_t{"register@0"}));
}

TEST_F(MainLoop, StopRequestShutsDownAndUpgradeIsAttemptedOnlyWithoutStop) {
    test::log_capture cap;
    max_checkins = 2;
    run_agent_loop(ops);
    EXPECT_TRUE(cap.has("Agent shutting down."));
    EXPECT_FALSE(cap.has("Attempting automatic upgrade"));
    EXPECT_EQ(released, 1);
    EXPECT_TRUE(agent_loop().configured.empty());

    ops.checkin = [](bool& ack) -> err {
        ack = true;
        set_upgrade_ready();
        return {};
    };
    rerun();
    EXPECT_TRUE(cap.has("Attempting automatic upgrade"));
    EXPECT_FALSE(agent_loop().upgrade_ready.load());
}

TEST_F(MainLoop, StopFromAnotherThreadWakesTheDefaultWaitAndReleasesTheEvent) {
    ops = loop_ops{};  // the defaults: a stop event among the wait objects and the real wait
    set_clock(nullptr);
    the_config().checkin_interval = 3600;
    ops.register_agent = []() -> err { return {}; };
    ops.checkin = [](bool& ack) -> err {
        ack = true;
        return {};
    };
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        request_stop();
    });
    EXPECT_EQ(run_agent_loop(ops), 0);  // a stop that did not wake the wait would hang here
    stopper.join();
    wait_event ev[4];  // all four places are free again
    for (auto& e : ev) {
        ASSERT_TRUE(wait_event::create(true, false, e).ok());
        EXPECT_TRUE(add_wait_event(e.handle()));
        EXPECT_TRUE(add_wakeup_event(e.handle()));
    }
    clear_wait_objects();
}

}  // namespace
}  // namespace zp
