// objects.cpp - the objects the counter provider serves, and their readers.
#include "monitors/counters/objects.h"

#include <array>

#include "monitors/counters/host_files.h"
#include "monitors/counters/proc_parse.h"

namespace zp {

namespace {

err unexpected(const char* path) { return format_error("Unexpected contents in %s", path); }

// The texts are kept between runs so that a reading allocates nothing.
err read_file_for(const char* path, std::string& text) { return read_host_file(path, text); }

// Processor: one instance per processor and "_Total" for all of them.
constexpr std::array processor_counters = {
    counter_def{"% Processor Time", counter_kind::percent, detail_novice},
    counter_def{"% Idle Time", counter_kind::percent, detail_advanced},
    counter_def{"% User Time", counter_kind::percent, detail_advanced},
    counter_def{"% Privileged Time", counter_kind::percent, detail_advanced},
    counter_def{"% Interrupt Time", counter_kind::percent, detail_advanced},
};

std::string stat_text;

err processor_instances(std::vector<std::string>& out) {
    if (auto e = read_file_for("/proc/stat", stat_text)) return e;
    if (parse_stat_cpu_list(stat_text, out) == parse_status::malformed) return unexpected("/proc/stat");
    out.emplace_back("_Total");
    return {};
}

err read_processor(std::string_view instance, size_t index, counter_sample& out) {
    if (instance.empty() || (instance != "_Total" && instance.find_first_not_of("0123456789") != std::string_view::npos))
        return err::no_result();
    if (auto e = read_file_for("/proc/stat", stat_text)) return e;
    cpu_times t;
    switch (parse_stat_cpu(stat_text, instance == "_Total" ? std::string_view() : instance, t)) {
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
    if (auto e = read_file_for("/proc/stat", stat_text)) return e;
    uint64_t v = 0;
    switch (parse_stat_value(stat_text, index == 0 ? "ctxt" : "procs_running", v)) {
    case parse_status::ok: break;
    case parse_status::missing: return err::no_result();
    case parse_status::malformed: return unexpected("/proc/stat");
    }
    out.figure = static_cast<double>(v);
    return {};
}

constexpr std::array objects = {
    counter_object{"Processor", processor_counters, processor_instances, read_processor, detail_novice},
    counter_object{"System", system_counters, nullptr, read_system, detail_novice},
};

}  // namespace

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

}  // namespace zp
