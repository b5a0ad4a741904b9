// loop_test.cpp - the main loop with the real conversations plugged in: it
// registers with the scripted server, runs the configured checks on a
// simulated clock, checks their results in and ends a regression run.
#include <atomic>

#include "core/agent.h"
#include "core/clock.h"
#include "agent/main_loop.h"
#include "devtree/check.h"
#include "agent/loop_conversations.h"
#include "tests/protocol/conversation/peer.h"

namespace zp::test {
namespace {

std::atomic<int64_t> sim_time{1'000'000};
int64_t sim_clock() { return sim_time.load(); }

class loop_test : public conversation_fixture {
protected:
    void SetUp() override {
        conversation_fixture::SetUp();
        reset_agent_loop();
        saved = startup();
        set_clock(sim_clock);
    }
    void TearDown() override {
        set_clock(nullptr);
        reset_agent_loop();
        startup() = saved;
        fake_checks_done() = false;
        the_config() = config();
        conversation_fixture::TearDown();
    }
    startup_state saved;
};

// What the server configures: one regression item checked every 10 seconds.
wire regression_configuration() {
    wire cont, w;
    cont.start(tag_continuous_conf).nul().nul().nul().nul().end();
    w.start(tag_configure_resp).str("agent-1").i(20).list().end();
    w.list().list().str("mem").list();
    w.list().i(10).str("fakephys0").add(cont).str("P0").end();
    w.end().list().end().end().end().end();
    return w;
}

TEST_F(loop_test, RegressionRunRegistersChecksInAndEnds) {
    startup().regression_test = true;
    startup().repeat_count = 3;
    startup().fake_start_time = sim_time.load();
    startup().fake_end_time = sim_time.load() + 30;  // three samples at frequency 10

    fake_server srv;
    server_keys keys;
    std::atomic<int> results_sent{0}, checkins{0};
    std::vector<fake_server::script> scripts{after_handshake(keys, [](ProtocolStream& s) -> err {
        if (auto e = read_request(s, tag_configure_req)) return e;
        if (auto e = send(s, regression_configuration())) return e;
        return serve_time(s, static_cast<int32_t>(sim_clock()));
    })};
    for (int i = 0; i < 8; ++i) {
        scripts.push_back(after_handshake(keys, [&](ProtocolStream& s) -> err {
            value req;
            if (auto e = serve_time(s, static_cast<int32_t>(sim_clock()))) return e;
            if (auto e = read_request(s, tag_checkin_req, &req)) return e;
            results_sent += static_cast<int>(req.kids.at(0).kids.size());
            ++checkins;
            return send(s, wire().start(tag_checkin_resp).b(true).b(false).b(false).list().end().b(false).end());
        }));
    }
    srv.run(std::move(scripts));
    the_config() = agent_config({srv.port()});

    loop_ops ops;
    plug_conversations(ops);
    ops.scan = [] { return devtree_list(); };
    ops.init_host = [] {};
    ops.release_host = [] {};
    ops.wait = [](int seconds) { sim_time += seconds > 0 ? seconds : 1; };
    int code = run_agent_loop(ops);
    srv.stop();

    EXPECT_EQ(code, 0);
    for (const auto& e : srv.errors) ADD_FAILURE() << "server: " << e;
    EXPECT_EQ(results_sent.load(), 3);
    EXPECT_GE(checkins.load(), 2);
    EXPECT_TRUE(logged("Successfully registered with server."));
    EXPECT_TRUE(logged("All fake checks are done. Exiting."));
    EXPECT_EQ(the_config().host_id.value_or(""), "agent-1");
    ASSERT_EQ(agent_loop().configured.size(), 1u);
    EXPECT_TRUE(agent_loop().configured[0]->checks[0]->results.empty());
}

}  // namespace
}  // namespace zp::test
