// schedule.h - which configured check runs next: the check with the earliest
// next_due, the first in walk order on ties (a group's own checks, then its
// children, then its next sibling), with advanced log checks pulled forward to
// the moment their silence limits run out. Main thread only.
#pragma once

#include <cstdint>
#include <vector>

#include "devtree/devtree.h"

namespace zp {

// The next check by a plain walk of `tree` (null for an empty tree). Pulls
// forward (and stores) the due times of advanced log checks that have run.
devnode* select_next_check(devtree_list& tree, int64_t now);

// The first check in walk order that has never run (next_due 0), or null.
devnode* first_pending_check(devtree_list& tree);

// The silence-limited due time of an advanced log check that has run: the
// earliest of its next_due and the times its warn and alert silence limits
// expire, read from its silence variables; its next_due otherwise.
int64_t pulled_forward_due(const devnode& node, int64_t now);

// The same choice as select_next_check, kept in a heap keyed by (next_due,
// walk index) so that a choice costs O(log n) plus the advanced log checks.
// The schedule borrows the checks of one tree: rebuild it whenever that tree is
// replaced, and call update() whenever a check's next_due is changed.
class check_schedule {
public:
    void rebuild(devtree_list& tree);
    void clear();
    devnode* select(int64_t now);
    void update(devnode& node);
    size_t size() const { return nodes_.size(); }

private:
    bool less(uint32_t a, uint32_t b) const;
    void sift_up(size_t pos);
    void sift_down(size_t pos);
    void fix(uint32_t index);

    std::vector<devnode*> nodes_;     // by walk index
    std::vector<int64_t> key_;        // next_due as ordered in the heap
    std::vector<uint32_t> heap_;      // walk indices
    std::vector<uint32_t> pos_;       // walk index -> heap position
    std::vector<uint32_t> log_checks_;  // walk indices of advanced log checks
};

}  // namespace zp
