// conversation_test.cpp - registration, check-in, downtime, rescan and
// upgrade from the server's side, read back with the agent's own readers.
#include <fstream>
#include <sstream>

#include "protocol/messages_checkin.h"
#include "protocol/messages_conf.h"
#include "test_agent.h"

namespace zp::test {

namespace {

server::server_options options_in(const temp_dir& d) {
    server::server_options o;
    o.state_dir = d.str("state");
    o.results_path = d.str("results.jsonl");
    o.verbosity = 3;
    o.check_frequency = 5;
    o.checkin_frequency = 7;
    return o;
}

std::vector<std::string> lines_of(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

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
        auto* mem = devtree_child(scan, "mem", "Memory");
        auto phys = alloc_devnode();
        phys->id = "phys";
        phys->type = type_real_continuous;
        phys->description = 2;
        add_devnodes(*mem, std::move(phys));
        auto* fs = devtree_child(scan, "fs", "Disks");
        auto* root = devtree_child(*fs, "/", "root");
        auto free_node = alloc_devnode();
        free_node->id = "free";
        free_node->type = type_continuous;
        add_devnodes(*root, std::move(free_node));
        auto state = alloc_devnode();
        state->id = "state";
        state->type = 1;
        add_devnodes(*root, std::move(state));
        auto* log = devtree_child(scan, "log", "Logs");
        auto adv = alloc_devnode();
        adv->id = "/var/log/syslog";
        adv->type = type_adv_log;
        add_devnodes(*log, std::move(adv));
        auto plain = alloc_devnode();
        plain->id = "plain";
        plain->type = type_log;
        add_devnodes(*log, std::move(plain));
        auto action = alloc_devnode();
        action->id = "restart";
        action->type = type_action;
        add_devnodes(*log, std::move(action));
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
    const auto& root = *fs->children[0];
    EXPECT_EQ(root.id, "/");
    auto check = [](const devtree& g, const std::string& id) -> const devnode* {
        for (const auto& c : g.checks) {
            if (c->id == id) return c.get();
        }
        return nullptr;
    };
    ASSERT_EQ(root.checks.size(), 2u);
    const devnode* free_check = check(root, "free");
    const devnode* state_check = check(root, "state");
    ASSERT_TRUE(free_check && state_check);
    EXPECT_EQ(free_check->type, type_continuous);
    EXPECT_LT(free_check->cont.alert_high, 0);
    EXPECT_EQ(state_check->type, 1u);
    EXPECT_EQ(state_check->warn_mask | state_check->alert_mask, 0u);
    ASSERT_EQ(log->checks.size(), 2u) << "actions are not configured";
    ASSERT_TRUE(check(*log, "/var/log/syslog") && check(*log, "plain"));
    EXPECT_EQ(check(*log, "/var/log/syslog")->type, type_adv_log);
    EXPECT_EQ(check(*log, "plain")->type, type_log);

    // Scanned once: the next check-in changes nothing.
    ASSERT_FALSE(a.open(srv.l.port()));
    ASSERT_FALSE(send_checkin(*a.s, {}));
    ASSERT_FALSE(read_checkin_reply(*a.s, ci));
    EXPECT_FALSE(ci.changed);
    EXPECT_FALSE(ci.scan);
    a.close();

    // And a later registration gets the uploaded checks straight away.
    conf_reply third;
    ASSERT_FALSE(register_agent(a, srv.l.port(), third));
    EXPECT_EQ(third.tree.size(), 3u);
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
    ASSERT_FALSE(a.open(srv.l.port()));
    result_in r1{{"mem", "phys"}, 1, 0, 1.5, "", "", 0, std::string("mem.phys"), std::nullopt};
    result_in r2{{"log", "syslog"}, 2, 0, 0, std::string("a\"b\\c\n\x01\xff", 8), "cmt", 2, std::string("log.syslog"),
                 std::string("ops")};
    result_in r3{{"fs", "/", "free"}, 0, -7, 0, "", "", 1, std::nullopt, std::nullopt};
    result_in r4{{"act", "x"}, 3, 0, 0, "", "", 3, std::string("act.x"), std::nullopt};
    ASSERT_FALSE(send_checkin(*a.s, {r1, r2, r3, r4}));
    checkin_in ci;
    ASSERT_FALSE(read_checkin_reply(*a.s, ci));
    a.close();
    auto lines = lines_of(d.str("results.jsonl"));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0],
              "{\"agent\":\"host1\",\"domain\":\"lab\",\"path\":[\"mem\",\"phys\"],\"status\":0,"
              "\"checkTime\":1700000000,\"comment\":\"\",\"value\":1.5,\"identifier\":\"mem.phys\","
              "\"alertGroup\":null,\"ack\":true}");
    EXPECT_NE(lines[1].find("\"value\":\"a\\\"b\\\\c\\u000a\\u0001\\u00ff\""), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("\"comment\":\"cmt\""), std::string::npos);
    EXPECT_NE(lines[1].find("\"alertGroup\":\"ops\""), std::string::npos);
    EXPECT_NE(lines[1].find("\"status\":2"), std::string::npos);
    EXPECT_NE(lines[2].find("\"path\":[\"fs\",\"/\",\"free\"]"), std::string::npos);
    EXPECT_NE(lines[2].find("\"value\":-7,\"identifier\":null"), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find("\"value\":null"), std::string::npos);
    EXPECT_EQ(srv.state->table().checks(), 4u);
}

TEST(ServerConversation, WithheldAcknowledgementIsMarkedAndLaterGiven) {
    temp_dir d;
    auto o = options_in(d);
    o.faults.push_back({"withhold-ack", "checkin_resp", 1});
    test_server srv(o);
    test_agent a;
    result_in r{{"mem", "phys"}, 0, 42, 0, "", "", 0, std::string("mem.phys"), std::nullopt};
    ASSERT_FALSE(a.open(srv.l.port()));
    ASSERT_FALSE(send_checkin(*a.s, {}));
    checkin_in empty;
    ASSERT_FALSE(read_checkin_reply(*a.s, empty));
    EXPECT_TRUE(empty.ack) << "a check-in without results does not use up the fault";
    a.close();
    for (bool expected : {false, true}) {
        ASSERT_FALSE(a.open(srv.l.port()));
        ASSERT_FALSE(send_checkin(*a.s, {r}));
        checkin_in ci;
        ASSERT_FALSE(read_checkin_reply(*a.s, ci));
        EXPECT_EQ(ci.ack, expected);
        a.close();
    }
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
        temp_dir d;
        auto o = options_in(d);
        o.faults.push_back({c.kind, "checkin_resp", -1});
        test_server srv(o);
        test_agent a;
        ASSERT_FALSE(a.open(srv.l.port()));
        ASSERT_FALSE(send_checkin(*a.s, {}));
        checkin_in ci;
        auto e = read_checkin_reply(*a.s, ci);
        EXPECT_NE(e.message().find(c.text), std::string::npos) << c.kind << ": " << e.message();
    }
}

TEST(ServerConversation, SlowReplyStillArrives) {
    temp_dir d;
    auto o = options_in(d);
    o.faults.push_back({"slow", "server_time_resp", -1});
    o.slow_seconds = 1;
    test_server srv(o);
    test_agent a;
    ASSERT_FALSE(a.open(srv.l.port()));
    ASSERT_FALSE(write_server_time_req(*a.s, 1000));
    ASSERT_FALSE(a.s->flush());
    EXPECT_EQ(a.s->wait_readable(0), 0) << "held back";
    int32_t sec = 0, usec = -1;
    ASSERT_FALSE(read_server_time_resp(*a.s, sec, usec));
    EXPECT_GT(sec, 1000);
    EXPECT_EQ(usec, 0);
}

TEST(ServerConversation, DowntimeGrantedRefusedAndInvalid) {
    temp_dir d;
    auto o = options_in(d);
    test_server srv(o);
    test_agent a;
    struct {
        int32_t minutes;
        bool ok;
    } cases[] = {{30, true}, {0, false}, {-5, false}};
    for (const auto& c : cases) {
        ASSERT_FALSE(a.open(srv.l.port()));
        ASSERT_FALSE(write_downtime_req(*a.s, c.minutes, "maintenance"));
        ASSERT_FALSE(a.s->flush());
        bool success = !c.ok;
        std::string message;
        ASSERT_FALSE(read_downtime_resp(*a.s, success, message));
        EXPECT_EQ(success, c.ok) << c.minutes;
        EXPECT_FALSE(message.empty());
        a.close();
    }
}

TEST(ServerConversation, RescanAsksForNewScanAtNextCheckin) {
    temp_dir d;
    test_server srv(options_in(d));
    test_agent a;
    ASSERT_FALSE(a.open(srv.l.port()));
    ASSERT_FALSE(send_configure(*a.s, true));
    conf_reply reg;
    ASSERT_FALSE(read_conf_reply(*a.s, reg));
    a.close();

    ASSERT_FALSE(a.open(srv.l.port()));
    ASSERT_FALSE(write_rescan_req(*a.s));
    ASSERT_FALSE(a.s->flush());
    bool success = false;
    std::string message;
    ASSERT_FALSE(read_rescan_resp(*a.s, success, message));
    EXPECT_TRUE(success);
    a.close();

    ASSERT_FALSE(a.open(srv.l.port()));
    ASSERT_FALSE(send_checkin(*a.s, {}));
    checkin_in ci;
    ASSERT_FALSE(read_checkin_reply(*a.s, ci));
    EXPECT_TRUE(ci.changed);
    EXPECT_TRUE(ci.scan);
}

TEST(ServerConversation, RefusedRequestsFail) {
    temp_dir d;
    auto o = options_in(d);
    o.refuse_requests = true;
    test_server srv(o);
    test_agent a;
    ASSERT_FALSE(a.open(srv.l.port()));
    ASSERT_FALSE(write_rescan_req(*a.s));
    ASSERT_FALSE(a.s->flush());
    bool success = true;
    std::string message;
    ASSERT_FALSE(read_rescan_resp(*a.s, success, message));
    EXPECT_FALSE(success);
    ASSERT_FALSE(write_downtime_req(*a.s, 10, ""));
    ASSERT_FALSE(a.s->flush());
    success = true;
    ASSERT_FALSE(read_downtime_resp(*a.s, success, message));
    EXPECT_FALSE(success);
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
    ASSERT_FALSE(a.open(srv.l.port()));
    ASSERT_FALSE(send_checkin(*a.s, {}));
    checkin_in ci;
    ASSERT_FALSE(read_checkin_reply(*a.s, ci));
    EXPECT_TRUE(ci.upgrade);
    a.close();

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

    ASSERT_FALSE(a.open(srv.l.port()));
    ASSERT_FALSE(send_checkin(*a.s, {}));
    ASSERT_FALSE(read_checkin_reply(*a.s, ci));
    EXPECT_FALSE(ci.upgrade) << "taken";
}

TEST(ServerConversation, ActionsSentOnceInTheirGroups) {
    temp_dir d;
    auto o = options_in(d);
    o.actions = {{"custom", "restart"}, {"custom", "flush"}};
    test_server srv(o);
    test_agent a;
    checkin_in ci;
    ASSERT_FALSE(a.open(srv.l.port()));
    ASSERT_FALSE(send_checkin(*a.s, {}));
    ASSERT_FALSE(read_checkin_reply(*a.s, ci));
    a.close();
    ASSERT_EQ(ci.actions.size(), 1u);
    EXPECT_EQ(ci.actions[0]->id, "custom");
    ASSERT_EQ(ci.actions[0]->checks.size(), 2u);
    EXPECT_EQ(ci.actions[0]->checks[1]->id, "flush");

    checkin_in again;
    ASSERT_FALSE(a.open(srv.l.port()));
    ASSERT_FALSE(send_checkin(*a.s, {}));
    ASSERT_FALSE(read_checkin_reply(*a.s, again));
    EXPECT_TRUE(again.actions.empty());
}

}  // namespace zp::test
