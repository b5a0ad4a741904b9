// test_mode.h - the administrator's test mode: the hardware scan tree as an
// indented list (--scan) and one check of it run on the spot (--check), with
// no server, no log file and no variables file. Main thread only.
#pragma once

#include <string>
#include <string_view>

#include "devtree/devtree.h"

namespace zp {

// The tree as text: one line per group ("<id>" and, when it has one, "  <name>"
// in quotes), its checks below it ("- <id>  \"<name>\"  type <n>", then
// "  unit \"<unit>\"" when there is a unit and "  range <low> .. <high>" when
// the item has a range), each level indented by two blanks.
std::string scan_tree_text(const devtree_list& tree);

// The check at `path`: the ids of its groups from the top-level group down and
// its own id, joined by "/". Ids may themselves hold "/" (mount points, the
// log file groups), so every way of splitting the path is tried in tree
// order. Null when there is none. The check stays owned by the tree.
devnode* find_check_path(devtree_list& tree, std::string_view path);

// --scan: runs the hardware scan and prints the tree on standard output.
// Returns 0.
int test_scan();

// --check: runs the hardware scan, then the check at `path` with every
// threshold off; when it yields no result or an error (a rate counter's
// first sample does) it runs again a second later and that run counts. Prints "value: ", "text: ", "log text: " (those
// the result has) and "status: " lines on standard output and returns 0; an
// error result, or a path that names no check, goes to standard error as
// "Error: <text>" and returns 1.
int test_check(const std::string& path);

}  // namespace zp
