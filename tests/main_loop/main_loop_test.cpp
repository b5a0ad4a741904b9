// Tests of the main loop on a simulated clock: registration and back-off, the
// order of checks and check-ins, pending actions, the regression-test exit and
// the shutdown.
#include "core/main_loop.h"

#include <chrono>
#include <cstdlib>
#include <thread>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/variables.h"
#include "devtree/check.h"
#include "devtree/scan.h"
#include "host/wait.h"
#include "tests/devtree/test_support.h"

namespace zp {
namespace {

using testing::log_capture;
using testing::sim_now;

std::vector<std::string> trace;

std::string at(const std::string& what) { return what + "@" + std::to_string(sim_now); }

err recording_check(devnode& n, resnode* res) {
    trace.push_back(at("run:" + n.id));
    if (res) res->ivalue = 1;
    if (n.id == "slow") sim_now += 20;
    return {};
}

// A configured tree of checks under "mem": (id, frequency, type).
struct check_spec {
    const char* id;
    int32_t frequency;
    uint32_t type = type_continuous;
};

devtree_list make_tree(std::initializer_list<check_spec> checks, const char* group = "mem") {
    devtree_list tree;
    devtree* g = devtree_child(tree, group, std::nullopt);
    devnode_list list;
    for (auto& c : checks) {
        auto n = alloc_devnode();
        n->id = c.id;
        n->frequency = c.frequency;
        n->type = c.type;
        n->cont = {-1, -1, -1, -1};
        list.push_back(std::move(n));
    }
    add_devnodes(*g, std::move(list));
    return tree;
}

class MainLoop : public ::testing::Test {
protected:
    void SetUp() override {
        testing::reset_agent_state();
        reset_agent_loop();
        clear_variables();
        // Nothing the loop flushes may reach the real state directories.
        dir = std::filesystem::temp_directory_path() / ("zp_loop_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        for (const char* v : {"ZERPAL_CONF_DIR", "ZERPAL_USER_CONF_DIR", "ZERPAL_STATE_DIR",
                              "ZERPAL_USER_STATE_DIR", "ZERPAL_RUN_DIR"})
            ::setenv(v, dir.c_str(), 1);
        set_variables_file((dir / "vars").string());
        clear_wait_objects();
        for (auto& s : scanner_table()) register_scanner(s.name, nullptr, nullptr);
        register_scanner("mem", nullptr, recording_check);
        register_scanner("log", nullptr, recording_check);
        fake_checks_done() = false;
        trace.clear();
        waits.clear();
        the_config().servers = {{"srv1", 0}};
        the_config().domain = "example";
        ops.scan = [] { return devtree_list{}; };
        ops.init_host = [] {};
        ops.release_host = [this] { ++released; };
        ops.wait = [this](int s) {
            waits.push_back(s);
            sim_now += s;
            if (waits.size() > 10000) request_stop();  // a runaway loop ends the test
        };
        ops.register_agent = [this]() -> err {
            trace.push_back(at("register"));
            if (register_failures > 0) {
                --register_failures;
                return err::text("refused");
            }
            agent_loop().configured = std::move(next_tree);
            return {};
        };
        ops.checkin = [this](bool& ack) -> err {
            trace.push_back(at("checkin"));
            ++checkins;
            if (checkins >= max_checkins) request_stop();
            if (checkin_failures > 0) {
                --checkin_failures;
                return err::text("connection refused");
            }
            ack = unacked_checkins-- <= 0;
            return {};
        };
    }
    void TearDown() override {
        reset_agent_loop();
        clear_variables();
        set_clock(nullptr);
        std::filesystem::remove_all(dir);
        for (auto& s : scanner_table()) register_scanner(s.name, nullptr, nullptr);
    }
    std::vector<std::string> events_starting(const std::string& prefix) const {
        std::vector<std::string> out;
        for (auto& t : trace)
            if (t.rfind(prefix, 0) == 0) out.push_back(t);
        return out;
    }
    std::string when(int64_t offset) const { return "@" + std::to_string(start + offset); }

    loop_ops ops;
    std::filesystem::path dir;
    std::vector<int> waits;
    devtree_list next_tree;
    int register_failures = 0;
    int checkin_failures = 0;
    int unacked_checkins = 0;
    int checkins = 0;
    int max_checkins = 4;
    int released = 0;
    const int64_t start = 1'000'000;
};

// --- Scheduling ------------------------------------------------------------

TEST_F(MainLoop, EmptyTreeOnlyChecksInOncePerInterval) {
    the_config().checkin_interval = 30;
    EXPECT_EQ(run_agent_loop(ops), 0);
    std::vector<std::string> expect = {"register" + when(0), "checkin" + when(0), "checkin" + when(30),
                                       "checkin" + when(60), "checkin" + when(90)};
    EXPECT_EQ(trace, expect);
}

TEST_F(MainLoop, ShortAndUnsetIntervalsAreRaisedTo10And60) {
    the_config().checkin_interval = 5;
    max_checkins = 2;
    run_agent_loop(ops);
    EXPECT_EQ(events_starting("checkin").back(), "checkin" + when(10));
    the_config().checkin_interval = checkin_interval_unset;
    EXPECT_EQ(effective_checkin_interval(), 60);
    the_config().checkin_interval = 0x80000000u;  // negative when read as signed
    EXPECT_EQ(effective_checkin_interval(), 10);
}

TEST_F(MainLoop, UnsetIntervalChecksInEveryMinute) {
    the_config().checkin_interval = checkin_interval_unset;
    max_checkins = 3;
    run_agent_loop(ops);
    std::vector<std::string> expect = {"checkin" + when(0), "checkin" + when(60), "checkin" + when(120)};
    EXPECT_EQ(events_starting("checkin"), expect);
}

TEST_F(MainLoop, FrequencyBelowOneRunsOncePerSecondInsteadOfSpinning) {
    the_config().checkin_interval = 10;
    next_tree = make_tree({{"zero", 0}, {"one", 1}});
    max_checkins = 2;
    run_agent_loop(ops);
    EXPECT_EQ(events_starting("run:zero").size(), 10u);
    EXPECT_EQ(events_starting("run:one").size(), 10u);
}

TEST_F(MainLoop, FirstCheckInComesBeforeAnyCheckThenChecksRunInWalkOrder) {
    next_tree = make_tree({{"a", 60}, {"b", 60}});
    max_checkins = 1;
    run_agent_loop(ops);
    ASSERT_GE(trace.size(), 2u);
    EXPECT_EQ(trace[1], "checkin" + when(0));
    max_checkins = 3;
    checkins = 0;
    trace.clear();
    reset_agent_loop();
    sim_now = start;
    next_tree = make_tree({{"a", 60}, {"b", 60}});
    run_agent_loop(ops);
    std::vector<std::string> expect = {"register" + when(0), "checkin" + when(0), "run:a" + when(0),
                                       "run:b" + when(0),    "checkin" + when(30), "checkin" + when(60),
                                       };
    EXPECT_EQ(trace, expect);
}

TEST_F(MainLoop, CheckDueWithCheckInRunsAfterItButEarlierCheckRunsBefore) {
    the_config().checkin_interval = 30;
    next_tree = make_tree({{"same", 30}, {"early", 29}});
    max_checkins = 3;
    run_agent_loop(ops);
    std::vector<std::string> expect = {
        "register" + when(0), "checkin" + when(0),  "run:same" + when(0),  "run:early" + when(0),
        "run:early" + when(29), "checkin" + when(30), "run:same" + when(30), "run:early" + when(58),
        "checkin" + when(60)};
    EXPECT_EQ(trace, expect);
}

TEST_F(MainLoop, SlowCheckIsReportedLateAndAdvancedLogCheckGetsSilenceWatch) {
    log_capture cap;
    the_config().checkin_interval = 10;
    next_tree = make_tree({{"slow", 9}});
    std::vector<int64_t> silence_starts;
    ops.log_silence_check = [&](devnode& n, int64_t s) {
        EXPECT_EQ(n.id, "watched");
        silence_starts.push_back(s);
    };
    max_checkins = 3;
    run_agent_loop(ops);
    EXPECT_TRUE(cap.has("Agent is late for check-in due to slow check \"slow\" type 0"));

    reset_agent_loop();
    checkins = 0;
    next_tree = make_tree({{"watched", 100, type_adv_log}}, "log");
    run_agent_loop(ops);
    ASSERT_FALSE(silence_starts.empty());
    EXPECT_EQ(silence_starts[0], agent_loop().last_checkin - 20);
}

// --- Registration, check-in failures and back-off ------------------------------

TEST_F(MainLoop, BackoffFiguresWithOneAndSeveralServers) {
    the_config().checkin_interval = 30;
    auto& st = agent_loop();
    st.failures = 2;
    for (int i = 0; i < 200; ++i) {
        int h = backoff();
        EXPECT_GE(h, 9);
        EXPECT_LE(h, 14);
    }
    st.failures = 8;  // the cap for one server
    EXPECT_GE(backoff(), 27);
    the_config().servers = {{"a", 0}, {"b", 0}, {"c", 0}};
    st.failures = 2;
    EXPECT_EQ(backoff(), 0);  // every server is tried at once
    st.failures = 3;
    int h = backoff();
    EXPECT_GE(h, 6);
    EXPECT_LE(h, 11);
    the_config().checkin_interval = 0x7FFFFFFF;  // huge intervals must not overflow
    st.failures = 10;
    EXPECT_GT(backoff(), 0);
    startup().regression_test = true;
    EXPECT_EQ(backoff(), 0);
}

TEST_F(MainLoop, FailedRegistrationHoldsAndCounterStaysBounded) {
    log_capture cap;
    the_config().checkin_interval = 30;
    register_failures = 20;
    max_checkins = 1;
    run_agent_loop(ops);
    ASSERT_EQ(waits.size() >= 20, true);
    EXPECT_GE(waits[0], 9);
    EXPECT_LE(waits[0], 14);
    EXPECT_TRUE(cap.has("Failed to register with server. Will try again in "));
    EXPECT_TRUE(cap.has("seconds... (failures=2)"));
    EXPECT_TRUE(cap.has("Reason given: \"refused\""));
    EXPECT_TRUE(cap.has("(failures=8)"));
    EXPECT_FALSE(cap.has("(failures=9)"));
    EXPECT_TRUE(cap.has("On hold for "));
}

TEST_F(MainLoop, RegressionModeHoldsExactlyTwoSecondsPerFailedRegistration) {
    startup().regression_test = true;
    register_failures = 3;
    max_checkins = 1;
    run_agent_loop(ops);
    ASSERT_GE(waits.size(), 3u);
    EXPECT_EQ(std::vector<int>(waits.begin(), waits.begin() + 3), (std::vector<int>{2, 2, 2}));
}

TEST_F(MainLoop, FirstRegistrationAndCheckInLogAtTheirLevels) {
    log_capture cap;
    set_log_level(1);
    max_checkins = 1;
    run_agent_loop(ops);
    EXPECT_TRUE(cap.has("Successfully registered with server."));
    EXPECT_FALSE(cap.has("Successful checkin"));  // failures is 0 now: level 0
    EXPECT_EQ(agent_loop().failures, 0);
    EXPECT_TRUE(cap.has("Zerpal agent name: example: (autodetect)"));
    EXPECT_TRUE(cap.has("Communicating with Zerpal server: srv1"));
}

TEST_F(MainLoop, FailedCheckInHoldsSwitchesServerAndResetsThrottle) {
    log_capture cap;
    the_config().checkin_interval = 30;
    the_config().servers = {{"srv1", 0}, {"srv2", 0}};
    checkin_failures = 1;
    max_checkins = 2;
    agent_loop().result_throttle = 500;
    run_agent_loop(ops);
    auto ci = events_starting("checkin");
    ASSERT_EQ(ci.size(), 2u);
    // failures went 1 -> 0 (registration) -> 1: below the server count, no hold.
    EXPECT_EQ(ci[1], "checkin" + when(0));
    EXPECT_TRUE(cap.has("Agent failed checkin (failures = 1)!"));
    EXPECT_TRUE(cap.has("Reason given: \"connection refused\""));
    EXPECT_TRUE(cap.has("Changed server to: srv2"));
    EXPECT_EQ(current_server(), 1);
    EXPECT_EQ(agent_loop().result_throttle, 100u);  // 50 after the failure, +50 after success
    current_server() = 0;
}

TEST_F(MainLoop, FailedCheckInWithOneServerWaitsForTheHold) {
    the_config().checkin_interval = 30;
    checkin_failures = 2;
    max_checkins = 3;
    run_agent_loop(ops);
    auto ci = events_starting("checkin");
    ASSERT_EQ(ci.size(), 3u);
    // failures 0 -> 1 holds (1 - 1 + 2) * 3 + 0..5; 1 -> 2 holds 9 to 14.
    auto time_of = [](const std::string& e) { return std::stoll(e.substr(e.find('@') + 1)); };
    int64_t second = time_of(ci[1]) - start;
    int64_t third = time_of(ci[2]) - time_of(ci[1]);
    EXPECT_GE(second, 6);
    EXPECT_LE(second, 11);
    EXPECT_GE(third, 9);
    EXPECT_LE(third, 14);
}

TEST_F(MainLoop, ThrottleGrowthStopsBeforeWrapping) {
    agent_loop().result_throttle = 0xFFFFFFFFu - 10;
    max_checkins = 1;
    run_agent_loop(ops);
    EXPECT_EQ(agent_loop().result_throttle, 0xFFFFFFFFu - 10);
}

TEST_F(MainLoop, UnacknowledgedCheckInIsRetriedAtOnceWithoutCountingAsDone) {
    the_config().checkin_interval = 30;
    unacked_checkins = 2;
    max_checkins = 4;
    run_agent_loop(ops);
    auto ci = events_starting("checkin");
    std::vector<std::string> expect = {"checkin" + when(0), "checkin" + when(0), "checkin" + when(0),
                                       "checkin" + when(30)};
    EXPECT_EQ(ci, expect);
}

TEST_F(MainLoop, PendingActionsRunOnceAfterSuccessfulCheckIn) {
    max_checkins = 3;
    auto base_checkin = ops.checkin;
    ops.checkin = [&](bool& ack) -> err {
        err e = base_checkin(ack);
        if (checkins == 1) agent_loop().actions = make_tree({{"act1", 0}, {"act2", 0}}, "mem");
        return e;
    };
    run_agent_loop(ops);
    EXPECT_EQ(events_starting("run:act1").size(), 1u);
    EXPECT_EQ(events_starting("run:act2").size(), 1u);
    EXPECT_EQ(agent_loop().actions[0]->checks[0]->next_due, start);
}

// --- Ending the loop -----------------------------------------------------------

TEST_F(MainLoop, RegressionRunExitsWhenNoFakeCheckProducedValues) {
    log_capture cap;
    startup().regression_test = true;
    startup().fake_memory_items = 2;
    startup().repeat_count = 3;
    startup().fake_start_time = start;
    startup().fake_end_time = start + 300;  // five samples at frequency 60
    the_config().checkin_interval = 120;  // a check-in without a fresh value ends the run
    ops.scan = [] { return hardware_scan(); };
    ops.register_agent = [this]() -> err {
        trace.push_back(at("register"));
        // The server configures what the fake scan found.
        agent_loop().configured = hardware_scan();
        for (auto& n : agent_loop().configured[0]->checks) {
            n->frequency = 60;
            n->cont = {-1, -1, -1, -1};
        }
        return {};
    };
    size_t sent = 0;
    ops.checkin = [&](bool& ack) -> err {
        for (auto& n : agent_loop().configured[0]->checks) {
            sent += n->results.size();
            n->results.clear();
        }
        ack = true;
        return {};
    };
    max_checkins = 1000;
    EXPECT_EQ(run_agent_loop(ops), 0);
    EXPECT_TRUE(cap.has("All fake checks are done. Exiting."));
    EXPECT_EQ(sent, 2u * 5u);
    EXPECT_EQ(released, 1);
    EXPECT_FALSE(agent_loop().stop_requested.load());
}

TEST_F(MainLoop, StopRequestShutsDownAndUpgradeIsAttemptedOnlyWithoutStop) {
    log_capture cap;
    max_checkins = 2;
    run_agent_loop(ops);
    EXPECT_TRUE(cap.has("Agent shutting down."));
    EXPECT_FALSE(cap.has("Attempting automatic upgrade"));
    EXPECT_EQ(released, 1);
    EXPECT_TRUE(agent_loop().configured.empty());

    reset_agent_loop();
    ops.checkin = [](bool& ack) -> err {
        ack = true;
        set_upgrade_ready();
        return {};
    };
    run_agent_loop(ops);
    EXPECT_TRUE(cap.has("Attempting automatic upgrade"));
    EXPECT_FALSE(agent_loop().upgrade_ready.load());
}

TEST_F(MainLoop, StopDuringRegistrationBackoffLeavesWithoutRunningChecks) {
    register_failures = 1000;
    ops.wait = [this](int s) {
        waits.push_back(s);
        sim_now += s;
        if (waits.size() == 3) request_stop();
    };
    EXPECT_EQ(run_agent_loop(ops), 0);
    EXPECT_EQ(events_starting("register").size(), 3u);
    EXPECT_TRUE(events_starting("checkin").empty());
}

TEST_F(MainLoop, StopFromAnotherThreadWakesTheDefaultWait) {
    ops.init_host = nullptr;  // the default: a stop event among the wait objects
    ops.release_host = nullptr;
    ops.wait = nullptr;  // the real wait, which the stop must cut short
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
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(run_agent_loop(ops), 0);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(60));
    // Released: all four places are free again.
    wait_event ev[4];
    for (auto& e : ev) {
        ASSERT_TRUE(wait_event::create(true, false, e).ok());
        EXPECT_TRUE(add_wait_event(e.handle()));
        EXPECT_TRUE(add_wakeup_event(e.handle()));
    }
    clear_wait_objects();
}

}  // namespace
}  // namespace zp
