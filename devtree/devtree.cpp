// devtree.cpp - the device tree records, their result queues and texts, the
// result memory budget, item names, pruning and carrying results over.
#include "devtree/devtree.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <unordered_map>

#include "core/fatal.h"
#include "core/log.h"

namespace zp {

namespace {

constexpr int64_t budget_limit = 6710886;
constexpr int64_t resnode_cost = 80;
constexpr size_t name_max = 2047;  // names were built in 2048-byte buffers

std::atomic<int64_t> budget_used{0};

// Text block of a result: one flags byte, the full sizes of the texts that are
// present and the alert group's number as varints, then the kept bytes of the
// text and the log text. One allocation for all texts keeps a result within
// the 80 bytes the budget charges for it.
constexpr uint8_t has_text_bit = 1;
constexpr uint8_t has_log_bit = 2;
constexpr uint8_t has_group_bit = 4;

size_t varint_size(uint64_t v) {
    size_t n = 1;
    while (v >= 0x80) {
        v >>= 7;
        ++n;
    }
    return n;
}

char* put_varint(char* p, uint64_t v) {
    while (v >= 0x80) {
        *p++ = static_cast<char>((v & 0x7F) | 0x80);
        v >>= 7;
    }
    *p++ = static_cast<char>(v);
    return p;
}

const char* get_varint(const char* p, uint64_t& v) {
    v = 0;
    for (int shift = 0;; shift += 7) {
        auto b = static_cast<uint8_t>(*p++);
        v |= static_cast<uint64_t>(b & 0x7F) << shift;
        if (!(b & 0x80)) return p;
    }
}

// Alert groups are few names configured by the server, shared by many log
// results: each result keeps only the group's number. Process-wide, grows only,
// main thread only like the results that use it.
struct alert_group_table {
    std::vector<std::string> names;
    std::unordered_map<std::string, uint32_t> index;
};

alert_group_table& alert_groups() {
    static alert_group_table t;
    return t;
}

uint32_t intern_alert_group(std::string_view group) {
    auto& t = alert_groups();
    std::string key(group);
    auto it = t.index.find(key);
    if (it != t.index.end()) return it->second;
    auto n = static_cast<uint32_t>(t.names.size());
    t.names.push_back(key);
    t.index.emplace(std::move(key), n);
    return n;
}

template <typename T>
std::unique_ptr<T> alloc_or_die(const char* what) {
    try {
        return std::make_unique<T>();
    } catch (const std::bad_alloc&) {
        fatal("%s() ran out of memory!", what);
    }
}

// Group chain of a check, top-level group first.
std::vector<const devtree*> group_chain(const devnode& node) {
    std::vector<const devtree*> chain;
    for (const devtree* g = node.parent; g; g = g->parent) chain.push_back(g);
    std::reverse(chain.begin(), chain.end());
    return chain;
}

void append_escaped(std::string& out, std::string_view id) {
    for (char c : id) {
        if (c == '\\' || c == '.') out += '\\';
        out += c;
    }
}

std::string cut_name(std::string s) {
    if (s.size() > name_max) s.resize(name_max);
    return s;
}

devtree* child_in(devtree_list& list, devtree* parent, std::string_view id,
                  std::optional<std::string_view> name) {
    for (auto& g : list)
        if (g->id == id) return g.get();
    try {
        auto g = std::make_unique<devtree>();
        g->id.assign(id);
        if (name) g->name.emplace(*name);
        g->parent = parent;
        list.reserve(list.size() + 1);
        list.push_back(std::move(g));
        return list.back().get();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bool prune_list(devtree_list& list) {
    for (auto& g : list) {
        std::erase_if(g->checks, [](const std::unique_ptr<devnode>& n) { return n->next_due != 0; });
        prune_list(g->children);
    }
    std::erase_if(list, [](const std::unique_ptr<devtree>& g) {
        return g->checks.empty() && g->children.empty();
    });
    return list.empty();
}

void move_check_data(devnode& from, devnode& to) {
    if (to.state_tag != state_tag_none || to.state) to.release_state(to);
    to.results = std::move(from.results);
    to.state = std::move(from.state);
    to.release_state = from.release_state;
    to.state_tag = from.state_tag;
    from.state.reset();
    from.release_state = free_no_state;
    from.state_tag = state_tag_none;
}

void carry_list(devtree_list& old_list, devtree_list& new_list) {
    for (auto& ng : new_list) {
        devtree* og = nullptr;
        for (auto& g : old_list) {
            if (g->id == ng->id) {
                og = g.get();
                break;
            }
        }
        if (!og) continue;
        for (auto& nn : ng->checks) {
            for (auto& on : og->checks) {
                if (on->id == nn->id) {
                    move_check_data(*on, *nn);
                    break;
                }
            }
        }
        carry_list(og->children, ng->children);
    }
}

}  // namespace

bool is_bitmap_type(uint32_t type) {
    static constexpr bool bitmap[14] = {false, true, true, true, false, true, false,
                                        false, false, false, true, true, true, true};
    return type < 14 && bitmap[type];
}

// ---------------------------------------------------------------------------
// resnode

struct resnode::text_parts {
    bool has_text = false, has_log = false, has_group = false;
    uint64_t text_size = 0, log_size = 0;
    uint32_t group = 0;
    std::string_view text, log;
};

resnode::resnode() { budget_used.fetch_add(resnode_cost, std::memory_order_relaxed); }

resnode::~resnode() {
    text_parts p = parts();
    budget_used.fetch_sub(resnode_cost + static_cast<int64_t>(p.text_size + p.log_size),
                          std::memory_order_relaxed);
    // Unlink the rest of a chain one by one, so that a long chain never recurses.
    std::unique_ptr<resnode> rest = std::move(next_);
    while (rest) rest = std::move(rest->next_);
}

resnode::text_parts resnode::parts() const {
    text_parts p;
    if (!block_) return p;
    const char* q = block_.get();
    auto flags = static_cast<uint8_t>(*q++);
    uint64_t v = 0;
    if (flags & has_text_bit) {
        p.has_text = true;
        q = get_varint(q, p.text_size);
    }
    if (flags & has_log_bit) {
        p.has_log = true;
        q = get_varint(q, p.log_size);
    }
    if (flags & has_group_bit) {
        p.has_group = true;
        q = get_varint(q, v);
        p.group = static_cast<uint32_t>(v);
    }
    size_t tn = std::min<uint64_t>(p.text_size, result_text_max);
    size_t ln = std::min<uint64_t>(p.log_size, result_log_text_max);
    p.text = std::string_view(q, tn);
    p.log = std::string_view(q + tn, ln);
    return p;
}

void resnode::store(const text_parts& p) {
    if (!p.has_text && !p.has_log && !p.has_group) {
        block_.reset();
        return;
    }
    size_t n = 1;
    if (p.has_text) n += varint_size(p.text_size) + p.text.size();
    if (p.has_log) n += varint_size(p.log_size) + p.log.size();
    if (p.has_group) n += varint_size(p.group);
    auto block = std::make_unique_for_overwrite<char[]>(n);
    char* q = block.get();
    *q++ = static_cast<char>((p.has_text ? has_text_bit : 0) | (p.has_log ? has_log_bit : 0) |
                             (p.has_group ? has_group_bit : 0));
    if (p.has_text) q = put_varint(q, p.text_size);
    if (p.has_log) q = put_varint(q, p.log_size);
    if (p.has_group) q = put_varint(q, p.group);
    if (p.has_text && !p.text.empty()) std::memcpy(q, p.text.data(), p.text.size());
    q += p.text.size();
    if (p.has_log && !p.log.empty()) std::memcpy(q, p.log.data(), p.log.size());
    block_ = std::move(block);  // the views in `p` may point into the old block
}

std::optional<std::string_view> resnode::text() const {
    text_parts p = parts();
    if (!p.has_text) return std::nullopt;
    return p.text;
}

uint64_t resnode::text_size() const { return parts().text_size; }

std::optional<std::string_view> resnode::log_text() const {
    text_parts p = parts();
    if (!p.has_log) return std::nullopt;
    return p.log;
}

uint64_t resnode::log_text_size() const { return parts().log_size; }

std::optional<std::string_view> resnode::alert_group() const {
    text_parts p = parts();
    if (!p.has_group) return std::nullopt;
    return alert_groups().names[p.group];
}

void resnode::set_alert_group(std::string_view group) {
    text_parts p = parts();
    p.has_group = true;
    p.group = intern_alert_group(group);
    store(p);
}

// ---------------------------------------------------------------------------
// result_queue

result_queue::result_queue(result_queue&& o) noexcept
    : head_(std::move(o.head_)), tail_(o.tail_), count_(o.count_) {
    o.tail_ = nullptr;
    o.count_ = 0;
}

result_queue& result_queue::operator=(result_queue&& o) noexcept {
    if (this != &o) {
        clear();
        head_ = std::move(o.head_);
        tail_ = o.tail_;
        count_ = o.count_;
        o.tail_ = nullptr;
        o.count_ = 0;
    }
    return *this;
}

void result_queue::push_back(std::unique_ptr<resnode> res) {
    if (!res) return;
    res->next_.reset();
    resnode* raw = res.get();
    if (tail_)
        tail_->next_ = std::move(res);
    else
        head_ = std::move(res);
    tail_ = raw;
    ++count_;
}

std::unique_ptr<resnode> result_queue::pop_front() {
    if (!head_) return nullptr;
    std::unique_ptr<resnode> res = std::move(head_);
    head_ = std::move(res->next_);
    if (!head_) tail_ = nullptr;
    --count_;
    return res;
}

void result_queue::clear() {
    while (head_) head_ = std::move(head_->next_);
    tail_ = nullptr;
    count_ = 0;
}

// ---------------------------------------------------------------------------
// devnode

devnode::devnode() : release_state(free_no_state) {}

devnode::~devnode() {
    if (release_state) release_state(*this);
}

// ---------------------------------------------------------------------------
// Allocation

std::unique_ptr<devnode> alloc_devnode() { return alloc_or_die<devnode>("alloc_devnode"); }
std::unique_ptr<resnode> alloc_resnode() { return alloc_or_die<resnode>("alloc_resnode"); }
std::unique_ptr<lognode> alloc_lognode() { return alloc_or_die<lognode>("alloc_lognode"); }
std::unique_ptr<logrule> alloc_logrule() { return alloc_or_die<logrule>("alloc_logrule"); }
clinfo alloc_clinfo() { return clinfo{}; }

// ---------------------------------------------------------------------------
// Building trees

devtree* devtree_child(devtree& parent, std::string_view id, std::optional<std::string_view> name) {
    return child_in(parent.children, &parent, id, name);
}

devtree* devtree_child(devtree_list& tree, std::string_view id, std::optional<std::string_view> name) {
    return child_in(tree, nullptr, id, name);
}

void add_devnodes(devtree& group, devnode_list list) {
    for (auto& n : list) n->parent = &group;
    list.reserve(list.size() + group.checks.size());
    for (auto& n : group.checks) list.push_back(std::move(n));
    group.checks = std::move(list);
}

void add_devnodes(devtree& group, std::unique_ptr<devnode> node) {
    if (!node) return;
    devnode_list list;
    list.push_back(std::move(node));
    add_devnodes(group, std::move(list));
}

void add_logrule(lognode* log, std::unique_ptr<logrule> rule) {
    if (!log) fatal("Cannot add logrule to NULL lognode");
    log->rules.push_back(std::move(rule));
}

// ---------------------------------------------------------------------------
// Texts on results

void set_result_text(resnode& res, std::string_view text) {
    resnode::text_parts p = res.parts();
    const uint64_t full = text.size();
    budget_used.fetch_add(static_cast<int64_t>(full) - static_cast<int64_t>(p.text_size),
                          std::memory_order_relaxed);
    if (full > result_text_max) {
        log_text(2, "Truncating error description: \"" + std::string(text) + "\"");
        text = text.substr(0, result_text_max);
    }
    std::string copy(text);  // `text` may be a view into the old block
    p.has_text = true;
    p.text_size = full;
    p.text = copy;
    res.store(p);
}

void set_result_log_text(resnode& res, std::string_view text) {
    resnode::text_parts p = res.parts();
    const uint64_t full = text.size();
    budget_used.fetch_add(static_cast<int64_t>(full) - static_cast<int64_t>(p.log_size),
                          std::memory_order_relaxed);
    if (full > result_log_text_max) {
        log_text(2, "Truncating long log result: \"" + std::string(text) + "\"");
        text = text.substr(0, result_log_text_max);
    }
    std::string copy(text);
    p.has_log = true;
    p.log_size = full;
    p.log = copy;
    res.store(p);
}

void append_result(devnode& node, std::unique_ptr<resnode> res) { node.results.push_back(std::move(res)); }

int64_t result_budget_limit() { return budget_limit; }
int64_t result_budget_used() { return budget_used.load(std::memory_order_relaxed); }

// ---------------------------------------------------------------------------
// Names of an item

namespace {

// The escaped ids of the item's groups, each followed by ".", then the item's
// own id, escaped or as it is.
std::string group_prefixed_name(const devnode& node, bool escape_item) {
    try {
        std::string out;
        for (const devtree* g : group_chain(node)) {
            append_escaped(out, g->id);
            out += '.';
            if (out.size() > name_max) return cut_name(std::move(out));
        }
        if (escape_item)
            append_escaped(out, node.id);
        else
            out += node.id;
        return cut_name(std::move(out));
    } catch (const std::bad_alloc&) {
        fatal("alloc_str() ran out of memory!");
    }
}

}  // namespace

std::string dotted_name(const devnode& node) { return group_prefixed_name(node, true); }

std::string group_path_name(const devnode& node) { return group_prefixed_name(node, false); }

std::string backslash_name(const devnode& node) {
    try {
        std::string out;
        auto chain = group_chain(node);
        for (size_t i = 1; i < chain.size(); ++i) {
            out += chain[i]->id;
            out += '\\';
        }
        out += node.id;
        return out;
    } catch (const std::bad_alloc&) {
        fatal("alloc_str() ran out of memory!");
    }
}

devtree* ancestor_group(const devnode& node, int depth) {
    int len = 0;
    for (const devtree* g = node.parent; g; g = g->parent) ++len;
    if (depth < 1 || depth > len) return nullptr;
    devtree* g = node.parent;
    for (int i = len; i > depth; --i) g = g->parent;
    return g;
}

// ---------------------------------------------------------------------------
// Releasing

void free_devnode(std::unique_ptr<devnode> node) { node.reset(); }

void free_devnode_list(devnode_list& list) { list.clear(); }

void free_devtree(devtree_list& tree) { tree.clear(); }

void free_no_state(devnode& node) {
    if (node.state_tag != state_tag_none) fatal("free_no_state(): Assertion failed");
    node.state.reset();
}

void free_clinfo(clinfo_list& list) { list.clear(); }

void prune_done(devtree_list& tree) { prune_list(tree); }

void carry_over(devtree_list& old_tree, devtree_list& new_tree) { carry_list(old_tree, new_tree); }

}  // namespace zp
