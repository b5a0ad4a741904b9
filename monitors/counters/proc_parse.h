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

// One interface line of /proc/net/dev: its name and the sixteen figures
// (receive bytes, packets, errs, drop, fifo, frame, compressed, multicast,
// then transmit bytes, packets, errs, drop, fifo, colls, carrier, compressed).
struct net_dev_line {
    std::string name;
    uint64_t rx_bytes = 0, rx_packets = 0, rx_errs = 0, rx_drop = 0;
    uint64_t tx_bytes = 0, tx_packets = 0, tx_errs = 0, tx_drop = 0;
};
// Every interface line, in file order; the two heading lines and lines that
// do not read as an interface are skipped. At most max_lines are kept.
inline constexpr size_t max_lines = 4096;
std::vector<net_dev_line> parse_net_dev(std::string_view text);
void parse_net_dev(std::string_view text, std::vector<net_dev_line>& out);

// One line of /proc/diskstats: the device name and the figures the disk
// counters use (times in milliseconds, sizes in 512-byte sectors).
struct disk_line {
    std::string name;
    uint64_t reads = 0, read_sectors = 0, read_ms = 0;
    uint64_t writes = 0, write_sectors = 0, write_ms = 0;
    uint64_t in_flight = 0, io_ms = 0, queue_ms = 0;
};
// Every line with at least the eleven figures of old kernels, in file order;
// others are skipped. At most max_lines are kept. The second form reuses the
// room of `out` (a reading every second allocates nothing).
std::vector<disk_line> parse_diskstats(std::string_view text);
void parse_diskstats(std::string_view text, std::vector<disk_line>& out);

// The figure of a "Key:   123 kB" line of /proc/meminfo, in kilobytes.
parse_status parse_meminfo_kb(std::string_view text, std::string_view key, uint64_t& kb);

}  // namespace zp
