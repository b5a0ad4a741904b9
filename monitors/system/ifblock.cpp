// ifblock.cpp - the "ifthrough"/"ifevents" scanners (byte and packet counters
// of each network interface) and the "block" scanner (thirteen activity
// checks of each physical disk).
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/config.h"
#include "core/log.h"
#include "monitors/counters/counters.h"
#include "monitors/system/perf.h"

namespace zp {

namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
// The enumeration's "object not found" status, logged when it fails.
constexpr int32_t status_no_object = static_cast<int32_t>(0xC0000BB8);

int32_t round_nearest(double v) {
    double r = std::floor(v + 0.5);
    if (!(r > -2147483648.0)) return INT32_MIN;
    if (r >= 2147483647.0) return INT32_MAX;
    return static_cast<int32_t>(r);
}

int multi_string_size(const std::vector<std::string>& list) {
    size_t n = 1;
    for (const auto& s : list) n += s.size() + 1;
    return static_cast<int>(n);
}

// The counters and instances of one object at the configured detail level.
// `object` names it in the error text, `scanner` in the log.
err enumerate_items(const char* object, const char* scanner, std::vector<std::string>& counters,
                    std::vector<std::string>& instances) {
    if (err e = enum_object_items(object, the_config().perf_cnt_level, counters, instances)) {
        log(-1, "PDH enumeration returned error %i", status_no_object);
        return format_error("Couldn't enumerate %s objects: %s", object, e.c_str());
    }
    log(-1, "Allocating %d bytes of memory for counters in %s", multi_string_size(counters), scanner);
    log(-1, "Allocating %d bytes of memory for instances in %s", multi_string_size(instances), scanner);
    return {};
}

void set_range(devnode& n, double high) {
    n.has_range = 1;
    n.range_low = 0;
    n.scan_value = nan_value;
    n.range_high = high;
}

// The thirteen checks of each physical disk and the counters they read.
struct block_check {
    const char* key;
    const char* name;
    const char* unit;
    const char* counter;
};
constexpr block_check block_table[] = {
    {"read_io", "Read operations", "/s", "Disk Reads/sec"},
    {"read_bytes", "Read bytes", "B/s", "Disk Read Bytes/sec"},
    {"read_queue_length", "Read queue length", "", "Avg. Disk Read Queue Length"},
    {"write_io", "Write operations", "/s", "Disk Writes/sec"},
    {"write_bytes", "Written bytes", "B/s", "Disk Write Bytes/sec"},
    {"write_queue_length", "Write queue length", "", "Avg. Disk Write Queue Length"},
    {"idle", "Idle time", "1%", "% Idle Time"},
    {"total_queue_length", "Total queue length", "", "Avg. Disk Queue Length"},
    {"pct_read", "Read activity", "1%", "% Disk Read Time"},
    {"pct_write", "Write activity", "1%", "% Disk Write Time"},
    {"sec_read", "Time per read operation", "s", "Avg. Disk sec/Read"},
    {"sec_write", "Time per write operation", "s", "Avg. Disk sec/Write"},
    {"split_io", "Split IO operations", "/s", "Split IO/Sec"},
};

void add_block_device(devtree& root, devtree*& physical, const std::string& id, const std::string& name) {
    log(-1, "Found device %s of type %s", id.c_str(), "physical");
    devnode_list list;
    for (const auto& b : block_table) {
        auto n = alloc_devnode();
        n->id = b.key;
        n->name = b.name;
        n->type = type_real_continuous;
        n->unit = b.unit;
        n->description = 21;
        set_range(*n, std::strcmp(b.unit, "1%") == 0 ? 100.0 : nan_value);
        list.push_back(std::move(n));
    }
    if (!physical) {
        devtree* block = devtree_child(root, "block", "Block Devices");
        if (!block) return;
        block->name_template = "%0r for %1r";
        physical = devtree_child(*block, "physical", "Physical Devices");
        if (!physical) return;
    }
    if (devtree* disk = devtree_child(*physical, id, name)) add_devnodes(*disk, std::move(list));
}

}  // namespace

bool parse_disk_instance(std::string_view name, int& number, std::string& word) {
    size_t i = 0;
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
    while (i < name.size() && blank(name[i])) ++i;
    if (i < name.size() && name[i] == '+') ++i;
    int n = 0;
    auto [p, ec] = std::from_chars(name.data() + i, name.data() + name.size(), n);
    if (ec != std::errc()) return false;
    i = static_cast<size_t>(p - name.data());
    while (i < name.size() && blank(name[i])) ++i;
    size_t end = i;
    while (end < name.size() && !blank(name[end])) ++end;
    if (end == i) return false;
    number = n;
    word.assign(name.substr(i, end - i));
    return true;
}

err scan_ifthroughput(devtree& root) {
    log(-1, "In scan_ifthroughput");
    std::vector<std::string> counters, instances;
    if (auto e = enumerate_items("Network Interface", "scan_ifthroughput", counters, instances)) return e;
    std::vector<std::string> english(counters.size());
    for (size_t i = 0; i < counters.size(); ++i) {
        char buf[128];
        if (translate_counter_name_to_english(buf, sizeof buf, counters[i].c_str())) english[i] = buf;
    }
    devtree *events = nullptr, *through = nullptr;
    for (const auto& instance : instances) {
        const std::string name = instance.substr(0, 511);
        if (!events) {
            events = devtree_child(root, "ifevents", "Interface events");
            through = devtree_child(root, "ifthrough", "Interface throughput");
            if (!events || !through) return err::text("Couldn't allocate devtree_child ifthrough");
            for (devtree* g : {events, through}) {
                g->flags |= 1;
                g->name_template = "%0r for %1r";
            }
        }
        log(-1, "Found interface %s", name.c_str());
        devtree* eg = devtree_child(*events, name, name);
        devtree* tg = devtree_child(*through, name, name);
        if (!eg || !tg) return err::text("Couldn't allocate devtree_child ifthrough");

        double bandwidth = -1.0;
        if (auto c = create_english_counter("Network Interface", name.c_str(), "Current Bandwidth", true)) {
            log(-1, "Found bandwidth counter for %s, about to fetch value", name.c_str());
            double v = -1.0;
            if (err e = get_counter_value(*c, v)) {
                log(3, "Error getting BandwidthCounter: %s", e.c_str());
            } else {
                bandwidth = v / 8192;  // bits per second to kilobytes per second
                log(-1, "BandwitdhCounter value is %f", bandwidth);
            }
            free_counter(std::move(c));
        }
        if (bandwidth < 0) continue;

        devnode_list bytes, packets;
        for (const auto& id : english) {
            if (id.rfind("Bytes", 0) == 0) {
                log(-1, "Found throughput device %s", id.c_str());
                auto n = alloc_devnode();
                n->id = id;
                n->name = id;
                n->type = type_real_continuous;
                n->unit = "kB/s";
                n->description = 17;
                if (bandwidth > 0) set_range(*n, id.find("Total") != std::string::npos ? 2 * bandwidth : bandwidth);
                bytes.push_back(std::move(n));
            } else if (id.rfind("Packets", 0) == 0) {
                log(-1, "Found events device %s", id.c_str());
                auto n = alloc_devnode();
                n->id = id;
                n->name = id;
                n->comment = "Packet Throughput";
                n->type = type_real_continuous;
                n->unit = "/s";
                n->description = 16;
                packets.push_back(std::move(n));
            }
        }
        add_devnodes(*tg, std::move(bytes));
        add_devnodes(*eg, std::move(packets));
    }
    return {};
}

err check_ifthrough(devnode& node, resnode* res) {
    const std::string iface = node.parent ? node.parent->id : std::string();
    log(-1, "About to get IF counter \"%s\" on interface \"%s\"", node.id.c_str(), iface.c_str());
    counter_state* c = attached_counter(node);
    if (!c) {
        attach_counter_state(node, create_english_counter("Network Interface", iface.c_str(), node.id.c_str(), true));
        c = attached_counter(node);
        if (!c) return format_error("Cannot locate counter \"%s\" in check_ifthrough", node.id.c_str());
    }
    double v = -1.0;
    if (err e = get_counter_value(*c, v)) return format_error("Could not get counter value for check_ifthrough: %s", e.c_str());
    log(-1, "Counter value is %f", v);
    if (node.id.find("Bytes") != std::string::npos) v /= 1024;  // bytes to kilobytes
    res->dvalue = v;
    res->ivalue = round_nearest(v);
    return {};
}

err scan_block_devices(devtree& root) {
    std::vector<std::string> counters, instances;
    if (auto e = enumerate_items("PhysicalDisk", "scan_block_devices", counters, instances)) return e;
    devtree* physical = nullptr;
    for (const auto& instance : instances) {
        int number = 0;
        std::string word;
        if (!parse_disk_instance(instance, number, word)) continue;
        add_block_device(root, physical, strprintf("%d", number),
                         strprintf("Physical Disk %d (%s)", number, word.c_str()));
    }
    return {};
}

err check_block_device(devnode& node, resnode* res) {
    const char* counter = nullptr;
    for (const auto& b : block_table)
        if (node.id == b.key) counter = b.counter;
    if (!counter) return format_error("Unknown block device check: %s", node.id.c_str());
    const std::string disk = node.parent ? node.parent->id : std::string();
    log(-1, "About to get PhysicalDisk counter \"%s\" on device \"%s\"", counter, disk.c_str());
    counter_state* c = attached_counter(node);
    if (!c) {
        int wanted = 0;
        std::string rest;
        const bool numbered = parse_disk_instance(disk + " x", wanted, rest);
        std::vector<std::string> counters, instances;
        if (auto e = enumerate_items("PhysicalDisk", "check_block_device", counters, instances)) return e;
        for (const auto& instance : instances) {
            int number = 0;
            std::string word;
            if (numbered && parse_disk_instance(instance, number, word) && number == wanted) {
                attach_counter_state(node, create_english_counter("PhysicalDisk", instance.c_str(), counter, true));
                break;
            }
        }
        c = attached_counter(node);
        if (!c) return format_error("Could not get performance counter \"%s\" for physical disk %s", counter, disk.c_str());
    }
    double v = -1.0;
    if (err e = get_counter_value(*c, v))
        return format_error("Could not get counter value for check_block-device: %s", e.c_str());
    res->dvalue = v;
    res->ivalue = round_nearest(v);
    return {};
}

}  // namespace zp
