// schedule.cpp - choice of the next check: the plain walk and the heap.
#include "devtree/schedule.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include "core/variables.h"

namespace zp {

namespace {

// Silence variables of a log check; keys were formatted in 256-byte buffers.
int64_t read_silence_var(const char* prefix, const std::string& name, int64_t fallback) {
    std::string key = prefix + name;
    if (key.size() > 255) key.resize(255);
    const std::string* v = get_variable(key);
    if (!v) return fallback;
    return static_cast<int32_t>(std::strtol(v->c_str(), nullptr, 0));
}

void pull_forward(devnode& node, int64_t now) {
    if (node.type == type_adv_log && node.next_due != 0) node.next_due = pulled_forward_due(node, now);
}

template <typename F>
void walk(devtree_list& tree, F&& f) {
    for (auto& g : tree) {
        for (auto& n : g->checks) f(*n);
        walk(g->children, f);
    }
}

}  // namespace

int64_t pulled_forward_due(const devnode& node, int64_t now) {
    int64_t due = node.next_due;
    if (node.type != type_adv_log || due == 0 || !node.lognode) return due;
    const lognode& ln = *node.lognode;
    if (ln.warn_silence_limit == -1 && ln.alert_silence_limit == -1) return due;
    std::string name = dotted_name(node);
    int64_t stamp = read_silence_var("timestamp:", name, now);
    int64_t sent = read_silence_var("status_sent:", name, 0);
    if (ln.warn_silence_limit != -1 && sent == 0) due = std::min(due, stamp + ln.warn_silence_limit);
    if (ln.alert_silence_limit != -1 && sent <= 1) due = std::min(due, stamp + ln.alert_silence_limit);
    return due;
}

devnode* select_next_check(devtree_list& tree, int64_t now) {
    devnode* best = nullptr;
    walk(tree, [&](devnode& n) {
        pull_forward(n, now);
        if (!best || n.next_due < best->next_due) best = &n;
    });
    return best;
}

devnode* first_pending_check(devtree_list& tree) {
    for (auto& g : tree) {
        for (auto& n : g->checks)
            if (n->next_due == 0) return n.get();
        if (devnode* n = first_pending_check(g->children)) return n;
    }
    return nullptr;
}

void check_schedule::clear() {
    nodes_.clear();
    key_.clear();
    heap_.clear();
    pos_.clear();
    log_checks_.clear();
}

void check_schedule::rebuild(devtree_list& tree) {
    clear();
    walk(tree, [&](devnode& n) {
        auto i = static_cast<uint32_t>(nodes_.size());
        n.sched_index = i;
        nodes_.push_back(&n);
        key_.push_back(n.next_due);
        if (n.type == type_adv_log) log_checks_.push_back(i);
    });
    heap_.resize(nodes_.size());
    pos_.resize(nodes_.size());
    for (uint32_t i = 0; i < nodes_.size(); ++i) {
        heap_[i] = i;
        pos_[i] = i;
    }
    for (size_t p = heap_.size() / 2; p-- > 0;) sift_down(p);
}

bool check_schedule::less(uint32_t a, uint32_t b) const {
    return key_[a] != key_[b] ? key_[a] < key_[b] : a < b;
}

void check_schedule::sift_up(size_t p) {
    uint32_t v = heap_[p];
    while (p > 0) {
        size_t parent = (p - 1) / 2;
        if (!less(v, heap_[parent])) break;
        heap_[p] = heap_[parent];
        pos_[heap_[p]] = static_cast<uint32_t>(p);
        p = parent;
    }
    heap_[p] = v;
    pos_[v] = static_cast<uint32_t>(p);
}

void check_schedule::sift_down(size_t p) {
    uint32_t v = heap_[p];
    const size_t n = heap_.size();
    for (;;) {
        size_t c = 2 * p + 1;
        if (c >= n) break;
        if (c + 1 < n && less(heap_[c + 1], heap_[c])) ++c;
        if (!less(heap_[c], v)) break;
        heap_[p] = heap_[c];
        pos_[heap_[p]] = static_cast<uint32_t>(p);
        p = c;
    }
    heap_[p] = v;
    pos_[v] = static_cast<uint32_t>(p);
}

void check_schedule::fix(uint32_t i) {
    int64_t due = nodes_[i]->next_due;
    if (due == key_[i]) return;
    bool earlier = due < key_[i];
    key_[i] = due;
    if (earlier)
        sift_up(pos_[i]);
    else
        sift_down(pos_[i]);
}

void check_schedule::update(devnode& node) {
    uint32_t i = node.sched_index;
    if (i < nodes_.size() && nodes_[i] == &node) fix(i);
}

devnode* check_schedule::select(int64_t now) {
    for (uint32_t i : log_checks_) {
        pull_forward(*nodes_[i], now);
        fix(i);
    }
    return heap_.empty() ? nullptr : nodes_[heap_[0]];
}

}  // namespace zp
