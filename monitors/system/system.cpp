// system.cpp - the "fs", "mem", "system" and "proc" scanners and checks.
#include "monitors/system/system.h"

#include <cmath>
#include <limits>
#include <vector>

#include "core/config.h"
#include "core/log.h"
#include "devtree/scan.h"
#include "monitors/counters/counters.h"
#include "monitors/counters/host_files.h"
#include "monitors/system/perf.h"
#include "monitors/system/system_os.h"
#include "monitors/system/system_parse.h"

namespace zp {

namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

int32_t clamp_int(double v) {
    if (!(v > 0)) return 0;
    if (v >= 2147483647.0) return INT32_MAX;
    return static_cast<int32_t>(v);
}

int32_t round_nearest(double v) { return clamp_int(std::floor(v + 0.5)); }

std::unique_ptr<devnode> make_node(const std::string& id, const std::string& name, const std::string& comment,
                                   uint32_t type, const char* unit, uint32_t description) {
    auto n = alloc_devnode();
    n->id = id;
    n->name = name;
    n->comment = comment;
    n->type = type;
    n->unit = unit;
    n->description = description;
    return n;
}

void set_range(devnode& n, double low, double value, double high) {
    n.has_range = 1;
    n.range_low = low;
    n.scan_value = value;
    n.range_high = high;
}

// ---------------------------------------------------------------------------
// Block devices of /sys/block: whole disks and their partitions, which share
// the disk's removable flag.

std::vector<block_device> read_block_devices() {
    std::vector<block_device> out;
    std::vector<std::string> disks, parts;
    if (list_host_dir("/sys/block", disks)) return out;
    std::string text;
    for (const auto& disk : disks) {
        std::string dir = "/sys/block/" + disk;
        block_device d;
        d.name = disk;
        if (read_host_file((dir + "/dev").c_str(), text, 64) || !parse_dev_number(text, d.major, d.minor)) continue;
        d.removable = !read_host_file((dir + "/removable").c_str(), text, 64) && !text.empty() && text[0] == '1';
        out.push_back(d);
        if (list_host_dir(dir.c_str(), parts)) continue;
        for (const auto& p : parts) {
            if (p.rfind(disk, 0) != 0) continue;
            block_device part = d;
            part.name = p;
            if (read_host_file((dir + "/" + p + "/dev").c_str(), text, 64) ||
                !parse_dev_number(text, part.major, part.minor))
                continue;
            out.push_back(part);
        }
    }
    return out;
}

err read_mem_status(mem_status& m) {
    static std::string text;
    if (read_host_file("/proc/meminfo", text, 1 << 20) || !parse_meminfo(text, m)) return err::text("unavailable");
    return {};
}

// ---------------------------------------------------------------------------
// The counters of the "system" checks, created on first use and kept.

counter_state* idle_counter(devnode& node) {
    if (counter_state* c = attached_counter(node)) return c;
    auto c = create_english_counter("System", nullptr, "% Total Processor Time", false);
    if (!c) c = create_english_counter("Processor", "_Total", "% Processor Time", false);
    attach_counter_state(node, std::move(c));
    return attached_counter(node);
}

counter_state* system_counter(devnode& node, const char* counter) {
    if (counter_state* c = attached_counter(node)) return c;
    attach_counter_state(node, create_english_counter("System", nullptr, counter, true));
    return attached_counter(node);
}

bool same_name(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

}  // namespace

void register_system_scanners() {
    register_scanner("fs", scan_fs, check_fs);
    register_scanner("mem", scan_meminfo, check_mem);
    register_scanner("system", scan_system, check_system);
    register_scanner("proc", scan_processes, check_process);
    register_scanner("scm", scan_services, check_service);
    register_perf_scanners();
}

// ---------------------------------------------------------------------------

err scan_fs(devtree& root) {
    log(2, "Scan mounts!");
    std::string text;
    if (auto e = read_host_file("/proc/self/mountinfo", text)) return e;
    std::vector<mount_entry> mounts = parse_mountinfo(text);
    std::vector<block_device> devices = read_block_devices();
    devnode_list found;
    for (const mount_entry* m : fixed_mounts(mounts, devices)) {
        uint64_t total = 0, avail = 0;
        if (os::disk_space(host_path(m->mount_point.c_str()), total, avail)) continue;
        auto n = make_node(m->mount_point, m->mount_point, "Fixed drive", type_real_continuous, "kB", 1);
        set_range(*n, 0, static_cast<double>(avail) / 1024, static_cast<double>(total) / 1024);
        log(-1, "Found drive %s", m->mount_point.c_str());
        found.push_back(std::move(n));
    }
    if (found.empty()) return {};
    devtree* g = devtree_child(root, "fs", "FS free space");
    if (!g) return err::text("Couldn't allocate devtree_child fs");
    g->flags |= 1;
    add_devnodes(*g, std::move(found));
    return {};
}

err check_fs(devnode& node, resnode* res) {
    uint64_t total = 0, avail = 0;
    if (auto e = os::disk_space(host_path(node.id.c_str()), total, avail)) return e;
    store_free_space(avail, *res);
    return {};
}

void store_free_space(uint64_t avail_bytes, resnode& res) {
    res.dvalue = static_cast<double>(avail_bytes) / 1024;
    res.ivalue = round_nearest(res.dvalue);
}

err scan_meminfo(devtree& root) {
    log(-1, "In scan_meminfo");
    mem_status m;
    if (read_mem_status(m)) return err::text("GlobalMemoryStatus call unsupported");
    struct {
        const char* id;
        const char* name;
        uint64_t avail, total;
    } kinds[] = {{"phys", "Physical memory", m.phys_avail, m.phys_total},
                 {"swap", "Pagefile space", m.swap_avail, m.swap_total},
                 {"virt", "Virtual memory", m.virt_avail, m.virt_total}};
    devnode_list list;
    for (const auto& k : kinds) {
        auto n = make_node(k.id, k.name, k.name, type_real_continuous, "kB", 2);
        set_range(*n, 0, static_cast<double>(k.avail), static_cast<double>(k.total));
        list.push_back(std::move(n));
    }
    devtree* g = devtree_child(root, "mem", "Free Memory");
    if (!g) return err::text("Couldn't allocate devtree_child mem");
    g->name_template = "Free %0r";
    add_devnodes(*g, std::move(list));
    return {};
}

err check_mem(devnode& node, resnode* res) {
    mem_status m;
    if (read_mem_status(m)) return err::text("GlobalMemoryStatus() failed!");
    uint64_t kb;
    if (node.id == "phys")
        kb = m.phys_avail;
    else if (node.id == "swap")
        kb = m.swap_avail;
    else if (node.id == "virt")
        kb = m.virt_avail;
    else
        return format_error("Unknown memory type encountered: %s", node.id.c_str());
    res->dvalue = static_cast<double>(kb);
    res->ivalue = round_nearest(res->dvalue);
    return {};
}

int32_t idle_hundredths(double processor_percent) {
    double idle = std::max(0.0, 100.0 - processor_percent) * 100.0;
    // A reading such as 12.34 % is 8766 hundredths, not the 8767 that the
    // binary fraction's last bit would give.
    return clamp_int(std::ceil(idle - 1e-6));
}

err scan_system(devtree& root) {
    log(-1, "In scan_system");
    devnode_list list;
    auto c = create_english_counter("System", nullptr, "% Total Processor Time", false);
    if (!c) c = create_english_counter("Processor", "_Total", "% Processor Time", false);
    if (c) {
        log(-1, "Found idle");
        auto n = make_node("idle", "Idle CPU time", "Idle CPU time", type_continuous, "%", 5);
        set_range(*n, 0, nan_value, 10000.0);
        list.push_back(std::move(n));
        free_counter(std::move(c));
    }
    if (auto cs = create_english_counter("System", nullptr, "Context Switches/sec", false)) {
        log(-1, "Found context switches");
        list.push_back(make_node("cswitch", "Context switches", "Context switches/sec", type_continuous, "/s", 6));
        free_counter(std::move(cs));
    } else {
        log(2, "Could not locate Context Switches performance counter");
    }
    list.push_back(make_node("uptime", "System uptime", "System uptime", type_uptime, "s", 7));
    devtree* g = devtree_child(root, "system", "System Information");
    if (!g) return err::text("Couldn't allocate devtree_child system");
    g->name_template = "%0r";
    add_devnodes(*g, std::move(list));
    return {};
}

err check_system(devnode& node, resnode* res) {
    double v = -1.0;
    if (node.id == "idle") {
        counter_state* c = idle_counter(node);
        if (!c) return err::text("Could not find counter in check_load");
        if (auto e = get_counter_value(*c, v)) return format_error("Could not get counter value in check_load: %s", e.c_str());
        res->ivalue = idle_hundredths(v);
    } else if (node.id == "cswitch") {
        counter_state* c = system_counter(node, "Context Switches/sec");
        if (!c) return err::text("Could not find performance counter for context switches");
        if (auto e = get_counter_value(*c, v))
            return format_error("Could not get counter value for context switches: %s", e.c_str());
        res->ivalue = clamp_int(std::trunc(v));
    } else if (node.id == "uptime") {
        counter_state* c = system_counter(node, "System Up Time");
        if (!c) return err::text("Could not locate performance counter in check_uptime");
        if (auto e = get_counter_value(*c, v)) return format_error("Could not get counter value for uptime: %s", e.c_str());
        res->ivalue = round_nearest(v);
    } else {
        return format_error("Unknown system check requested: %s", node.id.c_str());
    }
    return {};
}

// ---------------------------------------------------------------------------

err for_each_process(const std::function<bool(const std::string&)>& fn) {
    static std::vector<std::string> pids;
    if (auto e = list_host_dir("/proc", pids)) return e;
    const std::string base = host_path("/proc/");
    std::string path, target, name;
    for (const auto& pid : pids) {
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
        path.assign(base).append(pid);
        const size_t dir_len = path.size();
        path.append("/exe");
        if (!read_link_path(path, target)) {
            static constexpr std::string_view deleted = " (deleted)";
            if (target.size() > deleted.size() && target.compare(target.size() - deleted.size(), deleted.size(), deleted) == 0)
                target.resize(target.size() - deleted.size());
            name.assign(target, target.rfind('/') + 1);
        } else {
            // Kernel threads and other users' processes: the command name.
            path.resize(dir_len);
            path.append("/comm");
            if (read_file_path(path, name, 256)) continue;  // gone meanwhile
            while (!name.empty() && name.back() == '\n') name.pop_back();
        }
        if (name.empty()) continue;
        if (fn(name)) break;
    }
    return {};
}

err scan_processes(devtree& root) {
    const bool psapi = the_config().use_psapi;
    log(-1, psapi ? "In scan_processes_old" : "In scan_processes");
    devnode_list list;
    err e = for_each_process([&](const std::string& name) {
        if (psapi) log(-1, "Got process to monitor (%s)", name.c_str());
        list.push_back(make_node(name, name, "", type_enum, "", 8));
        return false;
    });
    if (e) {
        if (psapi) return err::text("Error reading process list");
        return format_error("Error calling QuerySystemInformation: %s", e.c_str());
    }
    if (list.empty() && psapi) return {};
    devtree* g = devtree_child(root, "proc", "Process Presence");
    if (!g) return err::text("Couldn't allocate devtree_child proc");
    add_devnodes(*g, std::move(list));
    return {};
}

err check_process(devnode& node, resnode* res) {
    bool found = false;
    auto match = [&](const std::string& name) { return found = same_name(name, node.id); };
    if (err e = for_each_process(match)) {
        if (the_config().use_psapi) return err::text("Error reading process list");
        log(2, "Error calling QuerySystemInformation: %s. Falling back to PSAPI", e.c_str());
        if (for_each_process(match)) return err::text("Error reading process list");
    }
    res->ivalue = found ? 1 : 0;
    set_result_text(*res, found ? "Available" : "Missing");
    return {};
}

}  // namespace zp
