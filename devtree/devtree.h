// devtree.h - the device tree: check groups, checks (devnode) with their result
// queues (resnode), the log rule records of advanced log checks, the client
// information list, and the process-wide result memory budget.
//
// Ownership: a tree is a devtree_list of top-level groups owned by whoever made
// it (the scan, registration, check-in). A group owns its checks and its child
// groups; a check owns its results, its lognode and its per-check state.
// `parent` pointers are borrowed. Everything here belongs to the main thread,
// except the budget counter, which may be read from any thread.
//
// Allocation failures of these records are fatal, with a message naming the
// allocator ("alloc_devnode() ran out of memory!").
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zp {

// Owned by the log rule module; the device tree only holds them.
struct log_cond;
class pattern;

struct devtree;
struct devnode;
class resnode;

using devtree_list = std::vector<std::unique_ptr<devtree>>;
using devnode_list = std::vector<std::unique_ptr<devnode>>;

// Result status values.
inline constexpr uint32_t status_ok = 0;
inline constexpr uint32_t status_warning = 1;
inline constexpr uint32_t status_alert = 2;
inline constexpr uint32_t status_error = 3;

// Check types that the engine and the loop treat specially.
inline constexpr uint32_t type_continuous = 0;
inline constexpr uint32_t type_enum = 1;
inline constexpr uint32_t type_uptime = 4;
inline constexpr uint32_t type_log = 6;
inline constexpr uint32_t type_real_continuous = 7;
inline constexpr uint32_t type_action = 8;
inline constexpr uint32_t type_adv_log = 9;
inline constexpr uint32_t type_csmi = 14;

// True for the bitmap check types (1, 2, 3, 5, 10 to 13); any type above 13
// is not a bitmap.
bool is_bitmap_type(uint32_t type);

// Per-check state tags: the owner of a check's `state`.
inline constexpr uint32_t state_tag_none = 23;
inline constexpr uint32_t state_tag_regression = 0x46414B45;  // "EKAF" in memory order
inline constexpr uint32_t state_tag_fake_results = 64110;
inline constexpr uint32_t state_tag_log = 0x414C4F47;
inline constexpr uint32_t state_tag_counter = 0x54AD8921;

// Text limits of results: longer texts are cut, the budget keeps the full size.
inline constexpr size_t result_text_max = 255;
inline constexpr size_t result_log_text_max = 65535;

// Deepest nesting of groups that readers of untrusted trees accept; the
// recursive operations below rely on it.
inline constexpr int devtree_max_depth = 256;

// ---------------------------------------------------------------------------
// Log rules of an advanced log check (type 9).

struct logrule {
    std::shared_ptr<log_cond> condition;
    int32_t decision = 0;
    int32_t status = 0;
    std::optional<std::string> destination;  // forward check identifier or alert group id
    devnode* destination_check = nullptr;    // resolved forward target, borrowed
};

struct lognode {
    std::shared_ptr<pattern> separator;  // absent when the separator text is empty
    int32_t inclusion_mode = 0;
    int64_t warn_silence_limit = -1;     // seconds, -1 off
    int64_t alert_silence_limit = -1;    // seconds, -1 off
    std::vector<std::unique_ptr<logrule>> rules;  // in the server's order
};

// ---------------------------------------------------------------------------
// One result, made by alloc_resnode. Counted in the result memory budget from
// construction to destruction: 80 bytes plus the full sizes of its text and log
// text. Neither copyable nor movable, so the count stays with the record. The
// scalar fields are plain; the texts are kept in one compact block (alert group
// names are shared between results) and read through the accessors, so that a
// result never uses more memory than the budget charges for it.
class resnode {
public:
    resnode();
    ~resnode();
    resnode(const resnode&) = delete;
    resnode& operator=(const resnode&) = delete;

    int64_t time = 0;     // seconds since 1970
    double dvalue = 0;    // real continuous checks
    int32_t ivalue = 0;   // continuous and bitmap checks
    uint32_t status = 0;  // status_ok .. status_error

    // Error text or comment, at most 255 bytes; absent when never set.
    std::optional<std::string_view> text() const;
    uint64_t text_size() const;  // length as set (before the cut)
    // Log entry text, at most 65535 bytes; absent when never set.
    std::optional<std::string_view> log_text() const;
    uint64_t log_text_size() const;
    // Alert group of a log result; absent when never set.
    std::optional<std::string_view> alert_group() const;
    void set_alert_group(std::string_view group);

    // Next result of the same check (older to newer); null at the tail.
    resnode* next() const { return next_.get(); }

private:
    friend class result_queue;
    friend void set_result_text(resnode& res, std::string_view text);
    friend void set_result_log_text(resnode& res, std::string_view text);

    struct text_parts;
    text_parts parts() const;
    void store(const text_parts& p);

    std::unique_ptr<resnode> next_;
    std::unique_ptr<char[]> block_;  // flags, sizes, then the texts
};

// The results of one check, oldest first; appending is constant time. Owns its
// results; destroying a long queue does not recurse.
class result_queue {
public:
    result_queue() = default;
    ~result_queue() { clear(); }
    result_queue(result_queue&& o) noexcept;
    result_queue& operator=(result_queue&& o) noexcept;

    bool empty() const { return !head_; }
    size_t size() const { return count_; }
    resnode* front() const { return head_.get(); }
    resnode* back() const { return tail_; }

    void push_back(std::unique_ptr<resnode> res);
    std::unique_ptr<resnode> pop_front();  // null when empty
    void clear();

    struct iterator {
        using iterator_category = std::forward_iterator_tag;
        using value_type = resnode;
        using difference_type = std::ptrdiff_t;
        using pointer = resnode*;
        using reference = resnode&;
        resnode* p = nullptr;
        resnode& operator*() const { return *p; }
        resnode* operator->() const { return p; }
        iterator& operator++() { p = p->next(); return *this; }
        iterator operator++(int) { iterator t = *this; p = p->next(); return t; }
        bool operator==(const iterator&) const = default;
    };
    iterator begin() const { return {head_.get()}; }
    iterator end() const { return {}; }

private:
    std::unique_ptr<resnode> head_;
    resnode* tail_ = nullptr;
    size_t count_ = 0;
};

// ---------------------------------------------------------------------------
// Per-check state: what a check operation keeps between runs. The owner derives
// its record from check_state, sets `release_state` to its own release
// operation and `state_tag` to its tag, and checks the tag on every later use.
struct check_state {
    virtual ~check_state() = default;
};

using release_state_fn = void (*)(devnode&);

struct int_thresholds {
    int32_t warn_low = 0, warn_high = 0, alert_low = 0, alert_high = 0;  // negative: off
};
struct real_thresholds {
    double warn_low = 0, warn_high = 0, alert_low = 0, alert_high = 0;  // negative: off
};

// One monitored item and its check.
struct devnode {
    devnode();
    ~devnode();  // releases the state through release_state
    devnode(const devnode&) = delete;
    devnode& operator=(const devnode&) = delete;

    std::string id;
    std::optional<std::string> identifier;  // the server's identifier (configured tree)
    std::string name;
    std::string comment;
    std::string unit;
    uint32_t type = 0;

    // Type-dependent block: integer thresholds (continuous and every type that is
    // neither a bitmap nor type 7), masks (bitmaps), real thresholds (type 7), and
    // the value range of scan tree items.
    int_thresholds cont;
    uint32_t warn_mask = 0;
    uint32_t alert_mask = 0;
    real_thresholds real;
    int32_t has_range = 0;
    double range_low = 0;
    double scan_value = 0;
    double range_high = 0;

    uint32_t description = 0;
    int32_t frequency = 0;  // seconds between runs
    devtree* parent = nullptr;  // borrowed

    result_queue results;
    int64_t next_due = 0;  // 0: never run
    std::unique_ptr<zp::lognode> lognode;  // rules of an advanced log check, may be absent

    std::unique_ptr<check_state> state;
    release_state_fn release_state;  // free_no_state until an owner sets its own
    uint32_t state_tag = state_tag_none;
    int32_t in_evaluation = 0;  // set while this check's log rules run

    // Position of this check in the scheduler (not part of the configuration).
    uint32_t sched_index = UINT32_MAX;
};

// One check group.
struct devtree {
    std::string id;
    std::optional<std::string> name;
    const char* name_template = nullptr;  // a constant, may be null
    uint32_t flags = 0;
    devnode_list checks;
    devtree_list children;
    devtree* parent = nullptr;  // borrowed; null for a top-level group
};

// One line of the client information list; `value` is absent for a heading.
struct clinfo {
    std::string label;
    std::optional<std::string> value;
};
using clinfo_list = std::vector<clinfo>;

// ---------------------------------------------------------------------------
// Allocation.

std::unique_ptr<devnode> alloc_devnode();
std::unique_ptr<resnode> alloc_resnode();
std::unique_ptr<lognode> alloc_lognode();
std::unique_ptr<logrule> alloc_logrule();
clinfo alloc_clinfo();

// Building trees.

// The child group of `parent` with exactly this id, or a new one appended at the
// end of its children (the name is used only for a new group). Null only when
// memory runs out; the parent is then unchanged.
devtree* devtree_child(devtree& parent, std::string_view id, std::optional<std::string_view> name);
// The same for a top-level group of `tree` (its parent stays null).
devtree* devtree_child(devtree_list& tree, std::string_view id, std::optional<std::string_view> name);

// Puts `list` in front of the group's checks, keeping its order, and makes
// `group` their parent.
void add_devnodes(devtree& group, devnode_list list);
void add_devnodes(devtree& group, std::unique_ptr<devnode> node);

// Appends `rule` to the rule list; a null lognode is fatal.
void add_logrule(lognode* log, std::unique_ptr<logrule> rule);

// Texts on results.

// Sets the result's text: counts its full length in the budget (releasing the
// count of a previous text) and cuts it to 255 bytes, logging
// "Truncating error description" at level 2 when it was 256 or longer.
void set_result_text(resnode& res, std::string_view text);
// The same for the log text, cut to 65535 bytes.
void set_result_log_text(resnode& res, std::string_view text);

// Appends `res` at the tail of the check's queue.
void append_result(devnode& node, std::unique_ptr<resnode> res);

int64_t result_budget_limit();  // 6,710,886 bytes
int64_t result_budget_used();

// Names of an item.

// Group ids from the top-level group down, then the item's id, joined by ".",
// each "\\" and "." inside an id escaped with "\\"; at most 2047 bytes.
std::string dotted_name(const devnode& node);
// The same escaped group prefix (each followed by ".") and the item's id as it is.
std::string group_path_name(const devnode& node);
// Ids of the groups below the top-level group, then the item's id, joined by "\\".
std::string backslash_name(const devnode& node);
// The group at `depth` on the item's chain (1: top-level), or null.
devtree* ancestor_group(const devnode& node, int depth);

// Releasing. Destroying the owner releases everything as well; these are the
// named operations for the places that release explicitly.

void free_devnode(std::unique_ptr<devnode> node);
void free_devnode_list(devnode_list& list);
void free_devtree(devtree_list& tree);
// The default release_state: fatal "free_no_state(): Assertion failed" when the
// state tag is not state_tag_none.
void free_no_state(devnode& node);
void free_clinfo(clinfo_list& list);

// Removes every check that has run (next_due nonzero), then every group left
// without checks and children.
void prune_done(devtree_list& tree);

// Moves the result queues and per-check states of the old tree's checks to the
// matching checks of the new tree (same ids at the same place); the old checks
// are left with empty queues and no state. next_due is not carried.
void carry_over(devtree_list& old_tree, devtree_list& new_tree);

}  // namespace zp
