// messages_checkin_test.cpp - result records the agent sends and the agent
// actions the server hands back.
#include "protocol/messages_checkin.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "protocol/memory_stream.h"
#include "wire.h"

namespace zp {
namespace {

using test::bytes;
using test::wire;

struct ResultRecord : ::testing::Test {
    devtree top, mid;
    std::unique_ptr<devnode> node = alloc_devnode();
    std::unique_ptr<resnode> res = alloc_resnode();

    void SetUp() override {
        top.id = "log";
        mid.id = "var";
        mid.parent = &top;
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

    node->identifier.reset();  // no identifier: no trailing members
    node->type = type_action;
    EXPECT_EQ(record(), head("", 0).nul().end().get());
    node->type = type_uptime;
    EXPECT_EQ(record(), head("", 0).nul().end().get());
    node->type = 12;  // a bitmap
    res->ivalue = 4;
    EXPECT_EQ(record(), head("", 0).i(4).end().get());

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

TEST(CheckinResponse, LeadingMembersThenActionGroupsWithChildrenBeforeActions) {
    wire in;
    in.start(tag_checkin_resp).b(true).b(false).b(true)
        .list().list().str("act")
        .list().list().str("sub").list().end().list().list().str("inner").end().end().end().end()
        .list().list().str("reboot").str("extra").end().end()
        .end().end();
    memory_stream s = in.stream();
    bool ack = false, changed = true, upgrade = false;
    ASSERT_FALSE(read_checkin_resp_incomplete(s, ack, changed, upgrade));
    EXPECT_EQ(std::tuple(ack, changed, upgrade), std::tuple(true, false, true));
    devtree_list tree;
    ASSERT_FALSE(read_action_conf_list(s, tree, nullptr));
    EXPECT_EQ(s.pos, s.input.size());
    ASSERT_EQ(tree.size(), 1u);
    const devtree& act = *tree[0];
    ASSERT_EQ(act.checks.size(), 1u);
    const devnode& reboot = *act.checks[0];
    EXPECT_EQ(std::tie(act.id, reboot.id, reboot.type, reboot.frequency, reboot.next_due, reboot.parent),
              std::tuple("act", "reboot", type_action, -1, 0, &act));
    ASSERT_EQ(act.children.size(), 1u);
    const devtree& sub = *act.children[0];
    ASSERT_EQ(sub.checks.size(), 1u);
    EXPECT_EQ(std::tie(sub.parent, sub.checks[0]->id), std::tuple(&act, "inner"));
}

TEST(CheckinResponse, DeeplyNestedActionGroupsRefusedAndReleased) {
    wire deep;
    for (int i = 0; i < 100; ++i) deep.list().list().str("g");
    memory_stream s = deep.stream();
    devtree_list tree;
    EXPECT_EQ(read_action_conf_list(s, tree, nullptr).message(), "Groups nested too deeply in read_action_conf_list");
    EXPECT_TRUE(tree.empty());
}

}  // namespace
}  // namespace zp
