// objects.cpp - the objects the counter provider serves, and their readers.
#include "monitors/counters/objects.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <utility>

#include "monitors/counters/host_files.h"
#include "monitors/counters/proc_parse.h"

namespace zp {

namespace {

err unexpected(const char* path) { return format_error("Unexpected contents in %s", path); }

// The texts are kept between runs so that a reading allocates nothing.
err read_file_for(const char* path, std::string& text) { return read_host_file(path, text); }

// ---------------------------------------------------------------------------
// Files kept for one second: every counter of an object that a round of
// checks reads within that second is served by one collection. These and the
// disk list below are written and read by the readers only, on the main thread.

uint64_t collections = 0;

struct file_collection {
    const char* path;
    std::string text;
    int64_t taken_ms = 0;
    bool held = false;
    uint64_t generation = 0;  // counts the collections of this file
    // The collection before the one held, which a new counter can start from.
    std::string prev_text;
    int64_t prev_taken_ms = 0;
    bool prev_held = false;
    uint64_t prev_generation = 0;
};

file_collection stat_file{"/proc/stat"};
file_collection meminfo_file{"/proc/meminfo"};
file_collection vmstat_file{"/proc/vmstat"};
file_collection net_dev_file{"/proc/net/dev"};
file_collection diskstats_file{"/proc/diskstats"};

// Set while a reader runs over the previous collections: collect() then
// serves the swapped-in previous collection or none.
bool reading_previous = false;

err collect(file_collection& f) {
    if (reading_previous) return f.held ? err{} : err::no_result();
    const int64_t now = monotonic_ms();
    if (f.held && now >= f.taken_ms && now - f.taken_ms < 1000) return {};
    if (f.held) {
        // The text buffers trade places: the next reading allocates nothing.
        f.text.swap(f.prev_text);
        f.prev_taken_ms = f.taken_ms;
        f.prev_generation = f.generation;
        f.prev_held = true;
    }
    f.held = false;
    if (auto e = read_file_for(f.path, f.text)) return e;
    f.held = true;
    f.taken_ms = now;
    ++f.generation;
    ++collections;
    return {};
}

// Processor: one instance per processor and "_Total" for all of them.
constexpr std::array processor_counters = {
    counter_def{"% Processor Time", counter_kind::percent, detail_novice},
    counter_def{"% Idle Time", counter_kind::percent, detail_advanced},
    counter_def{"% User Time", counter_kind::percent, detail_advanced},
    counter_def{"% Privileged Time", counter_kind::percent, detail_advanced},
    counter_def{"% Interrupt Time", counter_kind::percent, detail_advanced},
};

err processor_instances(std::vector<std::string>& out) {
    if (auto e = collect(stat_file)) return e;
    if (parse_stat_cpu_list(stat_file.text, out) == parse_status::malformed) return unexpected("/proc/stat");
    out.emplace_back("_Total");
    return {};
}

err read_processor(std::string_view instance, size_t index, counter_sample& out) {
    if (instance.empty() || (instance != "_Total" && instance.find_first_not_of("0123456789") != std::string_view::npos))
        return err::no_result();
    if (auto e = collect(stat_file)) return e;
    cpu_times t;
    switch (parse_stat_cpu(stat_file.text, instance == "_Total" ? std::string_view() : instance, t)) {
    case parse_status::ok: break;
    case parse_status::missing: return err::no_result();
    case parse_status::malformed: return unexpected("/proc/stat");
    }
    const uint64_t idle = t.idle + t.iowait;
    uint64_t part = 0;
    switch (index) {
    case 0: part = t.total() - idle; break;
    case 1: part = idle; break;
    case 2: part = t.user + t.nice; break;
    case 3: part = t.system; break;
    case 4: part = t.irq + t.softirq; break;
    default: return err::no_result();
    }
    out.figure = static_cast<double>(part);
    out.base = static_cast<double>(t.total());
    out.taken_ms = stat_file.taken_ms;
    return {};
}

// System: host-wide figures. "% Total Processor Time" is not served, as on
// current systems: its users fall back to Processor "_Total".
constexpr std::array system_counters = {
    counter_def{"Context Switches/sec", counter_kind::rate, detail_novice},
    counter_def{"System Up Time", counter_kind::seconds, detail_novice},
    counter_def{"Processes", counter_kind::raw, detail_novice},
    counter_def{"Processor Queue Length", counter_kind::raw, detail_novice},
};

err read_system(std::string_view instance, size_t index, counter_sample& out) {
    if (!instance.empty()) return err::no_result();
    static std::string text;
    if (index == 1) {
        if (auto e = read_file_for("/proc/uptime", text)) return e;
        double up = 0;
        if (parse_uptime(text, up) != parse_status::ok) return unexpected("/proc/uptime");
        out.figure = up;
        return {};
    }
    if (index == 2) {
        std::vector<std::string> names;
        if (auto e = list_host_dir("/proc", names)) return e;
        size_t n = 0;
        for (const auto& name : names)
            if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos) ++n;
        out.figure = static_cast<double>(n);
        return {};
    }
    if (index != 0 && index != 3) return err::no_result();
    if (auto e = collect(stat_file)) return e;
    uint64_t v = 0;
    switch (parse_stat_value(stat_file.text, index == 0 ? "ctxt" : "procs_running", v)) {
    case parse_status::ok: break;
    case parse_status::missing: return err::no_result();
    case parse_status::malformed: return unexpected("/proc/stat");
    }
    out.figure = static_cast<double>(v);
    out.taken_ms = stat_file.taken_ms;
    return {};
}

// Memory: host-wide figures of /proc/meminfo (kilobytes) and /proc/vmstat
// (event counts). Hard page faults stand for the pages read to resolve
// faults, pages swapped out for the pages written.
constexpr std::array memory_counters = {
    counter_def{"Available Bytes", counter_kind::raw, detail_novice},
    counter_def{"Available KBytes", counter_kind::raw, detail_novice},
    counter_def{"Available MBytes", counter_kind::raw, detail_novice},
    counter_def{"Committed Bytes", counter_kind::raw, detail_novice},
    counter_def{"Commit Limit", counter_kind::raw, detail_advanced},
    counter_def{"% Committed Bytes In Use", counter_kind::fraction, detail_novice},
    counter_def{"Pages/sec", counter_kind::rate, detail_novice},
    counter_def{"Page Faults/sec", counter_kind::rate, detail_novice},
    counter_def{"Pages Input/sec", counter_kind::rate, detail_advanced},
    counter_def{"Pages Output/sec", counter_kind::rate, detail_advanced},
    counter_def{"Cache Bytes", counter_kind::raw, detail_advanced},
    counter_def{"Pool Paged Bytes", counter_kind::raw, detail_advanced},
    counter_def{"Pool Nonpaged Bytes", counter_kind::raw, detail_advanced},
    counter_def{"Free & Zero Page List Bytes", counter_kind::raw, detail_expert},
    counter_def{"Modified Page List Bytes", counter_kind::raw, detail_wizard},
};

// Where each memory counter's figure comes from: the sum of up to two keys
// of one file times `scale`; for the fraction, `base_key` is its base.
struct memory_figure {
    bool vmstat;
    const char* keys[2];
    double scale;
    const char* base_key = nullptr;
};
constexpr std::array<memory_figure, memory_counters.size()> memory_figures = {{
    {false, {"MemAvailable:", nullptr}, 1024},
    {false, {"MemAvailable:", nullptr}, 1},
    {false, {"MemAvailable:", nullptr}, 1.0 / 1024},
    {false, {"Committed_AS:", nullptr}, 1024},
    {false, {"CommitLimit:", nullptr}, 1024},
    {false, {"Committed_AS:", nullptr}, 1, "CommitLimit:"},
    {true, {"pgmajfault", "pswpout"}, 1},
    {true, {"pgfault", nullptr}, 1},
    {true, {"pgmajfault", nullptr}, 1},
    {true, {"pswpout", nullptr}, 1},
    {false, {"Cached:", "Buffers:"}, 1024},
    {false, {"SReclaimable:", nullptr}, 1024},
    {false, {"SUnreclaim:", nullptr}, 1024},
    {false, {"MemFree:", nullptr}, 1024},
    {false, {"Dirty:", nullptr}, 1024},
}};

err read_memory(std::string_view instance, size_t index, counter_sample& out) {
    if (!instance.empty() || index >= memory_figures.size()) return err::no_result();
    const memory_figure& m = memory_figures[index];
    file_collection& f = m.vmstat ? vmstat_file : meminfo_file;
    if (auto e = collect(f)) return e;
    uint64_t sum = 0;
    for (const char* key : m.keys) {
        if (!key) break;
        uint64_t v = 0;
        switch (m.vmstat ? parse_stat_value(f.text, key, v) : parse_meminfo_kb(f.text, key, v)) {
        case parse_status::ok: break;
        case parse_status::missing: return err::no_result();
        case parse_status::malformed: return unexpected(f.path);
        }
        sum += v;
    }
    out.figure = static_cast<double>(sum) * m.scale;
    if (m.base_key) {
        uint64_t b = 0;
        if (parse_meminfo_kb(f.text, m.base_key, b) != parse_status::ok) return err::no_result();
        out.base = static_cast<double>(b);
    }
    out.taken_ms = f.taken_ms;
    return {};
}

// Network Interface: one instance per interface of /proc/net/dev.
constexpr std::array network_counters = {
    counter_def{"Bytes Total/sec", counter_kind::rate, detail_novice},
    counter_def{"Packets/sec", counter_kind::rate, detail_novice},
    counter_def{"Packets Received/sec", counter_kind::rate, detail_advanced},
    counter_def{"Packets Sent/sec", counter_kind::rate, detail_advanced},
    counter_def{"Current Bandwidth", counter_kind::raw, detail_novice},
    counter_def{"Bytes Received/sec", counter_kind::rate, detail_advanced},
    counter_def{"Packets Received Errors", counter_kind::raw, detail_advanced},
    counter_def{"Packets Received Discarded", counter_kind::raw, detail_advanced},
    counter_def{"Bytes Sent/sec", counter_kind::rate, detail_advanced},
    counter_def{"Packets Outbound Discarded", counter_kind::raw, detail_advanced},
    counter_def{"Packets Outbound Errors", counter_kind::raw, detail_advanced},
};
constexpr size_t bandwidth_index = 4;

std::vector<net_dev_line> net_lines;
uint64_t net_lines_generation = 0;

err collect_network() {
    if (auto e = collect(net_dev_file)) return e;
    if (net_lines_generation != net_dev_file.generation) {
        parse_net_dev(net_dev_file.text, net_lines);
        net_lines_generation = net_dev_file.generation;
    }
    return {};
}

err network_instances(std::vector<std::string>& out) {
    if (auto e = collect_network()) return e;
    out.clear();
    for (const auto& l : net_lines) out.push_back(l.name);
    return {};
}

// The link speed in bits per second; 0 when the interface does not know it
// (-1, or no speed at all as on virtual interfaces).
double link_speed(std::string_view name) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos) return 0;
    static std::string text;
    std::string path = host_path("/sys/class/net/");
    path.append(name).append("/speed");
    if (read_file_path(path, text, 64)) return 0;
    int64_t mbits = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), mbits);
    if (ec != std::errc() || p == text.data() || mbits <= 0 || mbits > 100000000) return 0;
    return static_cast<double>(mbits) * 1e6;
}

err read_network(std::string_view instance, size_t index, counter_sample& out) {
    if (auto e = collect_network()) return e;
    const net_dev_line* l = nullptr;
    for (const auto& n : net_lines)
        if (n.name == instance) {
            l = &n;
            break;
        }
    if (!l) return err::no_result();
    uint64_t v = 0;
    switch (index) {
    case 0: v = l->rx_bytes + l->tx_bytes; break;
    case 1: v = l->rx_packets + l->tx_packets; break;
    case 2: v = l->rx_packets; break;
    case 3: v = l->tx_packets; break;
    case bandwidth_index: out.figure = link_speed(instance); return {};
    case 5: v = l->rx_bytes; break;
    case 6: v = l->rx_errs; break;
    case 7: v = l->rx_drop; break;
    case 8: v = l->tx_bytes; break;
    case 9: v = l->tx_drop; break;
    case 10: v = l->tx_errs; break;
    default: return err::no_result();
    }
    out.figure = static_cast<double>(v);
    out.taken_ms = net_dev_file.taken_ms;
    return {};
}

// PhysicalDisk: the whole disks backed by a device (not loop, RAM, zram or
// device-mapper volumes), named "<number> <name>" in name order, and
// "_Total" for all of them. Times are milliseconds of /proc/diskstats; the
// percent and queue counters take the collection time as their base.
constexpr uint32_t type_queue_length = 0x00550500;
constexpr std::array disk_counters = {
    counter_def{"% Disk Time", counter_kind::percent, detail_novice},
    counter_def{"% Disk Read Time", counter_kind::percent, detail_advanced},
    counter_def{"% Disk Write Time", counter_kind::percent, detail_advanced},
    counter_def{"% Idle Time", counter_kind::inverse, detail_advanced},
    counter_def{"Avg. Disk Queue Length", counter_kind::average, detail_novice, type_queue_length},
    counter_def{"Avg. Disk Read Queue Length", counter_kind::average, detail_advanced, type_queue_length},
    counter_def{"Avg. Disk Write Queue Length", counter_kind::average, detail_advanced, type_queue_length},
    counter_def{"Avg. Disk sec/Transfer", counter_kind::average, detail_advanced},
    counter_def{"Avg. Disk sec/Read", counter_kind::average, detail_advanced},
    counter_def{"Avg. Disk sec/Write", counter_kind::average, detail_advanced},
    counter_def{"Current Disk Queue Length", counter_kind::raw, detail_novice},
    counter_def{"Disk Transfers/sec", counter_kind::rate, detail_novice},
    counter_def{"Disk Reads/sec", counter_kind::rate, detail_advanced},
    counter_def{"Disk Writes/sec", counter_kind::rate, detail_advanced},
    counter_def{"Disk Bytes/sec", counter_kind::rate, detail_novice},
    counter_def{"Disk Read Bytes/sec", counter_kind::rate, detail_advanced},
    counter_def{"Disk Write Bytes/sec", counter_kind::rate, detail_advanced},
    // The kernel never splits a request into several: always 0.
    counter_def{"Split IO/Sec", counter_kind::rate, detail_advanced},
};

// The whole disks, listed again by every instance listing and at least once
// a minute by the readers (for "_Total").
std::vector<std::string> disk_names;
int64_t disks_listed_ms = 0;
bool disks_listed = false;

err list_disks() {
    std::vector<std::string> names;
    if (auto e = list_host_dir("/sys/block", names)) return e;
    std::sort(names.begin(), names.end());
    disk_names.clear();
    const std::string base = host_path("/sys/block/");
    for (auto& n : names)
        if (host_path_exists(base + n + "/device")) disk_names.push_back(std::move(n));
    disks_listed = true;
    disks_listed_ms = monotonic_ms();
    return {};
}

err disk_instances(std::vector<std::string>& out) {
    if (auto e = list_disks()) return e;
    out.clear();
    for (size_t i = 0; i < disk_names.size(); ++i) out.push_back(std::to_string(i) + " " + disk_names[i]);
    out.emplace_back("_Total");
    return {};
}

std::vector<disk_line> disk_lines;
uint64_t disk_lines_generation = 0;

const disk_line* find_disk(std::string_view name) {
    for (const auto& d : disk_lines)
        if (d.name == name) return &d;
    return nullptr;
}

err read_disk(std::string_view instance, size_t index, counter_sample& out) {
    if (index >= disk_counters.size()) return err::no_result();
    if (auto e = collect(diskstats_file)) return e;
    if (disk_lines_generation != diskstats_file.generation) {
        parse_diskstats(diskstats_file.text, disk_lines);
        disk_lines_generation = diskstats_file.generation;
    }
    disk_line d;
    if (instance == "_Total") {
        const int64_t now = monotonic_ms();
        if (!disks_listed || now < disks_listed_ms || now - disks_listed_ms >= 60000) {
            if (auto e = list_disks()) return e;
        }
        for (const auto& name : disk_names) {
            const disk_line* l = find_disk(name);
            if (!l) continue;
            d.reads += l->reads, d.read_sectors += l->read_sectors, d.read_ms += l->read_ms;
            d.writes += l->writes, d.write_sectors += l->write_sectors, d.write_ms += l->write_ms;
            d.in_flight += l->in_flight, d.io_ms += l->io_ms, d.queue_ms += l->queue_ms;
        }
    } else {
        // "<number> <name>": the name is what follows the first blank.
        size_t sp = instance.find(' ');
        if (sp == std::string_view::npos) return err::no_result();
        const disk_line* l = find_disk(instance.substr(sp + 1));
        if (!l) return err::no_result();
        d = *l;
    }
    const double now = static_cast<double>(diskstats_file.taken_ms);
    struct {
        uint64_t figure;
        double base;  // negative: the time in milliseconds
    } f{};
    switch (index) {
    case 0: f = {d.queue_ms, -1}; break;
    case 1: f = {d.read_ms, -1}; break;
    case 2: f = {d.write_ms, -1}; break;
    case 3: f = {d.io_ms, -1}; break;
    case 4: f = {d.queue_ms, -1}; break;
    case 5: f = {d.read_ms, -1}; break;
    case 6: f = {d.write_ms, -1}; break;
    case 7: f = {d.read_ms + d.write_ms, static_cast<double>(d.reads + d.writes)}; break;
    case 8: f = {d.read_ms, static_cast<double>(d.reads)}; break;
    case 9: f = {d.write_ms, static_cast<double>(d.writes)}; break;
    case 10: f = {d.in_flight, 0}; break;
    case 11: f = {d.reads + d.writes, 0}; break;
    case 12: f = {d.reads, 0}; break;
    case 13: f = {d.writes, 0}; break;
    case 14: f = {(d.read_sectors + d.write_sectors) * 512, 0}; break;
    case 15: f = {d.read_sectors * 512, 0}; break;
    case 16: f = {d.write_sectors * 512, 0}; break;
    default: f = {0, 0}; break;
    }
    out.figure = static_cast<double>(f.figure);
    out.base = f.base < 0 ? now : f.base;
    // Seconds per operation: the times are kept in milliseconds.
    if (index >= 7 && index <= 9) out.figure /= 1000.0;
    out.taken_ms = diskstats_file.taken_ms;
    return {};
}

constexpr std::array objects = {
    counter_object{"Processor", processor_counters, processor_instances, read_processor, detail_novice},
    counter_object{"System", system_counters, nullptr, read_system, detail_novice},
    counter_object{"Memory", memory_counters, nullptr, read_memory, detail_novice},
    counter_object{"Network Interface", network_counters, network_instances, read_network, detail_novice},
    counter_object{"PhysicalDisk", disk_counters, disk_instances, read_disk, detail_novice},
};

}  // namespace

uint32_t counter_type(const counter_def& d) {
    if (d.type) return d.type;
    switch (d.kind) {
    case counter_kind::raw: return 0x00010100;       // large raw count
    case counter_kind::seconds: return 0x30240500;   // elapsed time
    case counter_kind::rate: return 0x10410500;      // bulk count per second
    case counter_kind::percent: return 0x20510500;   // 100 ns timer
    case counter_kind::average: return 0x30020400;   // average timer
    case counter_kind::inverse: return 0x21510500;   // inverse 100 ns timer
    case counter_kind::fraction: return 0x20020400;  // raw fraction
    }
    return 0;
}

std::span<const counter_object> counter_objects() { return objects; }

const counter_object* find_counter_object(std::string_view name) {
    for (const auto& o : objects)
        if (name == o.name) return &o;
    return nullptr;
}

int find_counter(const counter_object& obj, std::string_view name) {
    for (size_t i = 0; i < obj.counters.size(); ++i)
        if (name == obj.counters[i].name) return static_cast<int>(i);
    return -1;
}

uint64_t collections_made() { return collections; }

void forget_collections() {
    for (file_collection* f : {&stat_file, &meminfo_file, &vmstat_file, &net_dev_file, &diskstats_file})
        f->held = f->prev_held = false;
    disks_listed = false;
}

err read_previous_sample(const counter_object& obj, std::string_view instance, size_t index, counter_sample& out) {
    file_collection* files[] = {&stat_file, &meminfo_file, &vmstat_file, &net_dev_file, &diskstats_file};
    auto swap_all = [&] {
        for (file_collection* f : files) {
            f->text.swap(f->prev_text);
            std::swap(f->taken_ms, f->prev_taken_ms);
            std::swap(f->held, f->prev_held);
            std::swap(f->generation, f->prev_generation);
        }
    };
    swap_all();
    reading_previous = true;
    counter_sample s;
    err e = obj.read(instance, index, s);
    reading_previous = false;
    swap_all();
    if (e) return e;
    // A figure that comes from no kept file (read directly) is no earlier sample.
    if (s.taken_ms < 0) return err::no_result();
    out = s;
    return {};
}

}  // namespace zp
