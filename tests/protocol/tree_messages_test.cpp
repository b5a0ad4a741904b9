// tree_messages_test.cpp - the trees the server sends (configured checks,
// agent actions), and the scanned tree and result records the agent sends.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "protocol/memory_stream.h"
#include "protocol/messages_checkin.h"
#include "protocol/messages_conf.h"
#include "wire.h"

namespace zp {
namespace {

using test::bytes;
using test::wire;

// One check_conf with the given type record and optional identifier.
wire check_conf(int32_t freq, const std::string& id, const wire& type_record, const char* identifier) {
    wire w;
    w.list().i(freq).str(id).add(type_record);
    if (identifier) w.str(identifier);
    return w.end();
}

// Every check type's record lands in its own members: thresholds in the order
// alert high, alert low, warn high, warn low (NULL: off, -1), masks, log
// rules, silence limits, a frequency below 1 forced to 1, the identifier when
// there is one; unknown trailing members are skipped.
TEST(ConfiguredTree, EveryTypeRecordLandsInItsMembers) {
    wire cont, real, enums, logc, adv;
    cont.start(tag_continuous_conf).i(90).nul().i(80).i(5).end();
    real.start(tag_real_continuous_conf).real(9.5).real(0.5).real(3.25).nul().end();
    enums.start(tag_enum_conf).list().en(0).en(1).en(2).en(7).en(1).end().end();
    logc.start(tag_log_conf).str("unknown member").end();
    adv.start(tag_adv_log_conf).str("").en(1)
        .list().list().str("a").en(2).en(3).str(std::string(32, 'd')).end()  // the longest destination
        .list().str("b").en(1).en(5).str("").end().end()
        .i(300).nul().str("ignored").end();
    wire in;
    in.list().list().str("mem").list()
        .add(check_conf(5, "bits", enums, nullptr))
        .add(check_conf(86400, "log", logc, nullptr))
        .add(check_conf(10, "app", adv, "id9"))
        .add(check_conf(0, "c", cont, "id1"))
        .add(check_conf(0, "r", real, nullptr))
        .end()
        .list().list().str("child").list().end().list().end().end().end()
        .end().end();
    std::vector<std::string> parsed;
    log_conf_hooks hooks;
    hooks.parse_rule = [&](const std::string& clause, std::shared_ptr<log_cond>&) {
        parsed.push_back(clause);
        return err();
    };
    memory_stream s = in.stream();
    devtree_list tree;
    err e = read_devtree_list(s, tree, nullptr, hooks);
    ASSERT_FALSE(e) << e.message();
    EXPECT_EQ(s.pos, s.input.size());
    ASSERT_EQ(tree.size(), 1u);
    devtree& g = *tree[0];
    ASSERT_EQ(g.checks.size(), 5u);
    const devnode &c = *g.checks[3], &r = *g.checks[4];
    EXPECT_EQ(std::tie(c.type, c.frequency, c.identifier), std::tuple(type_continuous, 1, std::optional("id1")));
    EXPECT_EQ(std::tie(c.cont.alert_high, c.cont.alert_low, c.cont.warn_high, c.cont.warn_low),
              std::tuple(90, -1, 80, 5));
    EXPECT_EQ(std::tie(r.type, r.frequency, r.identifier), std::tuple(type_real_continuous, 1, std::nullopt));
    EXPECT_EQ(std::tie(r.real.alert_high, r.real.alert_low, r.real.warn_high, r.real.warn_low),
              std::tuple(9.5, 0.5, 3.25, -1.0));
    EXPECT_EQ(std::tie(g.checks[0]->frequency, g.checks[2]->identifier), std::tuple(5, std::optional("id9")));
    ASSERT_EQ(g.children.size(), 1u);
    EXPECT_EQ(std::tie(g.children[0]->id, g.children[0]->parent, g.checks[0]->parent), std::tuple("child", &g, &g));
    EXPECT_EQ(std::tie(g.checks[0]->warn_mask, g.checks[0]->alert_mask), std::tuple((1u << 1) | (1u << 4), 1u << 2));
    EXPECT_EQ(g.checks[1]->type, type_log);
    ASSERT_TRUE(g.checks[2]->lognode);
    const auto& ln = *g.checks[2]->lognode;
    EXPECT_EQ(std::tie(ln.separator, ln.inclusion_mode, ln.warn_silence_limit, ln.alert_silence_limit),
              std::tuple(nullptr, 1, 300, -1));
    ASSERT_EQ(ln.rules.size(), 2u);
    EXPECT_EQ(std::tie(ln.rules[0]->status, ln.rules[0]->decision, ln.rules[0]->destination),
              std::tuple(2, 3, std::string(32, 'd')));
    EXPECT_EQ(parsed, (std::vector<std::string>{"a", "b"}));
}

TEST(ServerTrees, DeeplyNestedGroupsRefusedAndReleased) {
    wire conf, actions;
    for (int i = 0; i < 200; ++i) conf.list().list().str("g").list().end();
    for (int i = 0; i < 100; ++i) actions.list().list().str("g");
    memory_stream s = conf.stream(), t = actions.stream();
    devtree_list a, b;
    EXPECT_EQ(read_devtree_list(s, a, nullptr, {}).message(), "Groups nested too deeply in read_devtree_list");
    EXPECT_EQ(read_action_conf_list(t, b, nullptr).message(), "Groups nested too deeply in read_action_conf_list");
    EXPECT_TRUE(a.empty() && b.empty());
}

TEST(ScannedTree, UploadedWithRangesDescriptionsAndTemplateOctetForOctet) {
    devtree_list scan;
    scan.push_back(std::make_unique<devtree>(
        devtree{.id = "mem", .name = "Free Memory", .name_template = "Free %0r", .flags = 1}));
    scan.push_back(std::make_unique<devtree>(devtree{.id = std::string(257, 'l')}));  // too long: left out
    auto n = alloc_devnode();
    n->id = "phys";
    n->name = "Physical";
    n->type = type_real_continuous;
    n->unit = "kB";
    n->has_range = 1;
    n->scan_value = NAN;
    n->range_high = 2.0;
    n->description = 2;
    add_devnodes(*scan[0], std::move(n));
    auto plain = alloc_devnode();
    plain->id = "x";
    plain->description = 31;  // out of bounds: logged, still sent
    add_devnodes(*scan[0], std::move(plain));
    memory_stream s;
    ASSERT_FALSE(write_check_group_list(s, scan));
    wire expect;
    expect.list().list().str("mem").str("Free Memory")
        .list()
        .list().str("x").str("").str("").en(0).str("").nul().nul().nul().i(31).end()
        .list().str("phys").str("Physical").str("").en(7).str("kB").nul().real(0.0).real(2.0).i(2).end()
        .end()
        .list().end().str("Free %0r").b(true).end()
        .end();
    EXPECT_EQ(s.output, expect.get());
}

struct ResultRecord : ::testing::Test {
    devtree top{.id = "log"}, mid{.id = "var", .parent = &top};
    std::unique_ptr<devnode> node = alloc_devnode();
    std::unique_ptr<resnode> res = alloc_resnode();

    void SetUp() override {
        node->id = "app";
        node->parent = &mid;
    }
    bytes record(bool with_comment = true) {
        memory_stream s;
        EXPECT_FALSE(write_result_record(s, *node, *res, 1000, with_comment));
        return s.output;
    }
    static wire head(const std::string& comment, uint32_t status) {
        wire w;
        w.list().i(1000).str(comment).en(status).list().str("log").str("var").str("app").end();
        return w;
    }
};

TEST_F(ResultRecord, ValueFollowsTheCheckType) {
    node->type = type_continuous;
    node->identifier = "srv-1";
    res->ivalue = -129;
    res->status = status_alert;
    set_result_text(*res, "too low");
    EXPECT_EQ(record(), head("too low", 2).i(-129).str("srv-1").end().get());
    EXPECT_EQ(record(false), head("", 2).i(-129).str("srv-1").end().get());  // older results: no comment

    res = alloc_resnode();
    node->type = type_adv_log;
    set_result_log_text(*res, std::string(60000, 'x') + "z");  // a long log text goes out whole
    res->set_alert_group("ops");
    EXPECT_EQ(record(), head("", 0).str(std::string(60000, 'x') + "z").str("srv-1").str("ops").end().get());

    res = alloc_resnode();
    res->ivalue = 0x41;
    for (uint32_t type : {type_enum, 13u}) {  // the bitmap types send their value as an integer
        node->type = type;
        EXPECT_EQ(record(), head("", 0).i(0x41).str("srv-1").end().get());
    }

    node->identifier.reset();  // no identifier: no trailing members
    for (int32_t type : {type_action, type_uptime}) {
        node->type = type;
        EXPECT_EQ(record(), head("", 0).nul().end().get());
    }

    node->type = type_real_continuous;  // a real with an error text still sends its value
    res->dvalue = NAN;
    set_result_text(*res, "no counter");
    EXPECT_EQ(record(), head("no counter", 0).raw({0x09, 0x01, 0x60}).end().get());
}

TEST_F(ResultRecord, OverlongIdsRefusedWithMemberText) {
    node->type = type_continuous;
    node->identifier = std::string(257, 'i');
    memory_stream s;
    EXPECT_EQ(write_result_record(s, *node, *res, 1, true).message(),
              "check_result.identifier: data out of range in write_string");
    node->identifier.reset();
    mid.id = std::string(257, 'g');
    EXPECT_EQ(write_result_record(s, *node, *res, 1, true).message(), "data out of range in write_string");
}

TEST_F(ResultRecord, GatheredRecordsMatchSingleRecordsAndKeepStreamError) {
    node->type = type_real_continuous;
    node->identifier = "srv-4";
    memory_stream one, many, broken;
    broken.fail_write_after = 100;
    value_writer w(many), b(broken);
    for (int i = 0; i < 200; ++i) {
        res->dvalue = i * 1.25;
        ASSERT_FALSE(write_result_record(one, *node, *res, i, false));
        ASSERT_FALSE(write_result_record(w, *node, *res, i, false));
        ASSERT_FALSE(write_result_record(b, *node, *res, i, false));
    }
    // Nothing reaches the stream before the writer is full or finished.
    EXPECT_LT(many.output.size(), one.output.size());
    ASSERT_FALSE(w.finish());
    EXPECT_EQ(many.output, one.output);
    EXPECT_EQ(b.finish().message(), "memory stream write failed");
}

// Where actions land and run is checked with whole check-ins; here, the
// members of an action the reader does not know.
TEST(CheckinResponse, UnknownActionMembersSkipped) {
    wire in;
    in.list().list().str("act").list().end().list().list().str("reboot").str("extra").end().end().end().end();
    memory_stream s = in.stream();
    devtree_list tree;
    ASSERT_FALSE(read_action_conf_list(s, tree, nullptr));
    EXPECT_EQ(s.pos, s.input.size());
    ASSERT_EQ(tree.size(), 1u);
    ASSERT_EQ(tree[0]->checks.size(), 1u);
    EXPECT_EQ(std::tie(tree[0]->checks[0]->id, tree[0]->checks[0]->type), std::tuple("reboot", type_action));
}

}  // namespace
}  // namespace zp
