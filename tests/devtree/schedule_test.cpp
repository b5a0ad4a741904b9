// Tests of the choice of the next check: walk order, ties, log check pull-
// forward, and the heap agreeing with the plain walk.
#include "devtree/schedule.h"

#include <random>

#include <gtest/gtest.h>

#include "core/variables.h"
#include "tests/support/agent_state.h"

namespace zp {
namespace {

using test::add_check;

class Schedule : public ::testing::Test {
protected:
    void SetUp() override { clear_variables(); }
    void TearDown() override { clear_variables(); }
};

TEST_F(Schedule, WalkOrderIsOwnChecksThenChildrenThenSiblingOnTies) {
    devtree_list tree;
    devtree* a = devtree_child(tree, "a", std::nullopt);
    devtree* a1 = devtree_child(*a, "a1", std::nullopt);
    devtree* b = devtree_child(tree, "b", std::nullopt);
    devnode* in_b = add_check(*b, "b", 100);
    devnode* in_a1 = add_check(*a1, "a1", 100);
    devnode* in_a = add_check(*a, "a", 100);
    EXPECT_EQ(select_next_check(tree, 0), in_a);
    in_a->next_due = 101;
    EXPECT_EQ(select_next_check(tree, 0), in_a1);
    in_a1->next_due = 101;
    EXPECT_EQ(select_next_check(tree, 0), in_b);
    devtree_list empty;
    EXPECT_EQ(select_next_check(empty, 0), nullptr);
    // The first check never run, in the same walk order.
    EXPECT_EQ(first_pending_check(tree), nullptr);
    in_a1->next_due = 0;
    EXPECT_EQ(first_pending_check(tree), in_a1);
}

TEST_F(Schedule, LogCheckIsPulledForwardBySilenceLimits) {
    devtree_list tree;
    devtree* g = devtree_child(tree, "log", std::nullopt);
    devnode* plain = add_check(*g, "plain", 500);
    devnode* lg = add_check(*g, "app.log", 1000, type_adv_log);
    lg->lognode = alloc_lognode();
    lg->lognode->warn_silence_limit = 300;
    lg->lognode->alert_silence_limit = 600;
    ASSERT_TRUE(set_variable("timestamp:log.app\\.log", "0x64").ok());  // 100, base detected
    ASSERT_TRUE(set_variable("status_sent:log.app\\.log", "0").ok());
    check_schedule s;
    s.rebuild(tree);
    EXPECT_EQ(s.select(0), lg);
    EXPECT_EQ(lg->next_due, 400);
    // Warning already sent: only the alert limit pulls.
    lg->next_due = 1000;
    s.update(*lg);
    ASSERT_TRUE(set_variable("status_sent:log.app\\.log", "1").ok());
    EXPECT_EQ(s.select(0), plain);
    EXPECT_EQ(lg->next_due, 700);
    EXPECT_EQ(select_next_check(tree, 0), plain);
    // A log check that never ran is not pulled.
    lg->next_due = 0;
    s.update(*lg);
    EXPECT_EQ(s.select(0), lg);
    EXPECT_EQ(lg->next_due, 0);
    // Without a timestamp the silence counts from now.
    clear_variables();
    lg->next_due = 5000;
    s.update(*lg);
    EXPECT_EQ(pulled_forward_due(*lg, 2000), 2300);
}

TEST_F(Schedule, HeapAgreesWithWalkOverRandomRuns) {
    std::mt19937 rng(7);
    devtree_list tree;
    for (int t = 0; t < 5; ++t) {
        devtree* top = devtree_child(tree, "g" + std::to_string(t), std::nullopt);
        for (int c = 0; c < 3; ++c) {
            devtree* sub = devtree_child(*top, "s" + std::to_string(c), std::nullopt);
            for (int i = 0; i < 7; ++i) add_check(*sub, "c" + std::to_string(i));
        }
        for (int i = 0; i < 4; ++i) add_check(*top, "own" + std::to_string(i));
    }
    check_schedule s;
    s.rebuild(tree);
    int64_t now = 1000;
    for (int step = 0; step < 5000; ++step) {
        devnode* heap_pick = s.select(now);
        devnode* walk_pick = select_next_check(tree, now);
        ASSERT_EQ(heap_pick, walk_pick) << step;
        now = std::max(now, heap_pick->next_due);
        heap_pick->next_due = now + 1 + static_cast<int64_t>(rng() % 5);  // many ties
        s.update(*heap_pick);
    }
}

}  // namespace
}  // namespace zp
