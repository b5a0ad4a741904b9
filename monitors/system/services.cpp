// services.cpp - the "scm" scanner: services and their states.
#include <string>
#include <vector>

#include "core/log.h"
#include "monitors/system/services_os.h"
#include "monitors/system/system.h"

namespace zp {

namespace {

constexpr uint32_t service_running = 4;

// The state numbers of the server's service states.
uint32_t state_number(const std::string& active_state) {
    if (active_state == "inactive" || active_state == "failed") return 1;
    if (active_state == "activating") return 2;
    if (active_state == "deactivating") return 3;
    if (active_state == "active") return 4;
    if (active_state == "reloading") return 5;
    return 0;
}

const char* state_text(uint32_t state) {
    switch (state) {
    case 1: return "The service is stopped";
    case 2: return "The service is starting";
    case 3: return "The service is stopping";
    case 4: return "The service is running";
    case 5: return "The service is continuing";
    case 6: return "The service is pausing";
    case 7: return "The service is paused";
    default: return "Unknown service state";
    }
}

}  // namespace

err scan_services(devtree& root) {
    log(-1, "In scan_services");
    if (auto e = os::open_service_manager())
        return format_error("Error opening the Service Control Manager: %s", e.c_str());
    std::vector<os::service_unit> units;
    if (auto e = os::list_service_units(units)) {
        os::close_service_manager();
        return format_error("Error retriveing list of services: %s", e.c_str());
    }
    devnode_list list;
    for (const auto& u : units) {
        log(-1, "Reporting service %s", u.name.c_str());
        auto n = alloc_devnode();
        n->id = u.name;
        n->name = u.description.empty() ? u.name : u.description;
        n->comment = state_text(state_number(u.active_state));
        n->type = type_enum;
        n->description = 18;
        list.push_back(std::move(n));
    }
    if (list.empty()) return {};
    devtree* g = devtree_child(root, "scm", "Services");
    if (!g) return err::text("Couldn't allocate devtree_child scm");
    g->name_template = "Service %0r";
    add_devnodes(*g, std::move(list));
    return {};
}

err check_service(devnode& node, resnode* res) {
    if (auto e = os::open_service_manager())
        return format_error("Error opening the Service Control Manager: %s", e.c_str());
    std::string handle, active;
    if (auto e = os::open_service(node.id, handle)) return format_error("Error opening the service: %s", e.c_str());
    if (auto e = os::query_service_state(handle, active)) {
        os::close_service_manager();
        return format_error("Error getting service status: %s", e.c_str());
    }
    uint32_t state = state_number(active);
    res->ivalue = state == service_running ? 1 : 0;
    set_result_text(*res, state_text(state));
    return {};
}

}  // namespace zp
