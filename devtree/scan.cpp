// scan.cpp - the scanner table and the hardware scan driver.
#include "devtree/scan.h"

#include <array>
#include <string>

#include <spdlog/spdlog.h>

#include "core/agent.h"
#include "core/config.h"
#include "core/log.h"

namespace zp {

namespace {

err not_available(devnode& node, resnode*) {
    devtree* top = ancestor_group(node, 1);
    return format_error("Scanner %s is not available in this build", top ? top->id.c_str() : "?");
}

err ifevents_check(devnode& node, resnode* result);

constexpr size_t ifthrough_index = 5;

std::array<scanner, 16> table = {{
    {"fs", nullptr, not_available, 0},
    {"mem", nullptr, not_available, 0},
    {"system", nullptr, not_available, 0},
    {"proc", nullptr, not_available, 0},
    {"smart", nullptr, not_available, 0},
    {"ifthrough", nullptr, not_available, 0},
    {"ifevents", nullptr, ifevents_check, 0},
    {"custom", nullptr, not_available, 0},
    {"log", nullptr, not_available, scanner_makes_results},
    {"scm", nullptr, not_available, 0},
    {"perf", nullptr, not_available, 0},
    {"action", nullptr, not_available, 0},
    {"safte", nullptr, not_available, 0},
    {"ipmisens", nullptr, not_available, 0},
    {"csmiplus", nullptr, not_available, 0},
    {"block", nullptr, not_available, 0},
}};

// Interface events and interface throughput are read by the same operation.
err ifevents_check(devnode& node, resnode* result) { return table[ifthrough_index].check(node, result); }

// Tokens of "disable_checks": runs of "," and " " separate them.
bool disabled_by(const std::string& list, std::string_view name) {
    size_t i = 0;
    while (i < list.size()) {
        while (i < list.size() && (list[i] == ',' || list[i] == ' ')) ++i;
        size_t j = i;
        while (j < list.size() && list[j] != ',' && list[j] != ' ') ++j;
        if (j > i) {
            std::string_view tok(list.data() + i, j - i);
            if (tok == name || tok == "*") return true;
        }
        i = j;
    }
    return false;
}

void log_devices_info(const char* text) {
    if (auto lg = spdlog::get("devices"))
        lg->info(text);
    else
        log(1, "%s", text);
}

// The scan root's children become top-level groups of their own tree.
devtree_list take_children(devtree& root) {
    devtree_list out = std::move(root.children);
    for (auto& g : out) g->parent = nullptr;
    return out;
}

}  // namespace

std::span<scanner> scanner_table() { return table; }

scanner* find_scanner(std::string_view name) {
    for (auto& s : table)
        if (name == s.name) return &s;
    return nullptr;
}

bool register_scanner(std::string_view name, scan_fn scan, check_fn check) {
    scanner* s = find_scanner(name);
    if (!s) return false;
    if (name == "ifevents") return true;  // always follows "ifthrough"
    s->scan = scan;
    s->check = check ? check : not_available;
    return true;
}

err build_fake_tree(devtree& root, int32_t count) {
    devtree* mem = devtree_child(root, "mem", "Free Memory");
    if (!mem) return err::text("Couldn't allocate devtree_child mem");
    devnode_list items;
    for (int32_t n = 1; n <= count; ++n) {
        auto d = alloc_devnode();
        d->id = strprintf("fakephys%i", n);
        d->name = strprintf("Faked physical memory %i", n);
        d->comment = strprintf("Faked Physical memory for regression test use. Number %i", n);
        d->type = type_continuous;
        d->unit = "kB";
        d->description = 2;
        items.push_back(std::move(d));
    }
    add_devnodes(*mem, std::move(items));
    return {};
}

devtree_list hardware_scan() {
    log_devices_info("Starting hardware scan");
    devtree root;
    const auto& st = startup();
    if (st.regression_test) {
        if (err e = build_fake_tree(root, st.fake_memory_items)) log(2, "REGRESS ERROR: %s", e.c_str());
        return take_children(root);
    }
    if (st.fake_results) return {};
    const auto& disable = the_config().disable_checks;
    const bool have_disable = disable && !disable->empty();
    for (auto& s : table) {
        if (have_disable) {
            if (disabled_by(*disable, s.name)) {
                s.flags |= scanner_disabled;
                log(2, "Scanning of %s disabled by configuration", s.name);
                continue;
            }
            s.flags &= ~scanner_disabled;
        }
        if (s.scan) {
            log(-1, "Scanning %s", s.name);
            if (err e = s.scan(root)) log(2, "scan[%s]: %s", s.name, e.c_str());
        }
    }
    return take_children(root);
}

}  // namespace zp
