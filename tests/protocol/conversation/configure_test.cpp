// configure_test.cpp - the configuration download: what the agent asks with,
// and how every part of the server's answer lands in the configuration, the
// variables and the configured tree.
#include <tuple>

#include "logcheck/pattern.h"
#include "logcheck/rules.h"
#include "protocol/memory_stream.h"
#include "tests/protocol/conversation/peer.h"

namespace zp::test {
namespace {


// The leading part of a configure_resp with a server list of `servers`.
wire resp_start(const std::string& id, int32_t frequency,
                std::initializer_list<std::pair<std::string, int32_t>> servers) {
    wire w;
    w.start(tag_configure_resp).str(id).i(frequency).list();
    for (const auto& [name, port] : servers) w.list().str(name).i(port).end();
    w.end();
    return w;
}

// check_conf with a check type record already in `type`.
wire check_conf(int32_t frequency, const std::string& id, const wire& type, const char* identifier = nullptr) {
    wire w;
    w.list().i(frequency).str(id).add(type);
    if (identifier) w.str(identifier);
    w.end();
    return w;
}

wire rule(const std::string& regex, uint32_t status, uint32_t decision, const std::string& dest) {
    return wire().list().str(regex).en(status).en(decision).str(dest).end();
}

// An answer with no checks and no alert group list.
wire bare_reply(const std::string& id = "id", std::initializer_list<std::pair<std::string, int32_t>> servers = {}) {
    wire w = resp_start(id, 60, servers);
    w.list().end().end();
    return w;
}

// An answer with one log check "l" with `separator` and `rules`.
wire log_reply(const std::string& separator, const wire& rules = wire()) {
    wire adv = wire().start(tag_adv_log_conf).str(separator).en(0).list().add(rules).end().end();
    wire w = resp_start("id", 60, {});
    w.list().list().str("log").list().add(check_conf(5, "l", adv)).end().list().end().end().end().end();
    return w;
}

class configure_test : public conversation_fixture {
protected:
    void SetUp() override {
        conversation_fixture::SetUp();
        env.configured = &tree;
    }
    // Runs configure on a memory stream holding `reply`; `sent` gets what the
    // agent wrote and `request` the configure_req in it, after any scan notice.
    err run(const wire& reply, bool hw_scan = false) {
        memory_stream s(reply.get());
        err e = configure(s, c, env, hw_scan);
        sent = s.output;
        memory_stream back(sent);
        request = value();
        if (!read_value(back, request) && request.tag == tag_h_w_scan_req) {
            request = value();
            (void)read_value(back, request);
        }
        return e;
    }
    config c = agent_config({7});
    devtree_list tree;
    conversation_env env;
    std::vector<uint8_t> sent;
    value request;
};

// How each check type is read is the message readers' business; here: where
// the answer lands, results carried over, and log destinations resolved.
TEST_F(configure_test, EveryPartOfTheAnswerLandsInItsPlace) {
    wire reply = resp_start("agent-7", 300, {{"a", 1}, {"b", 2}});
    wire cont = wire().start(tag_continuous_conf).i(90).nul().i(80).i(5).end();
    wire adv_fw = wire().start(tag_adv_log_conf).str("").en(0).list().end().end();
    wire adv_app;
    adv_app.start(tag_adv_log_conf).str("^--").en(1).list()
        .add(rule("'copy'", 1, 3, "FW1"))
        .add(rule("'move'", 2, 2, "NOPE"))
        .add(rule("'grp'", 2, 5, "grpA"))
        .add(rule("'grp2'", 1, 6, "grpB"))
        .end().i(30).nul().end();
    reply.list()
        .list().str("fs").list().add(check_conf(60, "c:", cont, "ID-1")).end().list()
            .list().str("sub").list().add(check_conf(5, "x", wire().start(tag_log_conf).end())).end().list().end().end()
        .end().end()
        .list().str("log").list().end().list()
            .list().str("/forward").list().add(check_conf(10, "fw", adv_fw, "FW1")).end().list().end().end()
            .list().str("/").list().add(check_conf(10, "app", adv_app, "APP")).end().list().end().end()
        .end().end()
        .end();
    reply.list().list().str("grpA").end().end().end();

    // A previous tree whose results go over to the new one.
    devtree* fs = devtree_child(tree, "fs", std::nullopt);
    auto old = alloc_devnode();
    old->id = "c:";
    for (int i = 0; i < 2; ++i) append_result(*old, alloc_resnode());
    add_devnodes(*fs, std::move(old));

    clinfo_list info{{"OS Id", std::string("Linux")}, {"Network", std::nullopt}};
    env.client_info = &info;
    current_server() = 3;
    err e = run(reply);
    ASSERT_FALSE(e) << e.message();

    // The request (its leading numbers are the message writer's): the client
    // information and empty scan lists.
    const value& req = request;
    ASSERT_EQ(req.tag, tag_configure_req);
    ASSERT_EQ(req.kids.size(), 8u);
    ASSERT_EQ(req.kids[5].kids.size(), 2u);
    EXPECT_EQ(std::tie(req.kids[5].kids[0].kids[0].data, req.kids[5].kids[0].kids[1].data),
              std::make_tuple("OS Id", "Linux"));
    EXPECT_EQ(req.kids[5].kids[1].kids[1].data, "");  // a line without a value
    EXPECT_TRUE(req.kids[6].kids.empty());
    EXPECT_TRUE(req.kids[7].kids.empty());

    // Identity, frequency, servers.
    EXPECT_EQ(c.host_id.value_or(""), "agent-7");
    EXPECT_EQ(*get_variable("host_id"), "agent-7");
    EXPECT_EQ(c.checkin_interval, 300u);
    ASSERT_EQ(c.servers.size(), 2u);
    EXPECT_EQ(std::tie(c.servers[1].host, c.servers[1].port), std::make_tuple("b", 2));
    EXPECT_EQ(*get_variable("server_list_cluster"), "a:1,b:2,");
    EXPECT_EQ(current_server(), 0);
    EXPECT_TRUE(server_changed());
    EXPECT_EQ(alert_groups(), std::vector<std::string>{"grpA"});

    ASSERT_EQ(tree.size(), 2u);
    const devnode& cd = *tree[0]->checks.at(0);
    EXPECT_EQ(cd.identifier.value_or(""), "ID-1");
    EXPECT_EQ(cd.results.size(), 2u);
    const devnode* fw = tree[1]->children.at(0)->checks.at(0).get();
    const devnode& app = *tree[1]->children.at(1)->checks.at(0);
    ASSERT_TRUE(app.lognode);
    ASSERT_EQ(app.lognode->rules.size(), 4u);

    // Destinations: the forward check is found by its identifier; the rest
    // stays unresolved and is logged.
    EXPECT_EQ(app.lognode->rules[0]->destination_check, fw);
    EXPECT_EQ(app.lognode->rules[1]->destination_check, nullptr);
    EXPECT_EQ(app.lognode->rules[2]->destination.value_or(""), "grpA");
    for (const char* line : {"Could not resolve as forward check NOPE", "  resolved as Alert group",
                             "Could not resolve as Alert group check grpB", "Instructed by server to perform 4 checks"})
        EXPECT_TRUE(logged(line)) << line;
}

TEST_F(configure_test, AnswerWithoutServersOrAlertGroupsKeepsThePreviousOnes) {
    alert_groups() = {"old"};
    c = agent_config({7, 8});
    current_server() = 1;
    err e = run(bare_reply());
    ASSERT_FALSE(e) << e.message();
    EXPECT_EQ(c.servers.size(), 2u);
    EXPECT_EQ(current_server(), 1);
    EXPECT_FALSE(server_changed());
    EXPECT_FALSE(get_variable("server_list_cluster"));
    EXPECT_EQ(alert_groups(), std::vector<std::string>{"old"});
    EXPECT_TRUE(logged("Server sent no LogCheck group"));

    wire empty_groups = resp_start("id", 60, {});
    empty_groups.list().end().list().end().end();
    ASSERT_FALSE(run(empty_groups));
    EXPECT_TRUE(alert_groups().empty());
}

// A name the server list parser would split, or read a port from, would stop
// the agent at its next start; such entries are left out, and so is what does
// not fit the list's buffer (each long entry takes 256 bytes).
TEST_F(configure_test, ServerNamesThatWouldBreakTheListAreLeftOut) {
    ASSERT_FALSE(run(bare_reply("id", {{"a,b", 1}, {"h:99999", 2}, {"", 3}, {"good", 4}})));
    EXPECT_EQ(*get_variable("server_list_cluster"), "good:4,");
    ASSERT_EQ(c.servers.size(), 1u);
    EXPECT_EQ(c.servers[0].host, "good");

    std::string name(252, 'h');
    ASSERT_FALSE(run(bare_reply("id", {{name + "1", 1}, {name + "2", 2}, {name + "3", 3}, {name + "4", 4}, {"z", 5}})));
    ASSERT_EQ(c.servers.size(), 4u);
    EXPECT_EQ(c.servers[3].host, "z");
    EXPECT_LT(get_variable("server_list_cluster")->size(), 1024u);
}

// An id longer than the agent can announce would make every later set-up
// fail; it is not kept, and the id it replaces is not loaded at the next start.
TEST_F(configure_test, HostIdTooLongToAnnounceIsNotKept) {
    c.host_id = "old-id";
    ASSERT_FALSE(set_variable("host_id", "old-id"));
    ASSERT_FALSE(run(bare_reply(std::string(129, 'i'))));
    EXPECT_FALSE(c.host_id);
    EXPECT_FALSE(get_variable("host_id"));
    EXPECT_TRUE(logged("Host id from server is longer than 128 bytes; not kept"));
    ASSERT_FALSE(run(bare_reply("new-id")));
    EXPECT_EQ(*get_variable("host_id"), "new-id");
}

// A broken device tree leaves the previous tree running; the id and servers
// read before it are kept.
TEST_F(configure_test, BrokenTreeKeepsThePreviousTree) {
    devtree* fs = devtree_child(tree, "fs", std::nullopt);
    auto old = alloc_devnode();
    old->id = "c:";
    add_devnodes(*fs, std::move(old));
    wire reply = resp_start("agent-9", 60, {{"s", 9}});
    reply.list().list().str("fs").list().add(check_conf(5, "c:", wire().start(context_tag(9)).end()));
    reply.end().list().end().end().end().end();
    EXPECT_EQ(run(reply).message(), "Got unknown type 77 in read_devnode(fs.c:)");
    ASSERT_EQ(tree.size(), 1u);
    EXPECT_EQ(tree[0].get(), fs);
    EXPECT_EQ(c.host_id.value_or(""), "agent-9");
    EXPECT_EQ(c.servers[0].host, "s");
}

TEST_F(configure_test, RefusalsAndStrangeRepliesEndTheDownload) {
    EXPECT_EQ(run(wire().start(tag_negotiate_nack).str("unknown agent").end()).message(), "unknown agent");
    EXPECT_EQ(run(wire().start(tag_checkin_resp).end()).message(), "Got unexpected tag 91 from server");
    EXPECT_EQ(run(resp_start("id", 60, {}).list().end().i(5).end()).message(), "Wrong tag in registration");
    EXPECT_TRUE(run(wire()));
    EXPECT_TRUE(logged("Error reading Configure response"));
}

TEST_F(configure_test, RulesAndSeparatorsGoThroughTheRuleLanguage) {
    EXPECT_EQ(run(log_reply("", rule("'x' y", 2, 0, ""))).message(), "Unexpected parse error in read_devnode");
    EXPECT_TRUE(logged("Parse error: line 0 column 5: Extra input"));
    EXPECT_TRUE(logged("Input was: \"'x' y\""));
    EXPECT_TRUE(tree.empty());

    err e = run(log_reply("^\\d+ ", rule("'error' and not 'debug'", 2, 0, "")));
    ASSERT_FALSE(e) << e.message();
    const lognode& ln = *tree[0]->checks[0]->lognode;
    ASSERT_TRUE(ln.separator);
    ASSERT_TRUE(ln.rules[0]->condition);
    EXPECT_TRUE(log_cond_match("error: disk", *ln.rules[0]->condition));
    EXPECT_FALSE(log_cond_match("debug error", *ln.rules[0]->condition));

    e = run(log_reply("("));
    std::unique_ptr<pattern> unused;
    EXPECT_TRUE(e);
    EXPECT_EQ(e.message(), compile_pattern("(", 0, &unused).message());
    EXPECT_EQ(tree[0]->checks[0]->lognode->separator, ln.separator);
}

// Damaged answers (every octet changed in turn, cut at every length) end the
// download with a text or install a tree; none stops the agent or leaves it
// without servers. Random damage is the fuzz target's (fuzz/protocol).
TEST_F(configure_test, DamagedAnswersNeverStopTheAgent) {
    wire adv, cont;
    adv.start(tag_adv_log_conf).str("^x").en(0).list().add(rule("'a' or 'b'", 1, 3, "F")).end().i(5).i(9).end();
    cont.start(tag_continuous_conf).i(1).nul().i(2).i(3).end();
    wire good = resp_start("id", 60, {{"s1", 1}, {"s2", 2}});
    good.list()
        .list().str("log").list().add(check_conf(5, "l", adv, "L")).end().list()
            .list().str("/forward").list().add(check_conf(5, "f", cont, "F")).end().list().end().end()
        .end().end()
        .end();
    good.list().list().str("g").end().end().end();
    const std::vector<uint8_t> bytes = good.get();
    set_log_level(3);
    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u; };
    int installed = 0;
    for (size_t i = 0; i < bytes.size() * 2; ++i) {
        std::vector<uint8_t> damaged = bytes;
        if (i < bytes.size())
            damaged[i] = static_cast<uint8_t>(next() >> 16);
        else
            damaged.resize(i - bytes.size());
        c = agent_config({7});
        wire w;
        w.out.output = damaged;
        if (!run(w)) ++installed;
        EXPECT_FALSE(c.servers.empty());
    }
    EXPECT_GT(installed, 0);
}

// ---------------------------------------------------------------------------
// Configuration downloads with a hardware scan. How the scanned tree is
// encoded is the message writers' business.

TEST_F(configure_test, HardwareScanIsAnnouncedUntilTheServerFailsToAnswer) {
    int scans = 0;
    env.scan = [&] {
        ++scans;
        return scanned_tree();
    };
    err e = run(wire().start(tag_h_w_scan_resp).b(true).end().add(bare_reply()), true);
    ASSERT_FALSE(e) << e.message();
    EXPECT_EQ(scans, 1);
    ASSERT_GE(sent.size(), 5u);
    EXPECT_EQ(std::vector<uint8_t>(sent.begin(), sent.begin() + 5),
              (std::vector<uint8_t>{0x7F, 0x20, 0x80, 0x00, 0x00}));
    EXPECT_TRUE(logged("HWScan. Server returned NACK"));
    ASSERT_EQ(request.kids.size(), 8u);
    const value& groups = request.kids[6];
    ASSERT_EQ(groups.kids.size(), 1u);  // the group with the long id is left out
    EXPECT_EQ(groups.kids[0].kids[2].kids.at(0).kids.at(0).data, "phys");
    EXPECT_TRUE(logged("Check group name too long: ggg"));
    const value& descriptions = request.kids[7];
    EXPECT_EQ(descriptions.kids.size(), 30u);

    // An unexpected answer to the scan notice is logged and ignored; a server
    // that does not answer it is not asked again.
    e = run(wire().start(tag_negotiate_ack).end().add(bare_reply()), true);
    EXPECT_FALSE(e) << e.message();
    EXPECT_TRUE(logged("Got unexpected tag 19 from server"));
    EXPECT_TRUE(hw_scan_notification());

    EXPECT_TRUE(run(wire(), true));
    EXPECT_FALSE(hw_scan_notification());
    ASSERT_FALSE(run(bare_reply(), true));
    EXPECT_EQ(sent.at(0), 0x68);  // straight to configure_req
    EXPECT_EQ(request.kids.at(6).kids.size(), 1u);
    EXPECT_EQ(scans, 3);  // none when the notice went unanswered
}

TEST(configure_death_test, EmptyScanStopsTheAgent) {
    EXPECT_EXIT(
        {
            config c;
            devtree_list tree;
            conversation_env env;
            env.configured = &tree;
            env.scan = [] { return devtree_list(); };
            memory_stream s;
            hw_scan_notification() = false;
            (void)configure(s, c, env, true);
        },
        ::testing::ExitedWithCode(1), "");
}

}  // namespace
}  // namespace zp::test
