// messages_conf_test.cpp - the configured device tree as the server sends it,
// and the scanned tree as the agent uploads it.
#include "protocol/messages_conf.h"

#include <gtest/gtest.h>

#include <cmath>

#include "protocol/memory_stream.h"
#include "wire.h"

namespace zp {
namespace {

using test::bytes;
using test::octets;
using test::wire;

// One check_conf with the given type record and optional identifier.
wire check_conf(int32_t freq, const std::string& id, const wire& type_record, const char* identifier) {
    wire w;
    w.list().i(freq).str(id).add(type_record);
    if (identifier) w.str(identifier);
    w.end();
    return w;
}

wire continuous(std::initializer_list<int> values) {
    wire w;
    w.start(tag_continuous_conf);
    for (int v : values) v < 0 ? w.nul() : w.i(v);
    return w.end();
}

struct ConfiguredTree : ::testing::Test {
    log_conf_hooks hooks;
    devtree_list tree;
};

TEST_F(ConfiguredTree, EveryCheckTypeBecomesItsCheck) {
    wire enums;
    enums.start(tag_enum_conf).list().en(0).en(1).en(2).en(7).en(1).end().end();
    wire reals;
    reals.start(tag_real_continuous_conf).real(9.5).nul().real(1.5).real(0.25).end();
    wire logc;
    logc.start(tag_log_conf).str("unknown member").end();
    wire in;
    in.list()
        .list()
        .str("mem")
        .list()
        .add(check_conf(60, "phys", continuous({90, 80, -1, 10}), "srv-1"))
        .add(check_conf(0, "bits", enums, nullptr))
        .add(check_conf(-1, "real", reals, "srv-3"))
        .add(check_conf(86400, "log", logc, nullptr))
        .end()
        .list()
        .list()
        .str("child")
        .list()
        .end()
        .list()
        .end()
        .end()
        .end()
        .end()
        .end();
    memory_stream s = in.stream();
    ASSERT_FALSE(read_devtree_list(s, tree, nullptr, hooks)) << "";
    EXPECT_EQ(s.pos, s.input.size());
    ASSERT_EQ(tree.size(), 1u);
    devtree& g = *tree[0];
    EXPECT_EQ(g.id, "mem");
    EXPECT_FALSE(g.name);
    ASSERT_EQ(g.checks.size(), 4u);
    ASSERT_EQ(g.children.size(), 1u);
    EXPECT_EQ(g.children[0]->id, "child");
    EXPECT_EQ(g.children[0]->parent, &g);

    const devnode& phys = *g.checks[0];
    EXPECT_EQ(phys.type, type_continuous);
    EXPECT_EQ(phys.parent, &g);
    EXPECT_EQ(phys.frequency, 60);
    // Thresholds arrive alert high, alert low, warn high, warn low.
    EXPECT_EQ(phys.cont.alert_high, 90);
    EXPECT_EQ(phys.cont.alert_low, 80);
    EXPECT_EQ(phys.cont.warn_high, -1);
    EXPECT_EQ(phys.cont.warn_low, 10);
    EXPECT_EQ(phys.identifier, "srv-1");

    const devnode& bits = *g.checks[1];
    EXPECT_EQ(bits.type, type_enum);
    EXPECT_EQ(bits.frequency, 1);  // forced up from 0
    EXPECT_EQ(bits.warn_mask, (1u << 1) | (1u << 4));
    EXPECT_EQ(bits.alert_mask, 1u << 2);
    EXPECT_FALSE(bits.identifier);

    const devnode& real = *g.checks[2];
    EXPECT_EQ(real.type, type_real_continuous);
    EXPECT_EQ(real.frequency, 1);
    EXPECT_EQ(real.real.alert_high, 9.5);
    EXPECT_EQ(real.real.alert_low, -1.0);
    EXPECT_EQ(real.real.warn_high, 1.5);
    EXPECT_EQ(real.real.warn_low, 0.25);

    EXPECT_EQ(g.checks[3]->type, type_log);
}

TEST_F(ConfiguredTree, AdvancedLogCheckWithRulesAndSilenceLimits) {
    std::vector<std::string> parsed;
    hooks.parse_rule = [&](const std::string& clause, std::shared_ptr<log_cond>&) {
        parsed.push_back(clause);
        return err();
    };
    wire adv;
    adv.start(tag_adv_log_conf).str("").en(1)
        .list()
        .list().str("a").en(2).en(3).str("fwd").end()
        .list().str("b").en(1).en(5).str("").end()
        .end()
        .i(300).nul()
        .str("ignored")
        .end();
    wire in;
    in.list().list().str("log").list().add(check_conf(10, "app", adv, "id9")).end().list().end().end().end();
    memory_stream s = in.stream();
    ASSERT_FALSE(read_devtree_list(s, tree, nullptr, hooks));
    const devnode& n = *tree[0]->checks[0];
    EXPECT_EQ(n.type, type_adv_log);
    ASSERT_TRUE(n.lognode);
    EXPECT_FALSE(n.lognode->separator);
    EXPECT_EQ(n.lognode->inclusion_mode, 1);
    EXPECT_EQ(n.lognode->warn_silence_limit, 300);
    EXPECT_EQ(n.lognode->alert_silence_limit, -1);
    ASSERT_EQ(n.lognode->rules.size(), 2u);
    EXPECT_EQ(n.lognode->rules[0]->status, 2);
    EXPECT_EQ(n.lognode->rules[0]->decision, 3);
    EXPECT_EQ(n.lognode->rules[0]->destination, "fwd");
    EXPECT_EQ(parsed, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(n.identifier, "id9");
}

TEST_F(ConfiguredTree, RuleParseFailureEndsTheRead) {
    hooks.parse_rule = [](const std::string&, std::shared_ptr<log_cond>&) { return err::text("bad clause"); };
    wire adv;
    adv.start(tag_adv_log_conf).str("").en(0).list().list().str("((").en(1).en(1).str("").end().end().end();
    wire in;
    in.list().list().str("log").list().add(check_conf(10, "app", adv, nullptr)).end().list().end().end().end();
    memory_stream s = in.stream();
    EXPECT_EQ(read_devtree_list(s, tree, nullptr, hooks).message(), "Unexpected parse error in read_devnode");
    EXPECT_TRUE(tree.empty());
}

TEST_F(ConfiguredTree, BrokenRecordsRefusedWithTheirTexts) {
    auto refused = [&](const wire& in) {
        memory_stream s = in.stream();
        err e = read_devtree_list(s, tree, nullptr, hooks);
        EXPECT_TRUE(tree.empty());
        return e.message();
    };
    // A check_conf_group with a definite length.
    EXPECT_EQ(refused(wire().list().raw({0x30, 0x02, 0x04, 0x00}).end()),
              "Definite length read in read_check_conf_group_incomplete");
    EXPECT_EQ(refused(wire().raw({0x30, 0x02, 0x00, 0x00})), "Not indefinite length in read_devtree_list");
    EXPECT_EQ(refused(wire().str("x")), "Wrong tag in read_devtree_list");
    EXPECT_EQ(refused(wire().list().raw({0x00, 0x01})), "List not terminated correctly in read_devtree_list");
    wire unknown;
    unknown.start(context_tag(5)).end();
    EXPECT_EQ(refused(wire().list().list().str("g.1").list().add(check_conf(5, "c", unknown, nullptr)).end()),
              "Got unknown type 45 in read_devnode(g\\.1.c)");
    wire real_in_int;
    real_in_int.start(tag_continuous_conf).real(1.0).nul().nul().nul().end();
    EXPECT_EQ(refused(wire().list().list().str("g").list().add(check_conf(5, "c", real_in_int, nullptr)).end()),
              "Got real when expected int in read_check_value_int");
    wire int_in_real;
    int_in_real.start(tag_real_continuous_conf).i(1).end();
    EXPECT_EQ(refused(wire().list().list().str("g").list().add(check_conf(5, "c", int_in_real, nullptr)).end()),
              "Got int when expected real in read_check_value_real");
    wire freq;
    freq.list().list().str("g").list().list().i(86401);
    EXPECT_EQ(refused(freq), "check_conf.frequency: data out of range in read_signed_int");
    wire enum_not_list;
    enum_not_list.start(tag_enum_conf).en(1).end();
    EXPECT_EQ(refused(wire().list().list().str("g").list().add(check_conf(5, "c", enum_not_list, nullptr)).end()),
              "Expected BE_SEQ");
    wire postlude;
    postlude.list().list().str("g").list().list().i(5).str("c").add(continuous({1, 2, 3, 4})).raw({0x00, 0x01});
    EXPECT_EQ(refused(postlude), "List not terminated correctly - checkconf postlude");
}

TEST_F(ConfiguredTree, RuleDestinationLongerThan32Refused) {
    rule_conf r;
    memory_stream s(wire().list().str("x").en(1).en(1).str(std::string(33, 'd')).end().get());
    EXPECT_EQ(read_rule(s, r).message(), "rule.destination: data out of range in read_string");
    memory_stream ok(wire().list().str("x").en(1).en(1).str(std::string(32, 'd')).end().get());
    EXPECT_FALSE(read_rule(ok, r));
    memory_stream wrong(wire().start(tag_enum_conf).end().get());
    EXPECT_EQ(read_rule(wrong, r).message(), "Wrong tag (13) encountered in read_rule");
    memory_stream definite(octets({0x30, 0x00}));
    EXPECT_EQ(read_rule(definite, r).message(), "Definite length read in read_rule");
}

TEST_F(ConfiguredTree, DeeplyNestedGroupsRefused) {
    wire in;
    for (int i = 0; i < 200; ++i) in.list().list().str("g").list().end();
    memory_stream s = in.stream();
    EXPECT_EQ(read_devtree_list(s, tree, nullptr, hooks).message(), "Groups nested too deeply in read_devtree_list");
    EXPECT_TRUE(tree.empty());
}

TEST_F(ConfiguredTree, EveryTruncationFailsCleanly) {
    wire enums;
    enums.start(tag_enum_conf).list().en(1).en(2).end().end();
    wire in;
    in.list()
        .list().str("a").list().add(check_conf(5, "c", continuous({1, -1, 3, 4}), "i")).add(check_conf(5, "e", enums, nullptr)).end()
        .list().list().str("b").list().end().list().end().end().end()
        .end()
        .end();
    bytes full = in.get();
    for (size_t cut = 0; cut < full.size(); ++cut) {
        memory_stream s(bytes(full.begin(), full.begin() + static_cast<long>(cut)));
        EXPECT_TRUE(read_devtree_list(s, tree, nullptr, hooks)) << "cut at " << cut;
        EXPECT_TRUE(tree.empty());
    }
    memory_stream s(full);
    EXPECT_FALSE(read_devtree_list(s, tree, nullptr, hooks));
}

TEST(ConfigureMessages, ResponseLeadingMembersAndServerList) {
    memory_stream s(wire().start(tag_configure_resp).str("host-7").i(-1).list().list().str("srv").i(3241).end().end().get());
    std::string id;
    int32_t freq = 0;
    ASSERT_FALSE(read_configure_resp_incomplete(s, id, freq));
    EXPECT_EQ(id, "host-7");
    EXPECT_EQ(freq, -1);
    ASSERT_FALSE(read_list_start(s, "registration"));
    tag_code t = 0;
    bool end = false;
    ASSERT_FALSE(read_list_next(s, "registration", t, end));
    std::string name;
    int32_t port = 0;
    ASSERT_FALSE(read_server_name_port(s, name, port, t));
    EXPECT_EQ(name, "srv");
    EXPECT_EQ(port, 3241);
    ASSERT_FALSE(read_list_next(s, "registration", t, end));
    EXPECT_TRUE(end);

    memory_stream zero(wire().list().str("srv").i(0).end().get());
    EXPECT_EQ(read_server_name_port(zero, name, port).message(),
              "server_name_port.port: data out of range in read_signed_int");
}

TEST(ConfigureMessages, ReplyDispatch) {
    configure_reply r;
    memory_stream nack(wire().start(tag_negotiate_nack).str("unknown host").end().get());
    ASSERT_FALSE(read_configure_reply(nack, r));
    EXPECT_TRUE(r.nack);
    EXPECT_EQ(r.reason, "unknown host");
    memory_stream resp(wire().start(tag_configure_resp).str("id-1").i(300).get());
    ASSERT_FALSE(read_configure_reply(resp, r));
    EXPECT_FALSE(r.nack);
    EXPECT_EQ(r.id, "id-1");
    EXPECT_EQ(r.checkinFrequency, 300);
    memory_stream other(wire().start(tag_checkin_resp).end().get());
    EXPECT_EQ(read_configure_reply(other, r).message(), "Got unexpected tag 91 from server");
    memory_stream none;
    EXPECT_EQ(read_configure_reply(none, r).message(), "Peer closed connection unexpectedly");
}

TEST(ConfigureMessages, HardwareScanReplyOnlyFailsWhenUnreadable) {
    memory_stream nack(wire().start(tag_h_w_scan_resp).b(true).end().get());
    EXPECT_FALSE(read_h_w_scan_reply(nack));
    EXPECT_EQ(nack.pos, nack.input.size());
    memory_stream other(wire().start(tag_rescan_resp).end().get());
    EXPECT_FALSE(read_h_w_scan_reply(other));
    memory_stream none;
    EXPECT_EQ(read_h_w_scan_reply(none).message(), "Peer closed connection unexpectedly");
}

TEST(ConfigureMessages, RequestCarriesFixedVersionValues) {
    memory_stream s;
    ASSERT_FALSE(write_configure_req(s));
    EXPECT_EQ(s.output, octets({0x68, 0x80, 0x02, 0x01, 0x2C, 0x02, 0x01, 0x04, 0x02, 0x01, 0x06, 0x02, 0x02, 0x18,
                                0x27, 0x02, 0x00}));
}

TEST(ConfigureMessages, ScannedTreeUpload) {
    devtree_list scan;
    auto g = std::make_unique<devtree>();
    g->id = "mem";
    g->name = "Free Memory";
    g->name_template = "Free %0r";
    g->flags = 1;
    auto n = alloc_devnode();
    n->id = "phys";
    n->name = "Physical";
    n->type = type_real_continuous;
    n->unit = "kB";
    n->has_range = 1;
    n->range_low = 0;
    n->scan_value = NAN;
    n->range_high = 2.0;
    n->description = 2;
    add_devnodes(*g, std::move(n));
    auto plain = alloc_devnode();
    plain->id = "x";
    plain->description = 31;  // out of bounds: logged, still sent
    add_devnodes(*g, std::move(plain));
    auto skipped = std::make_unique<devtree>();
    skipped->id = std::string(257, 'l');
    scan.push_back(std::move(g));
    scan.push_back(std::move(skipped));

    memory_stream s;
    ASSERT_FALSE(write_check_group_list(s, scan));
    wire expect;
    expect.list()
        .list().str("mem").str("Free Memory")
        .list()
        .list().str("x").str("").str("").en(0).str("").nul().nul().nul().i(31).end()
        .list().str("phys").str("Physical").str("").en(7).str("kB").nul().real(0.0).real(2.0).i(2).end()
        .end()
        .list().end()
        .str("Free %0r").b(true)
        .end()
        .end();
    EXPECT_EQ(s.output, expect.get());
}

TEST(ConfigureMessages, HostInfoAbsentValueSentEmpty) {
    clinfo_list lines{{"OS", std::string("Linux")}, {"Heading", std::nullopt}};
    memory_stream s;
    ASSERT_FALSE(write_host_info_list(s, lines));
    EXPECT_EQ(s.output, wire().list().list().str("OS").str("Linux").end().list().str("Heading").str("").end().end().get());
    memory_stream d;
    EXPECT_EQ(write_check_description(d, 1, std::string(257, 'g'), "", "").message(),
              "check_description.descriptionGood: data out of range in write_string");
}

}  // namespace
}  // namespace zp
