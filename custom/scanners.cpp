// scanners.cpp - the "custom" and "action" scanners: offering the definitions
// to the server as checks, and running them.
#include "core/config.h"
#include "core/log.h"
#include "custom/custom.h"
#include "custom/run.h"
#include "devtree/scan.h"

namespace zp {

namespace {

uint32_t devnode_type(int32_t type) {
    switch (type) {
    case custom_boolean: return 3;
    case custom_integer: return type_continuous;
    default: return type_real_continuous;
    }
}

template <typename T>
T* find_by_name(std::vector<T>& list, const std::string& name) {
    for (auto& d : list)
        if (d.name == name) return &d;
    return nullptr;
}

}  // namespace

custom_check_list& custom_checks() {
    static custom_check_list list;
    return list;
}

agent_action_list& agent_actions() {
    static agent_action_list list;
    return list;
}

err scan_custom(devtree& root) {
    log(0, "Scanning custom checks");
    custom_checks().clear();
    if (const auto& path = the_config().custom_chk_conf) {
        if (auto e = read_custom_checks(*path, custom_checks())) log(3, "Cannot read custom checks: %s", e.c_str());
    }
    devnode_list nodes;
    for (const auto& d : custom_checks()) {
        auto n = alloc_devnode();
        n->id = d.name;
        n->name = d.name;
        if (d.unit) n->unit = *d.unit == "%" ? "1%" : *d.unit;
        n->type = devnode_type(d.type);
        n->description = 21;
        nodes.push_back(std::move(n));
    }
    devtree* g = devtree_child(root, "custom", "Custom AgentChecks");
    if (g) {
        g->name_template = "Custom check %0r";
        add_devnodes(*g, std::move(nodes));
    }
    log(0, "Scan of custom checks complete");
    return {};
}

err scan_action(devtree& root) {
    agent_actions().clear();
    if (const auto& path = the_config().actions_conf) {
        if (auto e = read_agent_actions(*path, agent_actions())) log(3, "Cannot read AgentActions: %s", e.c_str());
    }
    devnode_list nodes;
    for (const auto& a : agent_actions()) {
        auto n = alloc_devnode();
        n->id = a.name;
        n->name = a.name;
        n->type = type_action;
        nodes.push_back(std::move(n));
    }
    devtree* g = devtree_child(root, "action", "AgentActions");
    if (g) {
        g->name_template = "AgentAction %0r";
        add_devnodes(*g, std::move(nodes));
    }
    return {};
}

err check_custom(devnode& node, resnode* result) {
    custom_check* c = find_by_name(custom_checks(), node.id);
    if (!c) return format_error("Cannot find custom check name \"%s\"", node.id.c_str());
    if (!result) return err::text("No result record for custom check");
    log(0, "Executing custom check %s", c->name.c_str());
    return run_custom_check(*c, *result);
}

err check_action(devnode& node, resnode* result) {
    agent_action* a = find_by_name(agent_actions(), node.id);
    if (!a) return format_error("Cannot find AgentAction with the name \"%s\"", node.id.c_str());
    log(1, "Executing AgentAction %s", a->name.c_str());
    err e = run_detached(a->command);
    if (result) {
        result->ivalue = e ? 0 : 1;
        set_result_text(*result, e ? e.message() : "Success");
    }
    if (e) log(2, "AgentAction %s failed with error: %s", a->name.c_str(), e.c_str());
    return {};
}

void register_custom_scanners() {
    register_scanner("custom", scan_custom, check_custom);
    register_scanner("action", scan_action, check_action);
}

}  // namespace zp
