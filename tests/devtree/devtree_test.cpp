// Tests of the device tree records: budget accounting, text cuts, names,
// building, pruning and carrying results over.
#include "devtree/devtree.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <gtest/gtest.h>

#include "tests/support/agent_state.h"
#include "tests/support/fatal.h"
#include "tests/support/log_capture.h"

namespace zp {
namespace {

using test::add_check;

// --- Budget accounting -----------------------------------------------------

TEST(ResultBudget, TextsCutAtTheirLimitsButCountedAndReleasedInFull) {
    struct {
        void (*set)(resnode&, std::string_view);
        std::optional<std::string_view> (resnode::*get)() const;
        uint64_t (resnode::*full_size)() const;
        size_t limit;
        const char* warning;
    } cases[] = {{set_result_text, &resnode::text, &resnode::text_size, 255, "Truncating error description: \""},
                 {set_result_log_text, &resnode::log_text, &resnode::log_text_size, 65535,
                  "Truncating long log result: \""}};
    for (auto& c : cases) {
        SCOPED_TRACE(c.warning);
        test::log_capture cap;
        int64_t base = result_budget_used();
        auto r = alloc_resnode();
        c.set(*r, std::string(c.limit, 'a'));
        EXPECT_EQ(((*r).*c.get)()->size(), c.limit);
        EXPECT_FALSE(cap.has(c.warning));
        c.set(*r, std::string(c.limit + 1, 'b'));
        EXPECT_EQ(*((*r).*c.get)(), std::string(c.limit, 'b'));
        EXPECT_EQ(((*r).*c.full_size)(), c.limit + 1);
        EXPECT_EQ(result_budget_used(), base + 80 + static_cast<int64_t>(c.limit) + 1);
        EXPECT_TRUE(cap.has(c.warning + std::string(c.limit + 1, 'b') + "\""));
        c.set(*r, "short");  // a replaced text gives back its size
        EXPECT_EQ(result_budget_used(), base + 80 + 5);
        r.reset();
        EXPECT_EQ(result_budget_used(), base);
    }
}

TEST(ResultBudget, TextsSurviveEachOtherAndTheAlertGroup) {
    auto r = alloc_resnode();
    EXPECT_FALSE(r->text() || r->log_text() || r->alert_group());
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

TEST(ResultBudget, PruneDoneReleasesOnlyChecksThatRanAndEmptiedGroups) {
    int64_t base = result_budget_used();
    devtree_list tree;
    devtree* g = devtree_child(tree, "action", std::nullopt);
    test::add_result(*add_check(*devtree_child(*g, "sub", std::nullopt), "ran", 10), 0, 10);
    devnode* waiting = add_check(*g, "waiting");
    prune_done(tree);
    ASSERT_EQ(tree.size(), 1u);
    EXPECT_TRUE(tree[0]->children.empty());
    ASSERT_EQ(tree[0]->checks.size(), 1u);
    EXPECT_EQ(tree[0]->checks[0].get(), waiting);
    EXPECT_EQ(result_budget_used(), base);
    waiting->next_due = 5;
    prune_done(tree);
    EXPECT_TRUE(tree.empty());
}

TEST(ResultBudget, LongQueueIsReleasedWithoutRecursion) {
    int64_t base = result_budget_used();
    {
        devnode n;
        for (int i = 0; i < 300000; ++i) test::add_result(n, i);
        EXPECT_EQ(result_budget_used(), base + 300000 * 80);
    }
    EXPECT_EQ(result_budget_used(), base);
}

// Results of every text length around the cuts, with and without log texts and
// alert groups, must not use more memory than the budget charges for them.
TEST(ResultBudget, RealMemoryStaysWithinTheBudgetForEveryTextLength) {
#if !defined(__GLIBC__)
    GTEST_SKIP() << "needs glibc's allocator statistics";
#else
    test::log_capture quiet(3);
    std::vector<std::unique_ptr<resnode>> keep;
    keep.reserve(40000);
    std::string big(70000, 'x');
    alloc_resnode()->set_alert_group(std::string(32, 'g'));  // the alert group name itself is shared
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
#endif
}

// --- Building and names ----------------------------------------------------

TEST(DevtreeBuild, ChildLookupByExactIdAndAddedListGoesInFrontInItsOrder) {
    devtree root;
    devtree* a = devtree_child(root, "mem", "Free Memory");
    EXPECT_EQ(devtree_child(root, "mem", "Other"), a);
    EXPECT_NE(devtree_child(root, "Mem", std::nullopt), a);
    add_check(*a, "old");
    devnode_list list;
    for (const char* id : {"x", "y"}) {
        list.push_back(alloc_devnode());
        list.back()->id = id;
    }
    add_devnodes(*a, std::move(list));
    std::vector<std::string> ids;
    for (auto& n : a->checks) {
        ids.push_back(n->id);
        EXPECT_EQ(n->parent, a);
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"x", "y", "old"}));
}

TEST(DevtreeNames, DotsAndBackslashesInIdsAreEscapedAndLongNamesCut) {
    devtree_list tree;
    devtree* top = devtree_child(tree, "log", std::nullopt);
    devtree* mid = devtree_child(*top, "C:\\logs", std::nullopt);
    devnode* n = add_check(*mid, "app.log");
    EXPECT_EQ(dotted_name(*n), "log.C:\\\\logs.app\\.log");
    EXPECT_EQ(group_path_name(*n), "log.C:\\\\logs.app.log");
    EXPECT_EQ(backslash_name(*n), "C:\\logs\\app.log");
    EXPECT_EQ(std::vector<devtree*>({ancestor_group(*n, 0), ancestor_group(*n, 1), ancestor_group(*n, 2),
                                     ancestor_group(*n, 3)}),
              (std::vector<devtree*>{nullptr, top, mid, nullptr}));
    devnode* big = add_check(*devtree_child(tree, std::string(1500, '.'), std::nullopt), std::string(1500, 'x'));
    EXPECT_EQ(dotted_name(*big).size(), 2047u);
    EXPECT_EQ(group_path_name(*big).size(), 2047u);
}

// --- Carry-over ------------------------------------------------------------

struct counted_state : check_state {
    int* released;
    explicit counted_state(int* r) : released(r) {}
    ~counted_state() override { ++*released; }
};

TEST(CarryOver, ResultsAndStateMoveOnlyToTheSamePlaceWithoutRecounting) {
    test::log_capture quiet(3);
    int released = 0;
    int64_t base = result_budget_used();
    devtree_list old_tree, new_tree;
    devnode* on = add_check(*devtree_child(*devtree_child(old_tree, "log", std::nullopt), "sub", std::nullopt), "a", 50);
    on->state = std::make_unique<counted_state>(&released);
    on->state_tag = 0x7E57;
    on->release_state = [](devnode& n) {
        n.state.reset();
        n.state_tag = state_tag_none;
    };
    for (int i = 0; i < 3; ++i) test::add_result(*on, i, 300);
    int64_t with_results = result_budget_used();
    EXPECT_EQ(with_results, base + 3 * (80 + 300));
    devnode* moved = add_check(*devtree_child(new_tree, "mem", std::nullopt), "a");  // another group
    devnode* nn = add_check(*devtree_child(*devtree_child(new_tree, "log", std::nullopt), "sub", std::nullopt), "a");
    carry_over(old_tree, new_tree);
    EXPECT_TRUE(moved->results.empty());
    EXPECT_EQ(nn->results.size(), 3u);
    EXPECT_EQ(nn->next_due, 0);  // a new configuration starts as never run
    EXPECT_EQ(nn->state_tag, 0x7E57u);
    EXPECT_EQ(on->state_tag, state_tag_none);
    free_devtree(old_tree);  // must not be fatal: the old check has no state now
    EXPECT_EQ(released, 0);
    EXPECT_EQ(result_budget_used(), with_results);
    free_devtree(new_tree);
    EXPECT_EQ(released, 1);
    EXPECT_EQ(result_budget_used(), base);
}

TEST(DevtreeDeathTest, ForeignStateTagWithDefaultReleaseAndRuleWithoutLognodeAreFatal) {
    EXPECT_FATAL(alloc_devnode()->state_tag = 42, "free_no_state\\(\\): Assertion failed");
    EXPECT_FATAL(add_logrule(nullptr, alloc_logrule()), "Cannot add logrule to NULL lognode");
}

}  // namespace
}  // namespace zp
