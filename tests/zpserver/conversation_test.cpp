// conversation_test.cpp - registration, check-in, downtime, rescan and
// upgrade from the server's side, read back with the agent's own readers.
#include <fstream>
#include <sstream>

#include "protocol/messages_checkin.h"
#include "protocol/messages_conf.h"
#include "test_agent.h"

namespace zp::test {

namespace {

struct conf_reply {
    std::string id;
    int32_t frequency = 0;
    std::vector<std::pair<std::string, int32_t>> servers;
    devtree_list tree;
    std::vector<std::string> alert_groups;
    bool has_alert_groups = false;
};

// The agent's reading of a configure_resp.
err read_conf_reply(ProtocolStream& s, conf_reply& r) {
    tag_code t;
    if (auto e = read_tag(s, t)) return e;
    if (t == tag_negotiate_nack) return err::text("nack");
    if (auto e = read_configure_resp_incomplete(s, r.id, r.frequency, t)) return e;
    if (auto e = read_list_start(s, "registration")) return e;
    for (;;) {
        bool end = false;
        if (auto e = read_list_next(s, "registration", t, end)) return e;
        if (end) break;
        std::string name;
        int32_t port;
        if (auto e = read_server_name_port(s, name, port, t)) return e;
        r.servers.emplace_back(name, port);
    }
    if (auto e = read_devtree_list(s, r.tree, nullptr, {})) return e;
    if (auto e = read_tag(s, t)) return e;
    if (t == BE_EOC) return read_eoc_length(s, "List not terminated correctly");
    r.has_alert_groups = true;
    if (auto e = read_list_start(s, "registration", t)) return e;
    for (;;) {
        bool end = false;
        if (auto e = read_list_next(s, "registration", t, end)) return e;
        if (end) break;
        std::string id;
        if (auto e = read_alert_group(s, id, t)) return e;
        r.alert_groups.push_back(id);
    }
    return skip_to_eol(s);
}

err send_configure(ProtocolStream& s, bool with_scan) {
    if (auto e = write_configure_req(s)) return e;
    if (auto e = write_host_info_list(s, {{"OS", "Linux"}})) return e;
    devtree_list scan;
    if (with_scan) {
        auto add = [](devtree& g, const char* id, uint32_t type) {
            auto n = alloc_devnode();
            n->id = id;
            n->type = type;
            n->description = 2;
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
    if (with_scan) {
        if (auto e = write_check_description(s, 1, "good", "warn", "alert")) return e;
    }
    if (auto e = write_end_of_contents(s)) return e;
    if (auto e = write_end_of_contents(s)) return e;
    return s.flush();
}

struct result_in {
    std::vector<std::string> path;
    int kind = 0;  // 0 int, 1 real, 2 text, 3 null
    int32_t i = 0;
    double d = 0;
    std::string text;
    std::string comment;
    uint32_t status = 0;
    std::optional<std::string> identifier, alert_group;
};

err send_checkin(ProtocolStream& s, const std::vector<result_in>& results) {
    if (auto e = write_checkin_req(s)) return e;
    if (auto e = write_list_start(s)) return e;
    for (const auto& r : results) {
        if (auto e = write_check_result(s, 1700000000, r.comment, r.status)) return e;
        if (auto e = write_list_start(s)) return e;
        for (const auto& p : r.path) {
            if (auto e = write_string(s, 256, p)) return e;
        }
        if (auto e = write_end_of_contents(s)) return e;
        err e;
        switch (r.kind) {
        case 0: e = write_signed_int(s, INT32_MIN, INT32_MAX, r.i); break;
        case 1: e = write_real(s, r.d); break;
        case 2: e = write_string(s, 65536, r.text); break;
        default: e = write_null(s); break;
        }
        if (e) return e;
        if (r.identifier) {
            if (auto e2 = write_string(s, 256, *r.identifier)) return e2;
            if (r.alert_group) {
                if (auto e2 = write_string(s, 256, *r.alert_group)) return e2;
            }
        }
        if (auto e2 = write_end_of_contents(s)) return e2;
    }
    if (auto e = write_end_of_contents(s)) return e;
    if (auto e = write_end_of_contents(s)) return e;
    return s.flush();
}

struct checkin_in {
    bool ack = false, changed = false, upgrade = false, scan = false;
    devtree_list actions;
};

err read_checkin_reply(ProtocolStream& s, checkin_in& r) {
    if (auto e = read_checkin_resp_incomplete(s, r.ack, r.changed, r.upgrade)) return e;
    if (auto e = read_action_conf_list(s, r.actions, nullptr)) return e;
    if (auto e = read_bool(s, r.scan)) return e;
    return skip_to_eol(s);
}

err register_agent(test_agent& a, uint16_t port, conf_reply& reply) {
    if (auto e = a.open(port)) return e;
    if (auto e = send_configure(*a.s, false)) return e;
    if (auto e = read_conf_reply(*a.s, reply)) return e;
    a.close();
    return {};
}

const devtree* group_of(const devtree_list& tree, const std::string& id) {
    for (const auto& g : tree) {
        if (g->id == id) return g.get();
    }
    return nullptr;
}


// One check-in on a connection of its own.
checkin_in checkin_once(test_agent& a, uint16_t port, const std::vector<result_in>& results = {}) {
    checkin_in ci;
    EXPECT_FALSE(a.open(port));
    EXPECT_FALSE(send_checkin(*a.s, results));
    EXPECT_FALSE(read_checkin_reply(*a.s, ci));
    a.close();
    return ci;
}

// The success of a downtime request (`minutes` >= 0) or of a rescan request.
bool request_granted(test_agent& a, uint16_t port, int32_t minutes) {
    EXPECT_FALSE(a.open(port));
    EXPECT_FALSE(minutes >= 0 ? write_downtime_req(*a.s, minutes, "maintenance") : write_rescan_req(*a.s));
    EXPECT_FALSE(a.s->flush());
    bool success = false;
    std::string message;
    EXPECT_FALSE(minutes >= 0 ? read_downtime_resp(*a.s, success, message) : read_rescan_resp(*a.s, success, message));
    EXPECT_FALSE(message.empty());
    a.close();
    return success;
}

}  // namespace

TEST(ServerConversation, RegistrationCheckinScanUploadConfiguresEveryUploadedCheck) {
    temp_dir d;
    auto o = options_in(d);
    o.cluster = {{"a", 1}, {"b", 2}};
    test_server srv(o);
    test_agent a;

    conf_reply first;
    ASSERT_FALSE(register_agent(a, srv.l.port(), first));
    EXPECT_EQ(first.frequency, 7);
    EXPECT_FALSE(first.id.empty());
    EXPECT_TRUE(first.tree.empty()) << "nothing configured before a scan";
    EXPECT_EQ(first.servers, (std::vector<std::pair<std::string, int32_t>>{{"a", 1}, {"b", 2}}));
    EXPECT_FALSE(first.has_alert_groups);

    ASSERT_FALSE(a.open(srv.l.port()));
    ASSERT_FALSE(send_checkin(*a.s, {}));
    checkin_in ci;
    ASSERT_FALSE(read_checkin_reply(*a.s, ci));
    EXPECT_TRUE(ci.ack);
    EXPECT_TRUE(ci.changed) << "the first check-in asks for a configuration download";
    EXPECT_TRUE(ci.scan) << "with a hardware scan";
    EXPECT_FALSE(ci.upgrade);
    ASSERT_FALSE(write_h_w_scan_req(*a.s));
    ASSERT_FALSE(a.s->flush());
    bool nack = true;
    ASSERT_FALSE(read_h_w_scan_resp(*a.s, nack));
    EXPECT_FALSE(nack);
    ASSERT_FALSE(send_configure(*a.s, true));
    conf_reply second;
    ASSERT_FALSE(read_conf_reply(*a.s, second));
    a.close();

    EXPECT_EQ(second.id, first.id) << "the host id stays";
    const devtree* mem = group_of(second.tree, "mem");
    const devtree* fs = group_of(second.tree, "fs");
    const devtree* log = group_of(second.tree, "log");
    ASSERT_TRUE(mem && fs && log);
    ASSERT_EQ(mem->checks.size(), 1u);
    EXPECT_EQ(mem->checks[0]->type, type_real_continuous);
    EXPECT_EQ(mem->checks[0]->frequency, 5);
    EXPECT_EQ(mem->checks[0]->identifier, "mem.phys");
    EXPECT_LT(mem->checks[0]->real.alert_high, 0) << "no thresholds";
    ASSERT_EQ(fs->children.size(), 1u);
    ASSERT_EQ(fs->children[0]->checks.size(), 1u);
    EXPECT_EQ(fs->children[0]->checks[0]->type, type_continuous);
    ASSERT_EQ(log->checks.size(), 1u) << "actions are not configured";
    EXPECT_EQ(log->checks[0]->type, type_log);

    ci = checkin_once(a, srv.l.port());
    EXPECT_FALSE(ci.changed) << "scanned once: the next check-in changes nothing";
    EXPECT_FALSE(ci.scan);

    // A rescan request asks for a new scan at the next check-in.
    EXPECT_TRUE(request_granted(a, srv.l.port(), -1));
    ci = checkin_once(a, srv.l.port());
    EXPECT_TRUE(ci.changed);
    EXPECT_TRUE(ci.scan);

    conf_reply third;
    ASSERT_FALSE(register_agent(a, srv.l.port(), third));
    EXPECT_EQ(third.tree.size(), 3u) << "a later registration gets the uploaded checks";
}

TEST(ServerConversation, ResultsArriveFieldByFieldAsJsonLines) {
    temp_dir d;
    auto o = options_in(d);
    o.alert_groups = std::vector<std::string>{"ops"};
    test_server srv(o);
    test_agent a;
    conf_reply reg;
    ASSERT_FALSE(register_agent(a, srv.l.port(), reg));
    EXPECT_EQ(reg.alert_groups, std::vector<std::string>{"ops"});
    result_in r1{{"mem", "phys"}, 1, 0, 1.5, "", "", 0, std::string("mem.phys"), std::nullopt};
    result_in r2{{"log", "syslog"}, 2, 0, 0, std::string("a\"b\\c\n\x01\xff", 8), "cmt", 2, std::string("log.syslog"),
                 std::string("ops")};
    result_in r3{{"fs", "/", "free"}, 0, -7, 0, "", "", 1, std::nullopt, std::nullopt};
    result_in r4{{"act", "x"}, 3, 0, 0, "", "", 3, std::string("act.x"), std::nullopt};
    checkin_once(a, srv.l.port(), {r1, r2, r3, r4});
    auto lines = lines_of(d.str("results.jsonl"));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0],
              "{\"agent\":\"host1\",\"domain\":\"lab\",\"path\":[\"mem\",\"phys\"],\"status\":0,"
              "\"checkTime\":1700000000,\"comment\":\"\",\"value\":1.5,\"identifier\":\"mem.phys\","
              "\"alertGroup\":null,\"ack\":true}");
    EXPECT_NE(lines[1].find("\"status\":2,\"checkTime\":1700000000,\"comment\":\"cmt\","
                            "\"value\":\"a\\\"b\\\\c\\u000a\\u0001\\u00ff\",\"identifier\":\"log.syslog\","
                            "\"alertGroup\":\"ops\""),
              std::string::npos)
        << lines[1];
    EXPECT_NE(lines[2].find("\"path\":[\"fs\",\"/\",\"free\"]"), std::string::npos);
    EXPECT_NE(lines[2].find("\"value\":-7,\"identifier\":null"), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find("\"value\":null"), std::string::npos);
}

TEST(ServerConversation, WithheldAcknowledgementIsMarkedAndLaterGiven) {
    temp_dir d;
    auto o = options_in(d);
    o.faults.push_back({"withhold-ack", "checkin_resp", 1});
    test_server srv(o);
    test_agent a;
    result_in r{{"mem", "phys"}, 0, 42, 0, "", "", 0, std::string("mem.phys"), std::nullopt};
    EXPECT_TRUE(checkin_once(a, srv.l.port()).ack) << "a check-in without results does not use up the fault";
    EXPECT_FALSE(checkin_once(a, srv.l.port(), {r}).ack);
    EXPECT_TRUE(checkin_once(a, srv.l.port(), {r}).ack);
    ASSERT_TRUE(srv.wait_served(3));
    auto lines = lines_of(d.str("results.jsonl"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("\"ack\":false"), std::string::npos);
    EXPECT_NE(lines[1].find("\"ack\":true"), std::string::npos);
}

TEST(ServerConversation, FaultsInCheckinReplyAreWhatTheAgentReports) {
    struct fault_case {
        const char* kind;
        const char* text;
    } cases[] = {
        {"wrong-tag", "Wrong tag (163) encountered in read_checkin_resp_incomplete"},
        {"definite-length", "Definite length read in read_checkin_resp_incomplete"},
        {"close", "Peer closed connection unexpectedly"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        temp_dir d;
        auto o = options_in(d);
        o.faults.push_back({c.kind, "checkin_resp", -1});
        test_server srv(o);
        test_agent a;
        ASSERT_FALSE(a.open(srv.l.port()));
        ASSERT_FALSE(send_checkin(*a.s, {}));
        checkin_in ci;
        auto e = read_checkin_reply(*a.s, ci);
        EXPECT_NE(e.message().find(c.text), std::string::npos) << e.message();
    }
}

TEST(ServerConversation, DowntimeAndRescanGrantedRefusedAndInvalid) {
    struct request_case {
        bool refuse;
        int32_t minutes;  // -1: a rescan
        bool granted;
    } cases[] = {{false, 30, true}, {false, 0, false}, {false, -1, true}, {true, 10, false}, {true, -1, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.refuse << " " << c.minutes);
        temp_dir d;
        auto o = options_in(d);
        o.refuse_requests = c.refuse;
        test_server srv(o);
        test_agent a;
        EXPECT_EQ(request_granted(a, srv.l.port(), c.minutes), c.granted);
    }
}

TEST(ServerConversation, UpgradeOfferedUntilTakenAndSentByteForByte) {
    temp_dir d;
    auto o = options_in(d);
    o.upgrade_file = d.str("new.bin");
    std::string content(300000, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
    std::ofstream(o.upgrade_file, std::ios::binary) << content;
    test_server srv(o);
    test_agent a;
    EXPECT_TRUE(checkin_once(a, srv.l.port()).upgrade);
    ASSERT_FALSE(a.open(srv.l.port()));
    ASSERT_FALSE(write_upgrade_req(*a.s));
    ASSERT_FALSE(a.s->flush());
    std::string got;
    ASSERT_FALSE(read_upgrade_resp(*a.s, [&](const uint8_t* p, size_t n) {
        got.append(reinterpret_cast<const char*>(p), n);
        return err{};
    }));
    EXPECT_TRUE(got == content);
    a.close();
    EXPECT_FALSE(checkin_once(a, srv.l.port()).upgrade) << "taken";
}

}  // namespace zp::test
