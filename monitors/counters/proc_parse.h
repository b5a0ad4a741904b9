// proc_parse.h - parsers of the kernel's /proc texts that the counters read.
// They touch no file: the text is whatever the file held, possibly truncated
// or garbage, and every parser says so instead of guessing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zp {

enum class parse_status { ok, missing, malformed };

// Reads one unsigned decimal number after optional blanks; advances `s`.
// False on no digits, more digits than 64 bits hold, or a digit run that
// runs into a letter.
bool take_u64(std::string_view& s, uint64_t& v);

// The line of `text` that starts with `key` followed by a blank (the rest of
// the line after the key), or false.
bool find_keyed_line(std::string_view text, std::string_view key, std::string_view& rest);

// Processor time of one "cpu" line of /proc/stat, in clock ticks.
struct cpu_times {
    uint64_t user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    uint64_t total() const { return user + nice + system + idle + iowait + irq + softirq + steal; }
};

// The times of processor `cpu` (its number as text), or of the sum of all
// processors when `cpu` is empty. At least the first four columns must be
// there; later missing ones read as 0.
parse_status parse_stat_cpu(std::string_view text, std::string_view cpu, cpu_times& out);
// The numbers of the processors /proc/stat lists, in its order.
parse_status parse_stat_cpu_list(std::string_view text, std::vector<std::string>& out);
// A one-number line of /proc/stat ("ctxt", "procs_running").
parse_status parse_stat_value(std::string_view text, std::string_view key, uint64_t& out);
// The first figure of /proc/uptime, in seconds.
parse_status parse_uptime(std::string_view text, double& seconds);

}  // namespace zp
