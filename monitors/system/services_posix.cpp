// services_posix.cpp - the unit manager over the system bus (sd-bus).
#include <systemd/sd-bus.h>

#include <cstdlib>
#include <cstring>

#include "monitors/system/services_os.h"

namespace zp::os {

namespace {

constexpr const char* manager_service = "org.freedesktop.systemd1";
constexpr const char* manager_path = "/org/freedesktop/systemd1";
constexpr const char* manager_iface = "org.freedesktop.systemd1.Manager";
constexpr const char* unit_iface = "org.freedesktop.systemd1.Unit";
// A unit manager that does not answer within this time counts as failed.
constexpr uint64_t call_timeout_us = 5'000'000;

sd_bus* bus = nullptr;  // main thread only

struct bus_error {
    sd_bus_error e{};  // the same as SD_BUS_ERROR_NULL
    ~bus_error() { sd_bus_error_free(&e); }
};
struct bus_message {
    sd_bus_message* m = nullptr;
    ~bus_message() { sd_bus_message_unref(m); }
};

err failure(int r, const bus_error& be) {
    if (be.e.message && *be.e.message) return err::text(be.e.message);
    return err::text(system_error_text(r < 0 ? -r : r));
}

int call(const char* path, const char* iface, const char* member, bus_error& be, bus_message& reply,
         const char* types = nullptr, const char* arg1 = nullptr, const char* arg2 = nullptr) {
    bus_message m;
    int r = sd_bus_message_new_method_call(bus, &m.m, manager_service, path, iface, member);
    if (r < 0) return r;
    if (types && arg2)
        r = sd_bus_message_append(m.m, types, arg1, arg2);
    else if (types)
        r = sd_bus_message_append(m.m, types, arg1);
    if (r < 0) return r;
    return sd_bus_call(bus, m.m, call_timeout_us, &be.e, &reply.m);
}

}  // namespace

err open_service_manager() {
    if (bus && sd_bus_is_open(bus) > 0) return {};
    close_service_manager();
    int r = sd_bus_open_system(&bus);
    if (r < 0) {
        bus = nullptr;
        return err::text(system_error_text(-r));
    }
    return {};
}

void close_service_manager() {
    if (bus) sd_bus_flush_close_unref(bus);
    bus = nullptr;
}

err list_service_units(std::vector<service_unit>& out) {
    bus_error be;
    bus_message reply;
    int r = call(manager_path, manager_iface, "ListUnits", be, reply);
    if (r < 0) return failure(r, be);
    r = sd_bus_message_enter_container(reply.m, SD_BUS_TYPE_ARRAY, "(ssssssouso)");
    if (r < 0) return failure(r, be);
    for (;;) {
        const char *name, *desc, *load, *active, *sub, *following, *path, *job_type, *job_path;
        uint32_t job_id;
        r = sd_bus_message_read(reply.m, "(ssssssouso)", &name, &desc, &load, &active, &sub, &following, &path,
                                &job_id, &job_type, &job_path);
        if (r < 0) return failure(r, be);
        if (r == 0) break;
        size_t n = std::strlen(name);
        // Only services; units that are referenced but not installed are not offered.
        if (n <= 8 || std::strcmp(name + n - 8, ".service") != 0 || std::strcmp(load, "not-found") == 0) continue;
        if (out.size() >= max_units) break;
        out.push_back({name, desc, active});
    }
    return {};
}

err open_service(const std::string& name, std::string& handle) {
    bus_error be;
    bus_message reply;
    int r = call(manager_path, manager_iface, "LoadUnit", be, reply, "s", name.c_str());
    if (r < 0) return failure(r, be);
    const char* path = nullptr;
    r = sd_bus_message_read(reply.m, "o", &path);
    if (r < 0) return failure(r, be);
    char* load = nullptr;
    r = sd_bus_get_property_string(bus, manager_service, path, unit_iface, "LoadState", &be.e, &load);
    if (r < 0) return failure(r, be);
    bool missing = std::strcmp(load, "not-found") == 0;
    std::free(load);
    if (missing) return err::text("Unit " + name + " not found.");
    handle = path;
    return {};
}

err query_service_state(const std::string& handle, std::string& active_state) {
    bus_error be;
    char* state = nullptr;
    int r = sd_bus_get_property_string(bus, manager_service, handle.c_str(), unit_iface, "ActiveState", &be.e, &state);
    if (r < 0) return failure(r, be);
    active_state = state;
    std::free(state);
    return {};
}

}  // namespace zp::os
