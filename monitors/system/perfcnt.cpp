// perfcnt.cpp - the "perf" scanner: every counter of every performance object
// the host offers at the configured detail level, each a real-valued check.
#include <cstring>

#include "core/config.h"
#include "core/log.h"
#include "devtree/scan.h"
#include "monitors/counters/counters.h"
#include "monitors/system/perf.h"

namespace zp {

namespace {

constexpr uint32_t display_mask = 0xF0000000;
constexpr uint32_t display_per_sec = 0x10000000;
constexpr uint32_t display_percent = 0x20000000;
constexpr uint32_t display_seconds = 0x30000000;

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool ends_with_nocase(std::string_view s, std::string_view tail) {
    if (s.size() < tail.size()) return false;
    s.remove_prefix(s.size() - tail.size());
    for (size_t i = 0; i < tail.size(); ++i)
        if (lower(s[i]) != lower(tail[i])) return false;
    return true;
}

// A word of the id (at its start or after a space) begins with "Bytes", in
// any case.
bool has_bytes_word(std::string_view id) {
    for (size_t i = 0; i < id.size(); ++i) {
        if (i > 0 && id[i - 1] != ' ') continue;
        if (id.size() - i >= 5 && ends_with_nocase(id.substr(i, 5), "bytes")) return true;
    }
    return false;
}

// The size of a list handed over as a multi-string (each name and its NUL,
// then the closing NUL), as the enumeration logs it.
int multi_string_size(const std::vector<std::string>& list) {
    size_t n = 1;
    for (const auto& s : list) n += s.size() + 1;
    return static_cast<int>(n);
}

// The devnodes of one object instance (or of the object, without instance):
// every counter that can be added, with the unit of its type.
devnode_list retrieve_counters(const std::string& object, const std::vector<std::string>& counters,
                               const char* instance) {
    devnode_list out;
    for (const auto& name : counters) {
        std::string path = instance ? strprintf("\\%s(%s)\\%s", object.c_str(), instance, name.c_str())
                                    : strprintf("\\%s\\%s", object.c_str(), name.c_str());
        if (path.size() > 2047) path.resize(2047);
        auto c = create_counter(object.c_str(), instance, name.c_str(), false);
        if (!c) {
            log(-1, "Counter :     %s, PdhAddCounter() failed", path.c_str());
            continue;
        }
        counter_info info;
        const bool has_info = !get_counter_info(*c, info);
        if (!has_info) log(1, "Error retrieving unit for PerfCnt: %s", path.c_str());
        char english[128];
        std::string id;
        if (translate_counter_name_to_english(english, sizeof english, name.c_str())) {
            id = english;
        } else {
            log(1, "Creating counter with national name : %s", name.c_str());
            id = name;
        }
        auto n = alloc_devnode();
        n->id = id;
        n->type = type_real_continuous;
        n->unit = perf_counter_unit(id, has_info, info.type);
        n->description = 19;
        log(-1, "Counter :     %s, %s, type=0x%08x", n->id.c_str(), n->unit.c_str(), has_info ? info.type : 0u);
        out.push_back(std::move(n));
        free_counter(std::move(c));
    }
    return out;
}

}  // namespace

std::string perf_counter_unit(std::string_view id, bool has_type, uint32_t type) {
    if (id.size() >= 4 && ends_with_nocase(id, "(ms)")) return "ms";
    if (id.size() >= 4 && ends_with_nocase(id, "(KB)")) return "kB";
    if (has_type) {
        switch (type & display_mask) {
        case display_per_sec: return has_bytes_word(id) ? "B/s" : "/s";
        case display_percent: return "1%";
        case display_seconds: return "s";
        default: break;
        }
    }
    if (has_bytes_word(id)) return "B";
    return "";
}

std::vector<std::string> instance_labels(const std::vector<std::string>& names) {
    std::vector<std::string> out;
    out.reserve(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        int earlier = 0;
        for (size_t j = 0; j < i; ++j)
            if (names[j] == names[i]) ++earlier;
        std::string label = earlier ? strprintf("%s#%d", names[i].c_str(), earlier) : names[i];
        if (label.size() > 127) label.resize(127);
        out.push_back(std::move(label));
    }
    return out;
}

err scan_perfcnts(devtree& root) {
    const uint32_t level = the_config().perf_cnt_level;
    log(-1, "In scan_perfcnts, detail level=%d", static_cast<int>(level));
    std::vector<std::string> objects;
    if (auto e = enum_objects(level, objects))
        return format_error("Error getting size for performance counter objects: %s", e.c_str());
    if (objects.empty()) return err::text("No performance counter objects found (objsize == 0)");
    log(-1, "Allocating %d bytes in scan_perfcnts", multi_string_size(objects));

    devtree* perf = nullptr;
    std::vector<std::string> counters, instances;
    for (const auto& object : objects) {
        if (object.empty()) break;
        log(-1, "Object  : %s", object.c_str());
        (void)enum_object_items(object.c_str(), level, counters, instances);
        if (counters.empty()) log(-1, "counter_size is zero, setting to 1");
        if (instances.empty()) log(-1, "instance_size is zero, setting to 1");
        log(-1, "Allocating %d bytes for counters in scan_perfcnts", counters.empty() ? 1 : multi_string_size(counters));
        log(-1, "Allocating %d bytes for instances in scan_perfcnts",
            instances.empty() ? 1 : multi_string_size(instances));
        if (counters.empty()) continue;
        if (!perf) {
            perf = devtree_child(root, "perf", "Performance Counters");
            if (!perf) return err::text("Couldn't allocate devtree_child perf");
        }
        char english[128];
        std::string group_id = object;
        if (translate_counter_name_to_english(english, sizeof english, object.c_str()))
            group_id = english;
        else
            log(1, "Creating object with national name : %s", object.c_str());

        if (instances.empty()) {
            devnode_list list = retrieve_counters(object, counters, nullptr);
            if (list.empty()) continue;
            devtree* g = devtree_child(*perf, group_id, group_id);
            if (!g) return err::text("Couldn't allocate devtree_child perf");
            g->name_template = "Performance counter \\%1l\\%2l";
            add_devnodes(*g, std::move(list));
            continue;
        }
        devtree* og = nullptr;
        for (const auto& label : instance_labels(instances)) {
            log(-1, "Instance:   %s", label.c_str());
            devnode_list list = retrieve_counters(object, counters, label.c_str());
            if (list.empty()) continue;
            if (!og) {
                og = devtree_child(*perf, group_id, group_id);
                if (!og) return err::text("Couldn't allocate devtree_child perf");
                og->flags |= 1;
                og->name_template = "Performance counter \\%1l(%2l)\\%3l";
            }
            devtree* ig = devtree_child(*og, label, label);
            if (!ig) return err::text("Couldn't allocate devtree_child perf");
            add_devnodes(*ig, std::move(list));
        }
    }
    return {};
}

err check_perfcnt(devnode& node, resnode* res) {
    counter_state* c = attached_counter(node);
    if (!c) {
        log(-1, "Creating counter: \"%s\"", node.id.c_str());
        // An object group sits right below the top-level group; an instance
        // group below its object group.
        const devtree* g = node.parent;
        if (!g || !g->parent) return err::text("Error creating new counter");
        const bool object_group = !g->parent->parent;
        const std::string& object = object_group ? g->id : g->parent->id;
        const char* instance = object_group ? nullptr : g->id.c_str();
        auto cs = create_english_counter(object.c_str(), instance, node.id.c_str(), true);
        if (!cs) cs = create_counter(object.c_str(), instance, node.id.c_str(), true);
        if (!cs) return err::text("Error creating new counter");
        attach_counter_state(node, std::move(cs));
        c = attached_counter(node);
    }
    double v = -1.0;
    err e = get_counter_value(*c, v);
    if (!e) {
        res->dvalue = v;
        return {};
    }
    if (is_no_counters(e)) {
        // The instance went away: start afresh on the next run.
        node.release_state(node);
        node.state.reset();
        node.release_state = free_no_state;
        node.state_tag = state_tag_none;
        return format_error("Get value for counter failed and caused reset of counter state: %s", e.c_str());
    }
    return format_error("Could not get counter value: %s", e.c_str());
}

void register_perf_scanners() {
    register_scanner("perf", scan_perfcnts, check_perfcnt);
    register_scanner("ifthrough", scan_ifthroughput, check_ifthrough);
    register_scanner("ifevents", nullptr, check_ifthrough);
    register_scanner("block", scan_block_devices, check_block_device);
}

}  // namespace zp
