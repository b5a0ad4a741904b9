// proc_parse.cpp - /proc/stat and /proc/uptime, tolerant and bounded.
#include "monitors/counters/proc_parse.h"

#include <charconv>
#include <cstdlib>

namespace zp {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::string_view next_line(std::string_view& text) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    return line;
}

}  // namespace

bool take_u64(std::string_view& s, uint64_t& v) {
    size_t i = 0;
    while (i < s.size() && is_blank(s[i])) ++i;
    auto [p, ec] = std::from_chars(s.data() + i, s.data() + s.size(), v);
    if (ec != std::errc() || p == s.data() + i) return false;
    size_t end = static_cast<size_t>(p - s.data());
    if (end < s.size() && !is_blank(s[end]) && s[end] != '\n' && s[end] != '\r') return false;
    s.remove_prefix(end);
    return true;
}

bool find_keyed_line(std::string_view text, std::string_view key, std::string_view& rest) {
    while (!text.empty()) {
        std::string_view line = next_line(text);
        if (line.size() > key.size() && line.substr(0, key.size()) == key && is_blank(line[key.size()])) {
            rest = line.substr(key.size());
            return true;
        }
    }
    return false;
}

parse_status parse_stat_cpu(std::string_view text, std::string_view cpu, cpu_times& out) {
    if (cpu.size() > 10) return parse_status::missing;
    std::string key = "cpu";
    key.append(cpu);
    std::string_view rest;
    if (!find_keyed_line(text, key, rest)) return parse_status::missing;
    uint64_t* fields[] = {&out.user, &out.nice,  &out.system,  &out.idle,
                          &out.iowait, &out.irq, &out.softirq, &out.steal};
    cpu_times t;
    uint64_t* tf[] = {&t.user, &t.nice, &t.system, &t.idle, &t.iowait, &t.irq, &t.softirq, &t.steal};
    size_t n = 0;
    for (; n < 8; ++n) {
        std::string_view probe = rest;
        while (!probe.empty() && is_blank(probe.front())) probe.remove_prefix(1);
        if (probe.empty() || probe.front() == '\r') break;
        if (!take_u64(rest, *tf[n])) return parse_status::malformed;
    }
    if (n < 4) return parse_status::malformed;
    // The sum of all columns must not overflow: a value that large is not a tick count.
    uint64_t sum = 0;
    for (auto* f : tf) {
        if (__builtin_add_overflow(sum, *f, &sum)) return parse_status::malformed;
    }
    for (size_t i = 0; i < 8; ++i) *fields[i] = *tf[i];
    return parse_status::ok;
}

parse_status parse_stat_cpu_list(std::string_view text, std::vector<std::string>& out) {
    out.clear();
    while (!text.empty()) {
        std::string_view line = next_line(text);
        if (line.size() < 4 || line.substr(0, 3) != "cpu" || !is_digit(line[3])) continue;
        size_t e = 3;
        while (e < line.size() && is_digit(line[e])) ++e;
        if (e - 3 > 10 || e == line.size() || !is_blank(line[e])) return parse_status::malformed;
        out.emplace_back(line.substr(3, e - 3));
        if (out.size() > 65536) return parse_status::malformed;
    }
    return out.empty() ? parse_status::missing : parse_status::ok;
}

parse_status parse_stat_value(std::string_view text, std::string_view key, uint64_t& out) {
    std::string_view rest;
    if (!find_keyed_line(text, key, rest)) return parse_status::missing;
    uint64_t v;
    if (!take_u64(rest, v)) return parse_status::malformed;
    out = v;
    return parse_status::ok;
}

parse_status parse_uptime(std::string_view text, double& seconds) {
    // "12345.67 23456.78\n": whole seconds, a point, hundredths.
    uint64_t whole = 0, frac = 0;
    std::string_view s = text;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), whole);
    if (ec != std::errc() || p == s.data() || whole > (uint64_t{1} << 52)) return parse_status::malformed;
    s.remove_prefix(static_cast<size_t>(p - s.data()));
    double f = 0;
    if (!s.empty() && s.front() == '.') {
        s.remove_prefix(1);
        auto [q, ec2] = std::from_chars(s.data(), s.data() + s.size(), frac);
        size_t digits = static_cast<size_t>(q - s.data());
        if (ec2 != std::errc() || digits == 0 || digits > 9) return parse_status::malformed;
        f = static_cast<double>(frac);
        for (size_t i = 0; i < digits; ++i) f /= 10;
        s.remove_prefix(digits);
    }
    if (!s.empty() && !is_blank(s.front()) && s.front() != '\n') return parse_status::malformed;
    seconds = static_cast<double>(whole) + f;
    return parse_status::ok;
}

std::vector<net_dev_line> parse_net_dev(std::string_view text) {
    std::vector<net_dev_line> out;
    parse_net_dev(text, out);
    return out;
}

void parse_net_dev(std::string_view text, std::vector<net_dev_line>& out) {
    size_t n_out = 0;
    while (!text.empty() && n_out < max_lines) {
        std::string_view line = next_line(text);
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view name = line.substr(0, colon);
        while (!name.empty() && is_blank(name.front())) name.remove_prefix(1);
        // Interface names are at most 15 bytes without blanks or slashes.
        if (name.empty() || name.size() > 15 || name.find_first_of(" \t/") != std::string_view::npos) continue;
        std::string_view rest = line.substr(colon + 1);
        uint64_t f[16];
        size_t n = 0;
        while (n < 16 && take_u64(rest, f[n])) ++n;
        if (n < 16) continue;
        if (n_out == out.size()) out.emplace_back();
        net_dev_line& d = out[n_out++];
        d.name = name;
        d.rx_bytes = f[0], d.rx_packets = f[1], d.rx_errs = f[2], d.rx_drop = f[3];
        d.tx_bytes = f[8], d.tx_packets = f[9], d.tx_errs = f[10], d.tx_drop = f[11];
    }
    out.resize(n_out);
}

std::vector<disk_line> parse_diskstats(std::string_view text) {
    std::vector<disk_line> out;
    parse_diskstats(text, out);
    return out;
}

void parse_diskstats(std::string_view text, std::vector<disk_line>& out) {
    size_t n_out = 0;
    while (!text.empty() && n_out < max_lines) {
        std::string_view line = next_line(text);
        uint64_t major, minor;
        if (!take_u64(line, major) || !take_u64(line, minor)) continue;
        while (!line.empty() && is_blank(line.front())) line.remove_prefix(1);
        size_t end = 0;
        while (end < line.size() && !is_blank(line[end])) ++end;
        if (end == 0 || end > 64) continue;
        std::string_view name = line.substr(0, end);
        line.remove_prefix(end);
        uint64_t f[11];
        size_t n = 0;
        while (n < 11 && take_u64(line, f[n])) ++n;
        if (n < 11) continue;
        if (n_out == out.size()) out.emplace_back();
        disk_line& d = out[n_out++];
        d.name = name;
        d.reads = f[0], d.read_sectors = f[2], d.read_ms = f[3];
        d.writes = f[4], d.write_sectors = f[6], d.write_ms = f[7];
        d.in_flight = f[8], d.io_ms = f[9], d.queue_ms = f[10];
    }
    out.resize(n_out);
}

parse_status parse_meminfo_kb(std::string_view text, std::string_view key, uint64_t& kb) {
    std::string_view rest;
    if (!find_keyed_line(text, key, rest)) return parse_status::missing;
    uint64_t v;
    if (!take_u64(rest, v)) return parse_status::malformed;
    kb = v;
    return parse_status::ok;
}

}  // namespace zp
