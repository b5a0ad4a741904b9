// Tests of the device tree records: budget accounting, text cuts, names,
// building, pruning and carrying results over.
#include "devtree/devtree.h"

#include <malloc.h>

#include <gtest/gtest.h>

#include "tests/devtree/test_support.h"

namespace zp {
namespace {

using testing::log_capture;

std::unique_ptr<devnode> make_check(const std::string& id, int64_t next_due = 0) {
    auto n = alloc_devnode();
    n->id = id;
    n->next_due = next_due;
    return n;
}

devnode* add_check(devtree& g, const std::string& id, int64_t next_due = 0) {
    add_devnodes(g, make_check(id, next_due));
    return g.checks.front().get();
}

void queue_results(devnode& n, int count, size_t text_len) {
    for (int i = 0; i < count; ++i) {
        auto r = alloc_resnode();
        r->time = i;
        if (text_len) set_result_text(*r, std::string(text_len, 't'));
        append_result(n, std::move(r));
    }
}

struct state_with_counter : check_state {
    int* released;
    explicit state_with_counter(int* r) : released(r) {}
    ~state_with_counter() override { ++*released; }
};
constexpr uint32_t test_tag = 0x7E57;
void release_test_state(devnode& n) {
    n.state.reset();
    n.state_tag = state_tag_none;
}

// --- Budget accounting -----------------------------------------------------

TEST(ResultBudget, ErrorTextOf255KeptWhole256CutButCountedInFull) {
    log_capture cap;
    int64_t base = result_budget_used();
    auto r = alloc_resnode();
    EXPECT_EQ(result_budget_used(), base + 80);
    set_result_text(*r, std::string(255, 'a'));
    EXPECT_EQ(r->text()->size(), 255u);
    EXPECT_FALSE(cap.has("Truncating error description"));
    set_result_text(*r, std::string(256, 'b'));
    EXPECT_EQ(*r->text(), std::string(255, 'b'));
    EXPECT_EQ(r->text_size(), 256u);
    EXPECT_EQ(result_budget_used(), base + 80 + 256);
    EXPECT_TRUE(cap.has("Truncating error description: \"" + std::string(256, 'b') + "\""));
    r.reset();
    EXPECT_EQ(result_budget_used(), base);
}

TEST(ResultBudget, LogTextOf65536CutTo65535AndReleasedInFull) {
    log_capture cap;
    int64_t base = result_budget_used();
    auto r = alloc_resnode();
    set_result_log_text(*r, std::string(65536, 'x'));
    EXPECT_EQ(r->log_text()->size(), 65535u);
    EXPECT_EQ(r->log_text_size(), 65536u);
    EXPECT_EQ(result_budget_used(), base + 80 + 65536);
    EXPECT_TRUE(cap.has("Truncating long log result"));
    r.reset();
    EXPECT_EQ(result_budget_used(), base);
}

TEST(ResultBudget, ReplacedTextGivesBackTheOldSize) {
    int64_t base = result_budget_used();
    auto r = alloc_resnode();
    set_result_text(*r, std::string(1000, 'a'));
    set_result_text(*r, "short");
    set_result_log_text(*r, std::string(70000, 'l'));
    set_result_log_text(*r, "");
    EXPECT_EQ(result_budget_used(), base + 80 + 5);
    ASSERT_TRUE(r->log_text());
    EXPECT_TRUE(r->log_text()->empty());
    r.reset();
    EXPECT_EQ(result_budget_used(), base);
}

TEST(ResultBudget, TextsSurviveEachOtherAndTheAlertGroup) {
    auto r = alloc_resnode();
    EXPECT_FALSE(r->text());
    EXPECT_FALSE(r->log_text());
    EXPECT_FALSE(r->alert_group());
    set_result_log_text(*r, "entry");
    r->set_alert_group("grp");
    set_result_text(*r, std::string("with\0nul", 8));
    EXPECT_EQ(*r->log_text(), "entry");
    EXPECT_EQ(*r->alert_group(), "grp");
    EXPECT_EQ(*r->text(), std::string_view("with\0nul", 8));
    // Setting a text from a view of the record's own text must not read freed memory.
    set_result_log_text(*r, *r->text());
    EXPECT_EQ(*r->log_text(), std::string_view("with\0nul", 8));
}

TEST(ResultBudget, CarryOverMovesResultsWithoutRecounting) {
    int64_t base = result_budget_used();
    devtree_list old_tree, new_tree;
    devtree* og = devtree_child(old_tree, "mem", std::nullopt);
    devnode* on = add_check(*og, "phys", 50);
    queue_results(*on, 3, 300);
    int64_t with_results = result_budget_used();
    EXPECT_EQ(with_results, base + 3 * (80 + 300));

    devtree* ng = devtree_child(new_tree, "mem", std::nullopt);
    devnode* nn = add_check(*ng, "phys");
    carry_over(old_tree, new_tree);
    EXPECT_EQ(nn->results.size(), 3u);
    EXPECT_EQ(nn->next_due, 0);  // a new configuration starts as never run
    EXPECT_TRUE(on->results.empty());
    free_devtree(old_tree);
    EXPECT_EQ(result_budget_used(), with_results);
    free_devtree(new_tree);
    EXPECT_EQ(result_budget_used(), base);
}

TEST(ResultBudget, PruneDoneReleasesOnlyChecksThatRan) {
    int64_t base = result_budget_used();
    devtree_list tree;
    devtree* g = devtree_child(tree, "action", std::nullopt);
    devtree* sub = devtree_child(*g, "sub", std::nullopt);
    queue_results(*add_check(*sub, "ran", 10), 2, 10);
    devnode* waiting = add_check(*g, "waiting");
    prune_done(tree);
    ASSERT_EQ(tree.size(), 1u);
    EXPECT_TRUE(tree[0]->children.empty());  // emptied group removed
    ASSERT_EQ(tree[0]->checks.size(), 1u);
    EXPECT_EQ(tree[0]->checks[0].get(), waiting);
    EXPECT_EQ(result_budget_used(), base);
    waiting->next_due = 5;
    prune_done(tree);
    EXPECT_TRUE(tree.empty());
}

TEST(ResultBudget, PopAndClearKeepQueueConsistent) {
    int64_t base = result_budget_used();
    auto n = make_check("q");
    queue_results(*n, 3, 1);
    EXPECT_EQ(n->results.pop_front()->time, 0);
    EXPECT_EQ(n->results.size(), 2u);
    n->results.pop_front();
    n->results.pop_front();
    EXPECT_TRUE(n->results.empty());
    EXPECT_EQ(n->results.back(), nullptr);
    queue_results(*n, 1, 0);  // the tail was reset: append still works
    EXPECT_EQ(n->results.front(), n->results.back());
    n.reset();
    EXPECT_EQ(result_budget_used(), base);
}

TEST(ResultBudget, LongQueuesAndWideTreesReleaseWithoutRecursion) {
    int64_t base = result_budget_used();
    {
        devtree_list tree;
        devtree* g = devtree_child(tree, "mem", std::nullopt);
        devnode_list list;
        for (int i = 0; i < 100000; ++i) list.push_back(make_check("c" + std::to_string(i)));
        add_devnodes(*g, std::move(list));
        queue_results(*g->checks[0], 300000, 0);
        EXPECT_EQ(result_budget_used(), base + 300000 * 80);
    }
    EXPECT_EQ(result_budget_used(), base);
}

// Results of every text length around the cuts, with and without log texts and
// alert groups, must not use more memory than the budget charges for them.
TEST(ResultBudget, RealMemoryStaysWithinTheBudgetForEveryTextLength) {
    std::vector<std::unique_ptr<resnode>> keep;
    keep.reserve(40000);
    std::string big(70000, 'x');
    auto r0 = alloc_resnode();
    r0->set_alert_group(std::string(32, 'g'));  // the alert group name itself is shared
    r0.reset();
    malloc_trim(0);
    size_t before = mallinfo2().uordblks;
    int64_t budget_before = result_budget_used();
    for (size_t len = 0; len < 400; ++len) {
        for (int variant = 0; variant < 100; ++variant) {
            auto r = alloc_resnode();
            if (variant % 4 != 1) set_result_text(*r, std::string_view(big).substr(0, len));
            if (variant % 4 != 0) set_result_log_text(*r, std::string_view(big).substr(0, len * (variant % 7)));
            if (variant % 4 == 3) r->set_alert_group(std::string(32, 'g'));
            keep.push_back(std::move(r));
        }
    }
    size_t after = mallinfo2().uordblks;
    if (before == 0 && after == 0) GTEST_SKIP() << "allocator statistics not available";
    int64_t budget = result_budget_used() - budget_before;
    // The vector holding the records is not part of the results.
    int64_t real = static_cast<int64_t>(after - before) - static_cast<int64_t>(keep.capacity() * sizeof(void*));
    EXPECT_LE(real, budget);
}

// --- Building and names ----------------------------------------------------

TEST(DevtreeBuild, ChildLookupReturnsExistingGroupAndIgnoresNewName) {
    devtree root;
    devtree* a = devtree_child(root, "mem", "Free Memory");
    devtree* b = devtree_child(root, "mem", "Other");
    EXPECT_EQ(a, b);
    EXPECT_EQ(*a->name, "Free Memory");
    EXPECT_EQ(a->parent, &root);
    devtree* c = devtree_child(root, "Mem", std::nullopt);  // exact byte comparison
    EXPECT_NE(a, c);
    EXPECT_EQ(root.children.back().get(), c);
}

TEST(DevtreeBuild, AddedListGoesInFrontInItsOwnOrder) {
    devtree g;
    add_check(g, "old");
    devnode_list list;
    list.push_back(make_check("a"));
    list.push_back(make_check("b"));
    add_devnodes(g, std::move(list));
    ASSERT_EQ(g.checks.size(), 3u);
    EXPECT_EQ(g.checks[0]->id, "a");
    EXPECT_EQ(g.checks[1]->id, "b");
    EXPECT_EQ(g.checks[2]->id, "old");
    for (auto& n : g.checks) EXPECT_EQ(n->parent, &g);
}

TEST(DevtreeNames, DotsAndBackslashesInIdsAreEscaped) {
    devtree_list tree;
    devtree* top = devtree_child(tree, "log", std::nullopt);
    devtree* mid = devtree_child(*top, "C:\\logs", std::nullopt);
    devnode* n = add_check(*mid, "app.log");
    EXPECT_EQ(dotted_name(*n), "log.C:\\\\logs.app\\.log");
    EXPECT_EQ(group_path_name(*n), "log.C:\\\\logs.app.log");
    EXPECT_EQ(backslash_name(*n), "C:\\logs\\app.log");
    EXPECT_EQ(ancestor_group(*n, 1), top);
    EXPECT_EQ(ancestor_group(*n, 2), mid);
    EXPECT_EQ(ancestor_group(*n, 3), nullptr);
    EXPECT_EQ(ancestor_group(*n, 0), nullptr);
    auto loose = make_check("x");
    EXPECT_EQ(ancestor_group(*loose, 1), nullptr);
    EXPECT_EQ(dotted_name(*loose), "x");
}

TEST(DevtreeNames, OverlongNamesAreCutTo2047Bytes) {
    devtree_list tree;
    devtree* top = devtree_child(tree, std::string(1500, '.'), std::nullopt);
    devnode* n = add_check(*top, std::string(1500, 'x'));
    EXPECT_EQ(dotted_name(*n).size(), 2047u);
    EXPECT_EQ(group_path_name(*n).size(), 2047u);
}

// --- Carry-over ------------------------------------------------------------

TEST(CarryOver, CheckMovedToAnotherGroupKeepsNothing) {
    devtree_list old_tree, new_tree;
    devnode* on = add_check(*devtree_child(old_tree, "fs", std::nullopt), "C:");
    queue_results(*on, 2, 0);
    devnode* nn = add_check(*devtree_child(new_tree, "mem", std::nullopt), "C:");
    carry_over(old_tree, new_tree);
    EXPECT_TRUE(nn->results.empty());
    EXPECT_EQ(on->results.size(), 2u);
}

TEST(CarryOver, StateMovesAndOldCheckFallsBackToNoState) {
    int released = 0;
    devtree_list old_tree, new_tree;
    devtree* og = devtree_child(*devtree_child(old_tree, "log", std::nullopt), "sub", std::nullopt);
    devnode* on = add_check(*og, "a");
    on->state = std::make_unique<state_with_counter>(&released);
    on->state_tag = test_tag;
    on->release_state = release_test_state;
    devtree* ng = devtree_child(*devtree_child(new_tree, "log", std::nullopt), "sub", std::nullopt);
    devnode* nn = add_check(*ng, "a");
    carry_over(old_tree, new_tree);
    EXPECT_EQ(nn->state_tag, test_tag);
    EXPECT_EQ(on->state_tag, state_tag_none);
    EXPECT_EQ(on->release_state, &free_no_state);
    free_devtree(old_tree);  // must not be fatal: the old check has no state now
    EXPECT_EQ(released, 0);
    free_devtree(new_tree);
    EXPECT_EQ(released, 1);
}

// --- Fatal conditions ------------------------------------------------------

TEST(DevtreeDeath, ForeignStateTagWithDefaultReleaseIsFatal) {
    EXPECT_EXIT(
        {
            auto n = alloc_devnode();
            n->state_tag = 42;
            n.reset();
        },
        ::testing::ExitedWithCode(1), "free_no_state\\(\\): Assertion failed");
}

TEST(DevtreeDeath, RuleForMissingLognodeIsFatal) {
    EXPECT_EXIT(add_logrule(nullptr, alloc_logrule()), ::testing::ExitedWithCode(1),
                "Cannot add logrule to NULL lognode");
}

}  // namespace
}  // namespace zp
