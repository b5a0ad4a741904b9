// hardening_test.cpp - the main loop against a server that keeps refusing or
// failing: no check-in storm, and a shutdown whose final write fails says so.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "agent/main_loop.h"
#include "core/variables.h"
#include "host/wait.h"
#include "tests/support/agent_state.h"
#include "tests/support/files.h"
#include "tests/support/log_capture.h"

namespace zp {
namespace {

using test::sim_now;

class LoopHardening : public ::testing::Test {
protected:
    void SetUp() override {
        test::reset_agent_state();
        reset_agent_loop();
        clear_variables();
        clear_wait_objects();
        set_variables_file(env.path("state/vars"));
        the_config().checkin_interval = 30;
        ops.init_host = [] {};
        ops.release_host = [] {};
        ops.scan = [] { return devtree_list{}; };
        ops.wait = [](int s) { sim_now += s; };
        ops.register_agent = [] { return err{}; };
    }
    void TearDown() override {
        reset_agent_loop();
        clear_variables();
        set_clock(nullptr);
    }

    test::temp_env env;
    test::log_capture quiet{4};
    loop_ops ops;
};

TEST_F(LoopHardening, RefusedOrFailingCheckInsAreNotRetriedInATightLoop) {
    struct storm_case {
        const char* name;
        size_t servers;
        bool regression;
        bool fail;  // else: answered but not acknowledged
    } cases[] = {
        {"not acknowledged, one server", 1, false, false},
        {"not acknowledged, three servers", 3, false, false},
        {"not acknowledged, regression test", 1, true, false},
        {"failing, regression test", 1, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reset_agent_loop();
        sim_now = 1'000'000;
        the_config().servers.assign(c.servers, server_entry{"srv", 0});
        startup().regression_test = c.regression;
        std::map<int64_t, int> per_second;
        int calls = 0;
        ops.checkin = [&](bool& ack) -> err {
            ++per_second[sim_now];
            if (++calls >= 20) request_stop();
            ack = false;
            return c.fail ? err::text("garbage") : err{};
        };
        run_agent_loop(ops);
        ASSERT_EQ(calls, 20);
        // One immediate retry at most; everything later waits at least 2 s.
        for (auto [second, n] : per_second) EXPECT_LE(n, c.fail ? 1 : 2) << "at " << second - 1'000'000;
        EXPECT_GE(sim_now - 1'000'000, 2 * 18);
    }
}

TEST_F(LoopHardening, FailedFinalFlushIsLoggedAsError) {
    test::log_capture cap(3);
    the_config().servers = {{"srv", 0}};
    ASSERT_FALSE(set_variable("host_id", "h1"));
    ops.checkin = [&](bool& ack) -> err {
        ack = true;
        // The last change cannot be written: its directory is a file, or
        // its registry key name is longer than a key name may be.
        test::write_file(env.path("state/blocked"), "");
        set_variables_file(env.path("state/blocked/vars"));
        set_variables_key(std::string(300, 'k'));
        (void)set_variable("server_list_cluster", "b:1,");
        request_stop();
        return {};
    };
    EXPECT_EQ(run_agent_loop(ops), 0);
    set_variables_key("ZPAgent");
    EXPECT_TRUE(cap.has("Flush error: Cannot ")) << cap.text();
}

}  // namespace
}  // namespace zp
