// conversation_test.cpp - registration, scan upload, check-in results and
// their acknowledgement, rescan and upgrade from the server's side, read back
// with the agent's own readers.
#include "protocol/messages_checkin.h"
#include "protocol/messages_conf.h"
#include "protocol/requests.h"
#include "test_agent.h"

namespace zp::test {

namespace {

struct conf_reply {
    std::string id;
    int32_t frequency = 0;
    devtree_list tree;
};

// The agent's reading of a configure_resp, passing over the server list and
// the alert groups.
err read_conf_reply(ProtocolStream& s, conf_reply& r) {
    tag_code t;
    if (auto e = read_tag(s, t)) return e;
    if (auto e = read_configure_resp_incomplete(s, r.id, r.frequency, t)) return e;
    if (auto e = read_list_start(s, "registration")) return e;
    if (auto e = skip_to_eol(s)) return e;
    if (auto e = read_devtree_list(s, r.tree, nullptr, {})) return e;
    return skip_to_eol(s);
}

// A configure_req with a scan of a real, a continuous and a log check and an
// action (or with no scan).
err send_configure(ProtocolStream& s, bool with_scan) {
    if (auto e = write_configure_req(s)) return e;
    if (auto e = write_host_info_list(s, {{"OS", "Linux"}})) return e;
    devtree_list scan;
    if (with_scan) {
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
    }
    if (auto e = write_check_group_list(s, scan)) return e;
    if (auto e = write_list_start(s)) return e;
    if (auto e = write_end_of_contents(s)) return e;
    if (auto e = write_end_of_contents(s)) return e;
    return s.flush();
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
    conf_reply first, second;
    ASSERT_FALSE(a.open(srv.l.port()));
    ASSERT_FALSE(send_configure(*a.s, false));
    ASSERT_FALSE(read_conf_reply(*a.s, first));
    a.close();
    EXPECT_EQ(first.frequency, 7);
    EXPECT_TRUE(first.tree.empty()) << "nothing configured before a scan";

    auto ci = checkin_once(a, srv.l.port());
    EXPECT_TRUE(ci.changed && ci.scan) << "the first check-in asks for a configuration download with a scan";
    ASSERT_FALSE(a.open(srv.l.port()));
    ASSERT_FALSE(send_configure(*a.s, true));
    ASSERT_FALSE(read_conf_reply(*a.s, second));
    a.close();
    EXPECT_EQ(second.id, first.id) << "the host id stays";
    ASSERT_EQ(second.tree.size(), 3u);
    for (const auto& g : second.tree) {
        const auto& checks = g->id == "fs" ? g->children.at(0)->checks : g->checks;
        ASSERT_EQ(checks.size(), 1u) << g->id << ": one check each, actions are not configured";
        EXPECT_EQ(checks[0]->frequency, 5);
    }

    ci = checkin_once(a, srv.l.port());
    EXPECT_FALSE(ci.changed || ci.scan) << "scanned once: the next check-in changes nothing";
    ASSERT_FALSE(a.open(srv.l.port()));
    ASSERT_FALSE(write_rescan_req(*a.s));
    ASSERT_FALSE(a.s->flush());
    bool granted = false;
    std::string message;
    ASSERT_FALSE(read_rescan_resp(*a.s, granted, message));
    EXPECT_TRUE(granted);
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

// The agent's own download: the largest upgrade comes byte for byte, one
// octet more is refused before anything is written.
TEST(ServerConversation, UpgradeOfTheLargestSizeIsSentAndOneByteMoreRefused) {
    for (size_t size : {size_t{10485760}, size_t{10485761}}) {
        SCOPED_TRACE(size);
        temp_env d;
        auto o = options_in(d);
        o.upgrade_file = d.path("offer.bin");
        write_file(o.upgrade_file, std::string(size, 'u'));
        test_server srv(o);
        test_agent a(d);
        a.c.servers = {{"127.0.0.1", srv.l.port()}};
        auto e = download_upgrade(a.c, d.path("download.tmp"));
        if (size == 10485760) {
            EXPECT_FALSE(e) << e.message();
            EXPECT_TRUE(read_file(d.path("download.tmp")) == std::string(size, 'u')) << "byte for byte";
        } else {
            EXPECT_EQ(e.message(), "data out of range in read_string");
            EXPECT_EQ(read_file(d.path("download.tmp")), "") << "refused before any byte was written";
        }
    }
}

}  // namespace zp::test
