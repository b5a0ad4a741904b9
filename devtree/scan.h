// scan.h - the scanner table: one entry per kind of monitored thing, with the
// operation that finds what the host has (scan) and the one that runs one
// configured check (check); and the hardware scan that asks every scanner.
//
// Scan contract: `scan(root)` adds the scanner's top-level group (named as its
// table entry) under `root` with devtree_child, and its items with alloc_devnode
// and add_devnodes; it keeps no reference to the tree. An error text is logged
// by the driver and the other scanners still run; what was added stays.
//
// Check contract: `check(node, result)` runs one configured check whose
// top-level group is the scanner's. `result` is a fresh record (time = now,
// status 0) that the operation fills (ivalue, dvalue, log text or text), or null
// for scanners that make their own results (flag scanner_makes_results), which
// append to the check's queue themselves. It returns none (success: the engine
// evaluates), an error text (an error result), or err::no_result() (nothing
// this time). State kept between runs goes in the devnode's `state` under the
// operation's own tag.
//
// The table belongs to the main thread. Modules fill their entries at start-up
// with register_scanner; until then an entry has no scan operation and its
// check reports that the scanner is not available in this build.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/err.h"
#include "devtree/devtree.h"

namespace zp {

using scan_fn = err (*)(devtree& root);
using check_fn = err (*)(devnode& node, resnode* result);

inline constexpr uint32_t scanner_makes_results = 0x1;
inline constexpr uint32_t scanner_disabled = 0x8000;

struct scanner {
    const char* name;
    scan_fn scan;    // null: nothing to scan
    check_fn check;  // never null
    uint32_t flags;
};

// The 16 entries in their fixed order.
std::span<scanner> scanner_table();

// The entry named `name` (first in table order), or null.
scanner* find_scanner(std::string_view name);

// Fills the entry `name` with a module's operations (a null scan keeps the
// entry without one; a null check restores the "not available" check). Returns
// false for a name that is not in the table. "ifevents" always runs the check
// of "ifthrough".
bool register_scanner(std::string_view name, scan_fn scan, check_fn check);

// Runs the scan: the fake tree in regression-test mode, nothing in fake-results
// mode, else every scanner in table order, honouring "disable_checks". Returns
// the top-level groups of the new scan tree; the caller owns them.
devtree_list hardware_scan();

// The regression-test tree: group "mem" with `count` items "fakephys%i".
err build_fake_tree(devtree& root, int32_t count);

}  // namespace zp
