// messages_checkin_test.cpp - result records the agent sends and the agent
// actions the server hands back.
#include "protocol/messages_checkin.h"

#include <gtest/gtest.h>

#include <cmath>

#include "protocol/memory_stream.h"
#include "wire.h"

namespace zp {
namespace {

using test::bytes;
using test::octets;
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
    bytes record(bool with_comment) {
        memory_stream s;
        err e = write_result_record(s, *node, *res, 1000, with_comment);
        EXPECT_FALSE(e) << e.message();
        return s.output;
    }
    wire head(const std::string& comment, uint32_t status) {
        wire w;
        w.list().i(1000).str(comment).en(status).list().str("log").str("var").str("app").end();
        return w;
    }
};

TEST_F(ResultRecord, ContinuousValueWithIdentifier) {
    node->type = type_continuous;
    node->identifier = "srv-1";
    res->ivalue = -129;
    res->status = status_alert;
    set_result_text(*res, "too low");
    EXPECT_EQ(record(true), head("too low", 2).i(-129).str("srv-1").end().get());
    // Older results go without their comment.
    EXPECT_EQ(record(false), head("", 2).i(-129).str("srv-1").end().get());
}

TEST_F(ResultRecord, LogValueWithAlertGroup) {
    node->type = type_adv_log;
    node->identifier = "srv-2";
    set_result_log_text(*res, "line of log");
    res->set_alert_group("ops");
    EXPECT_EQ(record(true), head("", 0).str("line of log").str("srv-2").str("ops").end().get());
}

TEST_F(ResultRecord, NoIdentifierMeansNoTrailingMembers) {
    node->type = type_action;
    res->set_alert_group("ops");
    EXPECT_EQ(record(true), head("", 0).nul().end().get());
}

TEST_F(ResultRecord, RealWithErrorTextStillSendsValue) {
    node->type = type_real_continuous;
    res->dvalue = NAN;
    set_result_text(*res, "no counter");
    EXPECT_EQ(record(true), head("no counter", 0).raw({0x09, 0x01, 0x60}).end().get());
}

TEST_F(ResultRecord, BitmapAndUnknownTypes) {
    node->type = 12;
    res->ivalue = 4;
    EXPECT_EQ(record(true), head("", 0).i(4).end().get());
    node->type = type_uptime;
    EXPECT_EQ(record(true), head("", 0).nul().end().get());
}

TEST_F(ResultRecord, LongLogTextGoesOutWhole) {
    node->type = type_log;
    node->identifier = "srv-3";
    std::string text(60000, 'x');
    text[0] = 'a';
    text.back() = 'z';
    set_result_log_text(*res, text);
    EXPECT_EQ(record(true), head("", 0).str(text).str("srv-3").end().get());
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
    memory_stream one;
    memory_stream many;
    value_writer w(many);
    for (int i = 0; i < 200; ++i) {
        res->dvalue = i * 1.25;
        ASSERT_FALSE(write_result_record(one, *node, *res, i, false));
        ASSERT_FALSE(write_result_record(w, *node, *res, i, false));
    }
    // Nothing reaches the stream before the writer is full or finished.
    EXPECT_LT(many.output.size(), one.output.size());
    ASSERT_FALSE(w.finish());
    EXPECT_EQ(many.output, one.output);

    memory_stream broken;
    broken.fail_write_after = 100;
    value_writer b(broken);
    for (int i = 0; i < 200; ++i) ASSERT_FALSE(write_result_record(b, *node, *res, i, false));
    EXPECT_EQ(b.finish().message(), "memory stream write failed");
}

TEST(CheckinMessages, RequestStartAndResponseLeadingMembers) {
    memory_stream w;
    ASSERT_FALSE(write_checkin_req(w));
    EXPECT_EQ(w.output, octets({0x6A, 0x80}));

    memory_stream s(wire().start(tag_checkin_resp).b(true).b(false).b(true).list().end().b(false).end().get());
    bool ack = false, changed = true, upgrade = false;
    ASSERT_FALSE(read_checkin_resp_incomplete(s, ack, changed, upgrade));
    EXPECT_TRUE(ack);
    EXPECT_FALSE(changed);
    EXPECT_TRUE(upgrade);
    devtree_list actions;
    ASSERT_FALSE(read_action_conf_list(s, actions, nullptr));
    EXPECT_TRUE(actions.empty());
    bool scan = true;
    ASSERT_FALSE(read_bool(s, scan));
    EXPECT_FALSE(scan);
    ASSERT_FALSE(skip_to_eol(s));
    EXPECT_EQ(s.pos, s.input.size());

    memory_stream bad(wire().start(tag_checkin_resp).b(true).i(1).get());
    EXPECT_EQ(read_checkin_resp_incomplete(bad, ack, changed, upgrade).message(),
              "checkin_resp.confChanged: Wrong tag, expected BE_BOOLEAN");
}

TEST(CheckinMessages, ActionGroupsCarryChildrenBeforeActions) {
    wire in;
    in.list()
        .list().str("act")
        .list().list().str("sub").list().end().list().list().str("inner").end().end().end().end()
        .list().list().str("reboot").str("extra").end().end()
        .end()
        .end();
    memory_stream s = in.stream();
    devtree_list tree;
    ASSERT_FALSE(read_action_conf_list(s, tree, nullptr));
    EXPECT_EQ(s.pos, s.input.size());
    ASSERT_EQ(tree.size(), 1u);
    const devtree& act = *tree[0];
    EXPECT_EQ(act.id, "act");
    ASSERT_EQ(act.checks.size(), 1u);
    const devnode& reboot = *act.checks[0];
    EXPECT_EQ(reboot.id, "reboot");
    EXPECT_EQ(reboot.type, type_action);
    EXPECT_EQ(reboot.frequency, -1);
    EXPECT_EQ(reboot.next_due, 0);
    EXPECT_EQ(reboot.parent, &act);
    ASSERT_EQ(act.children.size(), 1u);
    EXPECT_EQ(act.children[0]->parent, &act);
    ASSERT_EQ(act.children[0]->checks.size(), 1u);
    EXPECT_EQ(act.children[0]->checks[0]->id, "inner");
}

TEST(CheckinMessages, BrokenActionListsReleasedWithTheirTexts) {
    auto refused = [](const wire& in) {
        memory_stream s = in.stream();
        devtree_list tree;
        err e = read_action_conf_list(s, tree, nullptr);
        EXPECT_TRUE(tree.empty());
        return e.message();
    };
    EXPECT_EQ(refused(wire().str("x")), "Wrong tag in read_action_conf_list");
    EXPECT_EQ(refused(wire().raw({0x30, 0x00})), "Not indefinite length in read_action_conf_list");
    EXPECT_EQ(refused(wire().list().list().str("g").list().end().raw({0x30, 0x00})),
              "Not indefinite length in read_action_list");
    EXPECT_EQ(refused(wire().list().list().str("g").list().end().list().list().str("a").end().raw({0x00, 0x05})),
              "List not terminated correctly in read_action_list");
    EXPECT_EQ(refused(wire().list().list().str("g").list().end().list().raw({0x30, 0x01, 0x00})),
              "Definite length read in read_action_conf");
    wire deep;
    for (int i = 0; i < 100; ++i) deep.list().list().str("g");
    EXPECT_EQ(refused(deep), "Groups nested too deeply in read_action_conf_list");
}

}  // namespace
}  // namespace zp
