// checkin_test.cpp - the check-in: which results go under the limit, what an
// acknowledgement removes, and what the reply brings
// (configuration changes, actions, upgrade offers).
#include "core/clock.h"
#include "protocol/checkin.h"
#include "tests/protocol/conversation/peer.h"

namespace zp::test {
namespace {

// A check with `results` results, timed from 1000 on.
devnode* add_check(devtree& g, const std::string& id, uint32_t type, int results) {
    auto n = alloc_devnode();
    n->id = id;
    n->type = type;
    devnode* p = n.get();
    add_devnodes(g, std::move(n));
    // add_devnodes puts new checks in front; keep the order of creation.
    std::rotate(g.checks.begin(), g.checks.begin() + 1, g.checks.end());
    for (int i = 0; i < results; ++i) {
        auto r = alloc_resnode();
        r->time = 1000 + i;
        r->ivalue = i;
        set_result_text(*r, id + "#" + std::to_string(i));
        append_result(*p, std::move(r));
    }
    return p;
}

std::string path_of(const value& result) {
    std::string p;
    for (const auto& k : result.kids[3].kids) p += (p.empty() ? "" : "/") + k.data;
    return p;
}

// What the server answers a check-in with.
struct checkin_reply {
    bool ack = true;
    bool conf_changed = false;
    bool upgrade = false;
    wire actions = wire();  // the action group list (empty list when not set)
};

wire simple_configuration(const std::string& check) {
    wire w, cont;
    cont.start(tag_continuous_conf).nul().nul().nul().nul().end();
    w.start(tag_configure_resp).str("agent-1").i(60).list().end();
    w.list().list().str("grp").list();
    w.list().i(30).str(check).add(cont).str("ID-" + check).end();
    w.end().list().end().end().end().end();
    return w;
}

// The agent and the scripted server read one fixed clock: with the real one a
// second boundary between the server's answer and the agent's reading would
// shift the time offset by one and with it every time sent. The server's clock
// is 100 seconds behind.
int64_t fixed_clock() { return 1'800'000'000; }

class checkin_test : public conversation_fixture {
protected:
    void SetUp() override {
        conversation_fixture::SetUp();
        set_clock(fixed_clock);
        group = devtree_child(tree, "grp", std::nullopt);
        env.configured = &tree;
        env.actions = &actions;
    }
    void TearDown() override {
        set_clock(nullptr);
        time_offset() = 0;
        conversation_fixture::TearDown();
    }
    // One check-in from the server's side: set-up, time, the request, the
    // reply, and optionally a configuration download on the same connection.
    fake_server::script script(const checkin_reply& r = {}, std::optional<wire> configuration = std::nullopt) {
        wire reply;
        reply.start(tag_checkin_resp).b(r.ack).b(r.conf_changed).b(r.upgrade);
        if (r.actions.get().empty())
            reply.list().end();
        else
            reply.add(r.actions);
        reply.b(false).end();  // no hardware scan
        return [this, reply, configuration](stream_ptr& io) -> err {
            if (auto e = serve_handshake(io, keys)) return e;
            if (auto e = serve_time(*io, static_cast<int32_t>(time_now() - 100))) return e;
            value req;
            if (auto e = read_request(*io, tag_checkin_req, &req)) return e;
            requests.push_back(req);
            if (auto e = send(*io, reply)) return e;
            if (!configuration) return {};
            value cr;
            if (auto e = read_request(*io, tag_configure_req, &cr)) return e;
            configure_requests.push_back(cr);
            return send(*io, *configuration);
        };
    }
    // The server plays `scripts`, one per check-in.
    void serve(std::vector<fake_server::script> scripts) {
        srv.run(std::move(scripts));
        config_ = agent_config({srv.port()});
    }
    err once(uint32_t limit = 50) {
        acked = false;
        return checkin(config_, env, limit, acked);
    }
    void done() {
        srv.join();
        for (const auto& x : srv.errors) ADD_FAILURE() << "server: " << x;
        srv.errors.clear();
    }
    err run(fake_server::script s) {
        serve({std::move(s)});
        err e = once();
        done();
        return e;
    }
    devtree_list tree, actions;
    devtree* group = nullptr;
    conversation_env env;
    config config_;
    fake_server srv;
    server_keys keys;
    std::vector<value> requests, configure_requests;
    bool acked = false;
};

// With 120 results on 3 checks and a limit of 50 every check first gets its
// oldest result through, then the first check its others, then the second;
// the acknowledgement removes exactly those. Times go out on the server's clock;
// only a check's newest result carries its text, or the last one that fits.
TEST_F(checkin_test, LimitGivesEveryCheckItsOldestResultFirst) {
    devnode* a = add_check(*group, "a", type_continuous, 40);
    devnode* b = add_check(*group, "b", type_continuous, 40);
    devnode* c = add_check(*group, "c", type_continuous, 40);
    err e = run(script());
    ASSERT_FALSE(e) << e.message();
    EXPECT_TRUE(acked);
    ASSERT_EQ(requests.size(), 1u);
    const auto& results = requests[0].kids.at(0).kids;
    ASSERT_EQ(results.size(), 50u);
    std::string order, texts;
    for (const auto& r : results) {
        order += path_of(r).back();
        texts += r.kids[1].data.empty() ? "" : r.kids[1].data + " ";
    }
    EXPECT_EQ(order, "abc" + std::string(39, 'a') + std::string(8, 'b'));
    EXPECT_EQ(texts, "a#39 b#8 ");
    EXPECT_EQ(time_offset(), 100);
    EXPECT_EQ(results[49].kids[0].integer(), 908);
    EXPECT_EQ(a->results.size(), 0u);
    EXPECT_EQ(b->results.size(), 31u);
    EXPECT_EQ(b->results.front()->time, 1009);
    EXPECT_EQ(c->results.size(), 39u);
    EXPECT_EQ(c->results.front()->time, 1001);
    EXPECT_TRUE(logged("Checking in, got 120 results, throttling to max 50"));
    EXPECT_TRUE(logged("Checkin success, conn: "));
}

// A withheld acknowledgement keeps the results: they go over into the new tree.
// A change that asks for a hardware scan is the interop tests' case.
TEST_F(checkin_test, ChangedConfigurationIsDownloadedOnTheSameConnectionOrKept) {
    devnode* a = add_check(*group, "a", type_continuous, 2);
    checkin_reply r{.ack = false, .conf_changed = true};
    err e = run(script(r, simple_configuration("a")));
    ASSERT_FALSE(e) << e.message();
    ASSERT_EQ(configure_requests.size(), 1u);
    EXPECT_TRUE(configure_requests[0].kids.at(6).kids.empty());
    ASSERT_EQ(tree.size(), 1u);
    ASSERT_EQ(tree[0]->checks.size(), 1u);
    devnode* now = tree[0]->checks[0].get();
    EXPECT_NE(now, a);
    EXPECT_EQ(now->identifier.value_or(""), "ID-a");
    EXPECT_EQ(now->results.size(), 2u);

    // A configuration refused after the change keeps the tree and fails.
    EXPECT_EQ(run(script(r, wire().start(tag_negotiate_nack).str("not now").end())).message(), "not now");
    EXPECT_EQ(tree[0]->checks[0].get(), now);
    EXPECT_EQ(now->results.size(), 2u);
}

// New action groups go in front of the waiting ones; actions that have run go
// out once, after the tree's results, and their group is pruned when all have
// gone out. One that never ran stays.
TEST_F(checkin_test, ActionsGoInFrontRunOnceAndArePrunedWhenDone) {
    add_check(*devtree_child(actions, "old", std::nullopt), "waiting", type_action, 0);
    checkin_reply r;
    r.actions.list()
        .list().str("ag").list()
            .list().str("child").list().end().list().list().str("inner").end().end().end()
        .end().list().list().str("restart").end().end().end()
        .end();
    serve({script(r), script(), script()});
    ASSERT_FALSE(once());
    ASSERT_EQ(actions.size(), 2u);
    EXPECT_EQ(actions[0]->id, "ag");
    EXPECT_EQ(actions[1]->id, "old");
    for (devnode* n : {actions[0]->checks.at(0).get(), actions[0]->children.at(0)->checks.at(0).get()}) {
        append_result(*n, alloc_resnode());
        n->next_due = 77;  // the loop ran it
    }
    add_check(*group, "a", type_continuous, 1);
    ASSERT_FALSE(once(2));  // "inner" does not fit: its group stays
    EXPECT_EQ(actions.size(), 2u);
    ASSERT_FALSE(once());
    done();
    EXPECT_TRUE(acked);
    std::string paths;
    for (int i : {1, 2})
        for (const auto& x : requests.at(i).kids.at(0).kids) paths += path_of(x) + " ";
    EXPECT_EQ(paths, "grp/a ag/restart ag/child/inner ");
    ASSERT_EQ(actions.size(), 1u);
    EXPECT_EQ(actions[0]->id, "old");
}

TEST_F(checkin_test, UpgradeOfferStartsADownloadOnlyWhenAllowed) {
    serve({script({.upgrade = true}), script({.upgrade = true})});
    int started = 0;
    env.start_upgrade = [&] { ++started; };
    ASSERT_FALSE(once());
    EXPECT_EQ(started, 0);
    EXPECT_TRUE(logged("Server has upgrade, but i am not allowed to download it"));
    config_.allow_autoupgrade = true;
    ASSERT_FALSE(once());
    done();
    EXPECT_EQ(started, 1);
}

// A reply that does not parse, no time synchronisation or no server fails
// the check-in and keeps every result.
TEST_F(checkin_test, FailedCheckInKeepsEveryResult) {
    devnode* a = add_check(*group, "a", type_continuous, 4);
    err e = run(after_handshake(keys, [](ProtocolStream& s) -> err {
        if (auto x = serve_time(s, static_cast<int32_t>(time_now()))) return x;
        if (auto x = read_request(s, tag_checkin_req)) return x;
        return send(s, wire().start(tag_checkin_resp).b(true).b(false).b(false).str("junk").end());
    }));
    EXPECT_EQ(e.message(), "Wrong tag in read_action_conf_list");
    EXPECT_FALSE(acked);
    EXPECT_EQ(a->results.size(), 4u);

    EXPECT_TRUE(run(after_handshake(keys, [](ProtocolStream& s) -> err {
        value v;
        return read_value(s, v);
    })));
    EXPECT_TRUE(logged("Server does not support time synchronization"));
    EXPECT_EQ(a->results.size(), 4u);

    config_ = agent_config({closed_port()});
    EXPECT_TRUE(once());
    EXPECT_TRUE(logged("setup_connection falied"));
}

}  // namespace
}  // namespace zp::test
