// Tests of rule evaluation: every decision, the silence reset, forwarding with
// moveto, copyto and call, cycles and their texts, unresolved destinations.
#include <gtest/gtest.h>

#include "core/clock.h"
#include "core/variables.h"
#include "logcheck/rules.h"
#include "tests/logcheck/log_capture.h"

namespace zp {
namespace {

int64_t fixed_now() { return 1'700'000'000; }

class RulesTest : public ::testing::Test {
protected:
    void SetUp() override {
        clear_variables();
        set_clock(fixed_now);
        set_log_level(3);
    }
    void TearDown() override {
        set_clock(nullptr);
        clear_variables();
    }

    // A check "id" in the group log/forward, with an empty rule list.
    devnode& check(const std::string& id) {
        devtree* log = devtree_child(tree_, "log", std::nullopt);
        devtree* group = devtree_child(*log, "/forward", std::nullopt);
        auto n = alloc_devnode();
        n->id = id;
        n->type = type_adv_log;
        n->lognode = alloc_lognode();
        add_devnodes(*group, std::move(n));
        return *group->checks.front();
    }

    logrule& rule(devnode& n, const std::string& clause, int32_t decision, int32_t status,
                  devnode* dest = nullptr, std::optional<std::string> destination = {}) {
        auto r = alloc_logrule();
        EXPECT_TRUE(parse_log_clauses(clause, *r).ok()) << clause;
        r->decision = decision;
        r->status = status;
        r->destination_check = dest;
        r->destination = destination ? destination : (dest ? std::optional(dest->id) : std::nullopt);
        add_logrule(n.lognode.get(), std::move(r));
        return *n.lognode->rules.back();
    }

    static std::vector<const resnode*> results(const devnode& n) {
        std::vector<const resnode*> v;
        for (auto& r : n.results) v.push_back(&r);
        return v;
    }

    static const std::string* silence(const devnode& n, const char* which) {
        return get_variable(which + dotted_name(n));
    }

    devtree_list tree_;
};

TEST_F(RulesTest, LogRecordsEntryWithStatusAndResetsSilence) {
    devnode& a = check("A");
    rule(a, "'error'", decision_log, 1);
    (void)set_variable("status_sent:" + dotted_name(a), "2");
    EXPECT_TRUE(log_got_entry("disk error", a));
    auto r = results(a);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0]->status, 1u);
    EXPECT_EQ(r[0]->time, fixed_now());
    EXPECT_EQ(r[0]->log_text(), "disk error");
    EXPECT_FALSE(r[0]->alert_group());
    ASSERT_NE(silence(a, "timestamp:"), nullptr);
    EXPECT_EQ(*silence(a, "timestamp:"), "1700000000");
    EXPECT_EQ(*silence(a, "status_sent:"), "0");
}

TEST_F(RulesTest, NoMatchRecordsNothingAndReturnsFalse) {
    devnode& a = check("A");
    rule(a, "'error'", decision_log, 2);
    testing::log_capture cap;
    EXPECT_FALSE(log_got_entry("all fine", a));
    EXPECT_TRUE(a.results.empty());
    EXPECT_EQ(silence(a, "timestamp:"), nullptr);
    EXPECT_TRUE(cap.has("Got entry: all fine"));
    EXPECT_TRUE(cap.has("  matched nothing in \"A\""));
}

TEST_F(RulesTest, QuietOkSwallowsEntryWithoutResultOrSilenceResetAndStops) {
    devnode& a = check("A");
    rule(a, "'noise'", decision_quiet, 0);
    rule(a, "'.'", decision_log, 2);
    EXPECT_TRUE(log_got_entry("noise here", a));
    EXPECT_TRUE(a.results.empty());
    EXPECT_EQ(silence(a, "timestamp:"), nullptr);
}

TEST_F(RulesTest, QuietWarnAddsResultWithoutLogText) {
    devnode& a = check("A");
    rule(a, "'noise'", decision_quiet, 1);
    rule(a, "'.'", decision_log, 2);
    EXPECT_TRUE(log_got_entry("noise", a));
    auto r = results(a);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0]->status, 1u);
    EXPECT_FALSE(r[0]->log_text());
    EXPECT_EQ(silence(a, "timestamp:"), nullptr);
}

TEST_F(RulesTest, UnknownDecisionAddsResultWithoutLogTextAndStops) {
    devnode& a = check("A");
    rule(a, "'x'", 42, 2);
    rule(a, "'x'", decision_log, 1);
    testing::log_capture cap;
    EXPECT_TRUE(log_got_entry("x", a));
    auto r = results(a);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0]->status, 2u);
    EXPECT_FALSE(r[0]->log_text());
    EXPECT_TRUE(cap.has("  matched rule 0 in \"A\": alert <>"));
}

TEST_F(RulesTest, LogToGroupStopsCopyToGroupContinues) {
    devnode& a = check("A");
    rule(a, "'x'", decision_copytogroup, 1, nullptr, "g1");
    rule(a, "'nope'", decision_log, 2);
    rule(a, "'x'", decision_logtogroup, 2, nullptr, "g2");
    rule(a, "'x'", decision_log, 0);
    EXPECT_TRUE(log_got_entry("x", a));
    auto r = results(a);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0]->alert_group(), "g1");
    EXPECT_EQ(r[0]->log_text(), "x");
    EXPECT_EQ(r[1]->alert_group(), "g2");
    EXPECT_EQ(r[1]->status, 2u);
    EXPECT_NE(silence(a, "timestamp:"), nullptr);
}

TEST_F(RulesTest, CopyToGroupAloneRunsOutAndReturnsFalse) {
    devnode& a = check("A");
    rule(a, "'x'", decision_copytogroup, 1, nullptr, "g");
    EXPECT_FALSE(log_got_entry("x", a));
    EXPECT_EQ(results(a).size(), 1u);
}

TEST_F(RulesTest, CopyToRunsDestinationThenContinuesHere) {
    devnode& x = check("X");
    devnode& a = check("A");
    rule(x, "'e'", decision_log, 1);
    rule(a, "'e'", decision_copyto, 0, &x);
    rule(a, "'e'", decision_log, 2);
    EXPECT_TRUE(log_got_entry("entry", a));
    ASSERT_EQ(results(x).size(), 1u);
    EXPECT_EQ(results(x)[0]->log_text(), "entry");
    ASSERT_EQ(results(a).size(), 1u);
    EXPECT_EQ(results(a)[0]->status, 2u);
    EXPECT_EQ(a.in_evaluation, 0);
    EXPECT_EQ(x.in_evaluation, 0);
}

TEST_F(RulesTest, MoveToStopsEvenWhenDestinationMatchesNothing) {
    devnode& x = check("X");
    devnode& a = check("A");
    rule(x, "'zzz'", decision_log, 1);
    rule(a, "'e'", decision_moveto, 0, &x);
    rule(a, "'e'", decision_log, 2);
    EXPECT_TRUE(log_got_entry("entry", a));
    EXPECT_TRUE(a.results.empty());
    EXPECT_TRUE(x.results.empty());
}

TEST_F(RulesTest, CallStopsOnlyWhenDestinationStopped) {
    devnode& stops = check("S");
    devnode& runs_out = check("R");
    rule(stops, "'e'", decision_log, 1);
    rule(runs_out, "'zzz'", decision_log, 1);
    devnode& a = check("A");
    rule(a, "'e'", decision_call, 0, &runs_out);
    rule(a, "'e'", decision_log, 2);
    EXPECT_TRUE(log_got_entry("e", a));
    EXPECT_EQ(results(a).size(), 1u);  // went on after the call

    devnode& b = check("B");
    rule(b, "'e'", decision_call, 0, &stops);
    rule(b, "'e'", decision_log, 2);
    EXPECT_TRUE(log_got_entry("e", b));
    EXPECT_TRUE(b.results.empty());  // stopped with the destination
    EXPECT_EQ(results(stops).size(), 1u);
}

TEST_F(RulesTest, UnresolvedDestinationsAreLoggedAndSkipped) {
    devnode& a = check("A");
    rule(a, "'e'", decision_copyto, 0, nullptr, "gone");
    rule(a, "'e'", decision_call, 0, nullptr, "gone");
    rule(a, "'x'", decision_log, 1);
    testing::log_capture cap;
    EXPECT_FALSE(log_got_entry("e", a));
    EXPECT_TRUE(cap.has("Missing log forward destination"));
    EXPECT_TRUE(cap.has("  matched copyto rule 0 in \"A\""));
    EXPECT_TRUE(cap.has("  matched call rule 1 in \"A\""));

    devnode& b = check("B");
    rule(b, "'e'", decision_moveto, 0, nullptr, "gone");
    rule(b, "'e'", decision_log, 1);
    EXPECT_TRUE(log_got_entry("e", b));  // moveto stops even without a destination
    EXPECT_TRUE(b.results.empty());
}

TEST_F(RulesTest, SelfForwardingIsACycleWithOneAlertPerEntry) {
    devnode& n = check("N");
    rule(n, "'e'", decision_moveto, 0, &n);
    testing::log_capture cap;
    EXPECT_TRUE(log_got_entry("entry one", n));
    EXPECT_TRUE(log_got_entry("entry two", n));
    auto r = results(n);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0]->status, 2u);
    EXPECT_EQ(r[0]->log_text(), "Cycle detected: N -> N: entry one");
    EXPECT_EQ(r[1]->log_text(), "Cycle detected: N -> N: entry two");
    EXPECT_TRUE(cap.has("Log forwarding cycle detected: N -> N: entry one"));
    EXPECT_EQ(n.in_evaluation, 0);
}

TEST_F(RulesTest, ThreeCheckCycleNamesTheWholeChain) {
    devnode& a = check("A");
    devnode& b = check("B");
    devnode& c = check("C");
    rule(a, "'e'", decision_copyto, 0, &b);
    rule(b, "'e'", decision_moveto, 0, &c);
    rule(c, "'e'", decision_call, 0, &a);
    rule(c, "'e'", decision_log, 1);  // not reached: the call found the cycle
    EXPECT_FALSE(log_got_entry("the entry", a));  // copyto: A's rules ran out
    ASSERT_EQ(results(a).size(), 1u);
    EXPECT_EQ(results(a)[0]->log_text(), "Cycle detected: A -> B -> C -> A: the entry");
    EXPECT_TRUE(b.results.empty());
    EXPECT_TRUE(c.results.empty());
    EXPECT_EQ(a.in_evaluation + b.in_evaluation + c.in_evaluation, 0);
}

TEST_F(RulesTest, CycleTextIsCutTo255Bytes) {
    devnode& n = check(std::string(100, 'n'));
    rule(n, "'e'", decision_moveto, 0, &n);
    std::string entry = "e" + std::string(500, 'z');
    EXPECT_TRUE(log_got_entry(entry, n));
    auto text = results(n)[0]->log_text();
    ASSERT_TRUE(text);
    EXPECT_EQ(text->size(), 255u);
    std::string cycle = std::string(100, 'n') + " -> " + std::string(100, 'n') + ": " + entry;
    EXPECT_EQ(*text, ("Cycle detected: " + cycle.substr(0, 255)).substr(0, 255));
}

TEST_F(RulesTest, LongForwardingChainsStopInsteadOfExhaustingTheStack) {
    std::vector<devnode*> chain;
    for (int i = 0; i < 2000; i++) chain.push_back(&check("c" + std::to_string(i)));
    for (size_t i = 0; i + 1 < chain.size(); i++) rule(*chain[i], "'e'", decision_moveto, 0, chain[i + 1]);
    rule(*chain.back(), "'e'", decision_log, 1);
    EXPECT_TRUE(log_got_entry("e", *chain[0]));
    for (auto* n : chain) EXPECT_EQ(n->in_evaluation, 0);
}

TEST_F(RulesTest, LongEntryIsRecordedWholeUpToTheLogTextLimit) {
    devnode& a = check("A");
    rule(a, "'^start'", decision_log, 1);
    std::string entry = "start" + std::string(70000, 'x');
    EXPECT_TRUE(log_got_entry(entry, a));
    auto text = results(a)[0]->log_text();
    ASSERT_TRUE(text);
    EXPECT_EQ(text->size(), 65535u);
}

TEST_F(RulesTest, RulesAreNumberedInOrderCountingThoseThatDidNotMatch) {
    devnode& a = check("A");
    rule(a, "'nope'", decision_log, 1);
    rule(a, "'nope'", decision_log, 1);
    rule(a, "'e'", decision_log, 0);
    testing::log_capture cap;
    EXPECT_TRUE(log_got_entry("e", a));
    EXPECT_TRUE(cap.has("  matched rule 2 in \"A\": ok log"));
    EXPECT_TRUE(cap.has("Matched regexp \"e\""));
}

}  // namespace
}  // namespace zp
