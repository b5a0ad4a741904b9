// conversation_test.cpp - registration, scan upload, check-in results and
// their acknowledgement, rescan and upgrade from the server's side, read back
// with the agent's own readers.
#include "protocol/configure.h"
#include "protocol/messages_checkin.h"
#include "protocol/requests.h"
#include "test_agent.h"

namespace zp::test {

namespace {

// A scan of a real, a continuous and a log check and an action.
devtree_list fake_scan() {
    devtree_list scan;
    auto add = [](devtree& g, const char* id, uint32_t type) {
        auto n = alloc_devnode();
        n->id = id;
        n->type = type;
        add_devnodes(g, std::move(n));
    };
    add(*devtree_child(scan, "mem", "Memory"), "phys", type_real_continuous);
    add(*devtree_child(*devtree_child(scan, "fs", "Disks"), "/", "root"), "free", type_continuous);
    auto* log = devtree_child(scan, "log", "Logs");
    add(*log, "plain", type_log);
    add(*log, "restart", type_action);
    return scan;
}

struct checkin_in {
    bool ack = false, changed = false, upgrade = false, scan = false;
};

// One check-in on a connection of its own, with a result of `value` for
// mem/phys when `value` is set.
checkin_in checkin_once(test_agent& a, uint16_t port, std::optional<int32_t> value = std::nullopt) {
    checkin_in r;
    devtree_list actions;
    EXPECT_FALSE(a.open(port));
    EXPECT_FALSE(write_checkin_req(*a.s));
    EXPECT_FALSE(write_list_start(*a.s));
    if (value) {
        EXPECT_FALSE(write_check_result(*a.s, 1700000000, "", 0));
        EXPECT_FALSE(write_list_start(*a.s));
        for (const char* p : {"mem", "phys"}) EXPECT_FALSE(write_string(*a.s, 256, p));
        EXPECT_FALSE(write_end_of_contents(*a.s));
        EXPECT_FALSE(write_signed_int(*a.s, INT32_MIN, INT32_MAX, *value));
        EXPECT_FALSE(write_string(*a.s, 256, "mem.phys"));
        EXPECT_FALSE(write_end_of_contents(*a.s));
    }
    EXPECT_FALSE(write_end_of_contents(*a.s));
    EXPECT_FALSE(write_end_of_contents(*a.s));
    EXPECT_FALSE(a.s->flush());
    EXPECT_FALSE(read_checkin_resp_incomplete(*a.s, r.ack, r.changed, r.upgrade));
    EXPECT_FALSE(read_action_conf_list(*a.s, actions, nullptr));
    EXPECT_FALSE(read_bool(*a.s, r.scan));
    EXPECT_FALSE(skip_to_eol(*a.s));
    a.close();
    return r;
}

}  // namespace

TEST(ServerConversation, ScanUploadConfiguresEveryCheckButActionsAndRescanAsksAgain) {
    temp_env d;
    test_server srv(options_in(d));
    test_agent a(d);
    devtree_list configured;
    conversation_env env;
    env.configured = &configured;
    env.scan = fake_scan;
    ASSERT_FALSE(a.open(srv.l.port()));
    ASSERT_FALSE(configure(*a.s, a.c, env, false));
    a.close();
    EXPECT_EQ(a.c.checkin_interval, 7u);
    EXPECT_TRUE(configured.empty()) << "nothing configured before a scan";
    const auto first_id = a.c.host_id;

    auto ci = checkin_once(a, srv.l.port());
    EXPECT_TRUE(ci.changed && ci.scan) << "the first check-in asks for a configuration download with a scan";
    ASSERT_FALSE(a.open(srv.l.port()));
    ASSERT_FALSE(configure(*a.s, a.c, env, true));
    a.close();
    EXPECT_EQ(a.c.host_id, first_id) << "the host id stays";
    ASSERT_EQ(configured.size(), 3u);
    for (const auto& g : configured) {
        const auto& checks = g->id == "fs" ? g->children.at(0)->checks : g->checks;
        ASSERT_EQ(checks.size(), 1u) << g->id << ": one check each, actions are not configured";
        EXPECT_EQ(checks[0]->frequency, 5);
    }

    ci = checkin_once(a, srv.l.port());
    EXPECT_FALSE(ci.changed || ci.scan) << "scanned once: the next check-in changes nothing";
    ASSERT_FALSE(a.open(srv.l.port()));
    std::string reply;
    ASSERT_FALSE(request_rescan(*a.s, reply_buffer_size, reply));
    EXPECT_EQ(reply, "OK rescan of host1 at its next check-in");
    a.close();
    ci = checkin_once(a, srv.l.port());
    EXPECT_TRUE(ci.changed && ci.scan) << "a rescan asks for a new scan";
}

TEST(ServerConversation, WithheldAcknowledgementIsMarkedAndLaterGiven) {
    temp_env d;
    auto o = options_in(d);
    o.faults.push_back({"withhold-ack", "checkin_resp", 1});
    test_server srv(o);
    test_agent a(d);
    EXPECT_TRUE(checkin_once(a, srv.l.port()).ack) << "a check-in without results does not use up the fault";
    EXPECT_FALSE(checkin_once(a, srv.l.port(), 42).ack);
    EXPECT_TRUE(checkin_once(a, srv.l.port(), 42).ack);
    ASSERT_TRUE(srv.wait_served(3));
    // The result withheld comes again, the same but for the acknowledgement.
    const std::string line =
        "{\"agent\":\"host1\",\"domain\":\"lab\",\"path\":[\"mem\",\"phys\"],\"status\":0,"
        "\"checkTime\":1700000000,\"comment\":\"\",\"value\":42,\"identifier\":\"mem.phys\","
        "\"alertGroup\":null,\"ack\":";
    EXPECT_EQ(read_file(d.path("results.jsonl")), line + "false}\n" + line + "true}\n");
}

}  // namespace zp::test
