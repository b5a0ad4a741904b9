// Tests of rule evaluation: every decision, the silence reset, forwarding with
// moveto, copyto and call, cycles and their texts, unresolved destinations.
#include <gtest/gtest.h>

#include <map>

#include "core/clock.h"
#include "core/variables.h"
#include "logcheck/rules.h"
#include "tests/support/log_capture.h"

namespace zp {
namespace {

int64_t fixed_now() { return 1'700'000'000; }

// One rule: clause, decision, status, and a destination check or group.
struct rule_def {
    const char* clause;
    int32_t decision;
    int32_t status;
    const char* destination = nullptr;
};

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

    // A check "id" in the group log/forward with the given rules; destinations
    // name checks made before (or groups, for the group decisions).
    devnode& check(const std::string& id, const std::vector<rule_def>& rules = {}) {
        devtree* group = devtree_child(*devtree_child(tree_, "log", std::nullopt), "/forward", std::nullopt);
        auto n = alloc_devnode();
        n->id = id;
        n->type = type_adv_log;
        n->lognode = alloc_lognode();
        devnode& made = *(by_id_[id] = n.get());
        add_devnodes(*group, std::move(n));
        for (const auto& r : rules) add(made, r);
        return made;
    }
    void add(devnode& n, const rule_def& def) {
        auto r = alloc_logrule();
        EXPECT_TRUE(parse_log_clauses(def.clause, *r).ok()) << def.clause;
        r->decision = def.decision;
        r->status = def.status;
        if (def.destination) {
            r->destination = def.destination;
            r->destination_check = by_id_[def.destination];  // null: a group, or unresolved
        }
        add_logrule(n.lognode.get(), std::move(r));
    }

    // The check's results as "status text @group", oldest first.
    static std::string results(const devnode& n) {
        std::string s;
        for (auto& r : n.results) {
            s += (s.empty() ? "" : ", ") + std::to_string(r.status);
            if (r.log_text()) s += " " + std::string(*r.log_text());
            if (r.alert_group()) s += " @" + std::string(*r.alert_group());
        }
        return s;
    }

    devtree_list tree_;
    std::map<std::string, devnode*> by_id_;
};

TEST_F(RulesTest, EachDecisionRecordsStopsAndResetsSilence) {
    struct {
        const char* what;
        std::vector<rule_def> rules;
        bool stopped;
        const char* results;
        bool silence_reset;
        std::vector<std::string> logged;
    } cases[] = {
        {"log", {{"'error'", decision_log, 1}}, true, "1 disk error", true, {"  matched rule 0 in \"A\": warn log"}},
        {"no match", {{"'nope'", decision_log, 2}}, false, "", false, {"  matched nothing in \"A\""}},
        {"quiet ok swallows the entry", {{"'disk'", decision_quiet, 0}, {"'.'", decision_log, 2}}, true, "", false, {}},
        {"quiet warn records no text", {{"'disk'", decision_quiet, 1}, {"'.'", decision_log, 2}}, true, "1", false, {}},
        {"unknown decision records no text", {{"'disk'", 42, 2}, {"'.'", decision_log, 1}}, true, "2", false,
         {"  matched rule 0 in \"A\": alert <>"}},
        {"copytogroup continues, logtogroup stops",
         {{"'disk'", decision_copytogroup, 1, "g1"}, {"'nope'", decision_log, 2},
          {"'disk'", decision_logtogroup, 2, "g2"}, {"'.'", decision_log, 0}},
         true, "1 disk error @g1, 2 disk error @g2", true, {"  matched rule 2 in \"A\": alert <>"}},
        {"copytogroup alone runs out", {{"'disk'", decision_copytogroup, 1, "g"}}, false, "1 disk error @g", true, {}},
        // Forwards to a destination that was never resolved are logged and skipped; moveto still stops.
        {"unresolved copyto and call skipped",
         {{"'disk'", decision_copyto, 0, "gone"}, {"'disk'", decision_call, 0, "gone"}, {"'x'", decision_log, 1}},
         false, "", false,
         {"Missing log forward destination", "  matched copyto rule 0 in \"A\"", "  matched call rule 1 in \"A\""}},
        {"unresolved moveto stops", {{"'disk'", decision_moveto, 0, "gone"}, {"'.'", decision_log, 1}}, true, "", false,
         {"Missing log forward destination"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        clear_variables();
        tree_.clear();
        devnode& a = check("A", c.rules);
        (void)set_variable("status_sent:" + dotted_name(a), "2");
        test::log_capture cap;
        EXPECT_EQ(log_got_entry("disk error", a), c.stopped);
        EXPECT_EQ(results(a), c.results);
        for (auto& r : a.results) EXPECT_EQ(r.time, fixed_now());
        const std::string* stamp = get_variable("timestamp:" + dotted_name(a));
        EXPECT_EQ(stamp ? *stamp : "none", c.silence_reset ? "1700000000" : "none");
        EXPECT_EQ(*get_variable("status_sent:" + dotted_name(a)), c.silence_reset ? "0" : "2");
        EXPECT_TRUE(cap.has("Got entry: disk error"));
        for (const auto& line : c.logged) EXPECT_TRUE(cap.has(line)) << line;
        EXPECT_EQ(cap.has("Matched regexp \""), std::string(c.what) != "no match");
    }
}

TEST_F(RulesTest, ForwardingDecisions) {
    // copyto runs the destination, then goes on here.
    devnode& x = check("X", {{"'e'", decision_log, 1}});
    devnode& a = check("A", {{"'e'", decision_copyto, 0, "X"}, {"'e'", decision_log, 2}});
    EXPECT_TRUE(log_got_entry("entry", a));
    EXPECT_EQ(results(x), "1 entry");
    EXPECT_EQ(results(a), "2 entry");
    // moveto stops here even when the destination matches nothing.
    devnode& none = check("N", {{"'zzz'", decision_log, 1}});
    devnode& b = check("B", {{"'e'", decision_moveto, 0, "N"}, {"'e'", decision_log, 2}});
    EXPECT_TRUE(log_got_entry("entry", b));
    EXPECT_EQ(results(b) + results(none), "");
    // call stops only when the destination stopped.
    devnode& c = check("C", {{"'e'", decision_call, 0, "N"}, {"'e'", decision_log, 2}});
    EXPECT_TRUE(log_got_entry("e", c));
    EXPECT_EQ(results(c), "2 e");
    devnode& d = check("D", {{"'e'", decision_call, 0, "X"}, {"'e'", decision_log, 2}});
    EXPECT_TRUE(log_got_entry("e", d));
    EXPECT_EQ(results(d), "");
    EXPECT_EQ(results(x), "1 entry, 1 e");
    for (auto* n : {&x, &a, &none, &b, &c, &d}) EXPECT_EQ(n->in_evaluation, 0);
}

TEST_F(RulesTest, SelfForwardingIsACycleWithOneAlertPerEntryCutTo255Bytes) {
    devnode& n = check("N", {{"'e'", decision_moveto, 0, "N"}});
    test::log_capture cap;
    EXPECT_TRUE(log_got_entry("entry one", n));
    EXPECT_TRUE(log_got_entry("entry two", n));
    EXPECT_EQ(results(n), "2 Cycle detected: N -> N: entry one, 2 Cycle detected: N -> N: entry two");
    EXPECT_TRUE(cap.has("Log forwarding cycle detected: N -> N: entry one"));
    EXPECT_EQ(n.in_evaluation, 0);
    std::string id(100, 'n'), entry = "e" + std::string(500, 'z');
    devnode& longer = check(id, {{"'e'", decision_moveto, 0, id.c_str()}});
    EXPECT_TRUE(log_got_entry(entry, longer));
    EXPECT_EQ(results(longer), "2 " + ("Cycle detected: " + id + " -> " + id + ": " + entry).substr(0, 255));
}

TEST_F(RulesTest, ThreeCheckCycleNamesTheWholeChain) {
    devnode& a = check("A");
    devnode& b = check("B");
    devnode& c = check("C", {{"'e'", decision_call, 0, "A"}, {"'e'", decision_log, 1}});  // log not reached
    add(a, {"'e'", decision_copyto, 0, "B"});
    add(b, {"'e'", decision_moveto, 0, "C"});
    EXPECT_FALSE(log_got_entry("the entry", a));  // copyto: A's rules ran out
    EXPECT_EQ(results(a), "2 Cycle detected: A -> B -> C -> A: the entry");
    EXPECT_EQ(results(b) + results(c), "");
    EXPECT_EQ(a.in_evaluation + b.in_evaluation + c.in_evaluation, 0);
}

TEST_F(RulesTest, LongChainsStopInsteadOfExhaustingTheStackAndLongEntriesAreKept) {
    std::vector<devnode*> chain{&check("c0", {{"'^e'", decision_log, 1}})};
    for (int i = 1; i < 2000; i++) {
        std::string prev = "c" + std::to_string(i - 1);
        chain.push_back(&check("c" + std::to_string(i), {{"'e'", decision_moveto, 0, prev.c_str()}}));
    }
    EXPECT_TRUE(log_got_entry("e", *chain.back()));
    for (auto* n : chain) EXPECT_EQ(n->in_evaluation, 0);
    // A long entry forwarded on is recorded whole up to the log text limit.
    EXPECT_TRUE(log_got_entry("e" + std::string(70000, 'x'), *chain[2]));
    ASSERT_FALSE(results(*chain[0]).empty());
    EXPECT_EQ(chain[0]->results.begin()->log_text()->size(), 65535u);
}

}  // namespace
}  // namespace zp
