// test_mode.cpp - the administrator's test mode: print the scan tree, run one
// check of it.
#include "agent/test_mode.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "core/err.h"
#include "devtree/check.h"
#include "devtree/scan.h"

namespace zp {

namespace {

void append_group(std::string& out, const devtree& g, int depth) {
    std::string indent(static_cast<size_t>(depth) * 2, ' ');
    out += indent + g.id;
    if (g.name) out += "  \"" + *g.name + "\"";
    out += '\n';
    for (const auto& c : g.checks) {
        out += strprintf("%s  - %s  \"%s\"  type %u", indent.c_str(), c->id.c_str(), c->name.c_str(), c->type);
        if (!c->unit.empty()) out += "  unit \"" + c->unit + "\"";
        if (c->has_range) out += strprintf("  range %g .. %g", c->range_low, c->range_high);
        out += '\n';
    }
    // The scan builds no deeper trees than readers of server trees accept.
    if (depth + 1 >= devtree_max_depth) return;
    for (const auto& child : g.children) append_group(out, *child, depth + 1);
}

devnode* find_in(devtree& g, std::string_view rest, int depth) {
    for (auto& c : g.checks)
        if (c->id == rest) return c.get();
    if (depth + 1 >= devtree_max_depth) return nullptr;
    for (auto& child : g.children) {
        const std::string& id = child->id;
        if (rest.size() > id.size() && rest.substr(0, id.size()) == id && rest[id.size()] == '/')
            if (devnode* n = find_in(*child, rest.substr(id.size() + 1), depth + 1)) return n;
    }
    return nullptr;
}

const char* status_name(uint32_t status) {
    switch (status) {
    case status_ok: return "ok";
    case status_warning: return "warning";
    case status_alert: return "alert";
    default: return "error";
    }
}

// One run of the check: the result it made, or null when there is none this
// time. Scanners that queue their own results leave them on the check.
std::unique_ptr<resnode> run_once(devnode& node) {
    if (auto res = check_device(node)) return res;
    return node.results.pop_front();
}

}  // namespace

std::string scan_tree_text(const devtree_list& tree) {
    std::string out;
    for (const auto& g : tree) append_group(out, *g, 0);
    return out;
}

devnode* find_check_path(devtree_list& tree, std::string_view path) {
    for (auto& g : tree) {
        const std::string& id = g->id;
        if (path.size() > id.size() && path.substr(0, id.size()) == id && path[id.size()] == '/')
            if (devnode* n = find_in(*g, path.substr(id.size() + 1), 1)) return n;
    }
    return nullptr;
}

int test_scan() {
    devtree_list tree = hardware_scan();
    std::fputs(scan_tree_text(tree).c_str(), stdout);
    return 0;
}

int test_check(const std::string& path) {
    devtree_list tree = hardware_scan();
    devnode* node = find_check_path(tree, path);
    if (!node) {
        std::fprintf(stderr, "Error: No check \"%s\" in the scan tree\n", path.c_str());
        return 1;
    }
    // The status the value would have with no thresholds configured.
    node->cont = {-1, -1, -1, -1};
    node->real = {-1, -1, -1, -1};
    node->warn_mask = node->alert_mask = 0;

    auto res = run_once(*node);
    if (!res || res->status == status_error) {
        // A rate counter needs a second sample: until then it gives nothing or
        // says so in an error.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        res = run_once(*node);
    }
    if (!res) {
        std::fputs("no result\n", stdout);
        return 0;
    }
    auto text = res->text();
    if (res->status == status_error) {
        std::fprintf(stderr, "Error: %s\n", text ? std::string(*text).c_str() : "failed");
        return 1;
    }
    std::string out = node->type == type_real_continuous ? strprintf("value: %g\n", res->dvalue)
                                                         : strprintf("value: %d\n", res->ivalue);
    if (text) out += "text: " + std::string(*text) + "\n";
    if (auto log_text = res->log_text()) out += "log text: " + std::string(*log_text) + "\n";
    out += strprintf("status: %s\n", status_name(res->status));
    std::fputs(out.c_str(), stdout);
    return 0;
}

}  // namespace zp
