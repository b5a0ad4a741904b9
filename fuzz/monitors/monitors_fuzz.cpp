// monitors_fuzz.cpp - fuzz target of the parsers of /proc, /sys and /etc
// texts that the host monitors read.
//
// The first byte chooses the parser (modulo their count); the rest is the
// file's text. Every parser must return without a crash, and what it
// returns must hold together (numbers in range, mounts offered at most once).
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "core/log.h"
#include "monitors/counters/proc_parse.h"
#include "monitors/hostinfo/hostinfo.h"
#include "monitors/system/perf.h"
#include "monitors/system/system_parse.h"

namespace {

bool quiet = [] {
    zp::set_log_level(4);
    return true;
}();

void check(bool ok) {
    if (!ok) std::abort();
}

void stat_text(std::string_view text) {
    zp::cpu_times t;
    for (std::string_view cpu : {"", "0", "1", "12"})
        if (zp::parse_stat_cpu(text, cpu, t) == zp::parse_status::ok) check(t.total() >= t.idle);
    std::vector<std::string> cpus;
    (void)zp::parse_stat_cpu_list(text, cpus);
    uint64_t v;
    (void)zp::parse_stat_value(text, "ctxt", v);
    double up;
    if (zp::parse_uptime(text, up) == zp::parse_status::ok) check(up >= 0);
}

void mountinfo(std::string_view text) {
    std::vector<zp::mount_entry> mounts = zp::parse_mountinfo(text);
    std::vector<zp::block_device> devices = {{8, 0, "sda", false}, {8, 1, "sda1", false}, {8, 16, "sdb", true},
                                             {7, 0, "loop0", false}, {259, 2, "nvme0n1p2", false}};
    std::set<std::string> seen;
    for (const auto* m : zp::fixed_mounts(mounts, devices)) check(seen.insert(m->mount_point).second);
}

void meminfo(std::string_view text) {
    zp::mem_status m;
    if (zp::parse_meminfo(text, m)) check(m.virt_avail <= m.virt_total);
    uint32_t a, b;
    (void)zp::parse_dev_number(text, a, b);
}

void etc_files(std::string_view text) {
    (void)zp::parse_os_release(text);
    std::string domain;
    std::vector<std::string> dns;
    zp::parse_resolv_conf(text, domain, dns);
    check(dns.size() <= 16);
    (void)zp::parse_route(text);
    check(zp::parse_mac(text).size() <= 32);
}

void net_and_disk(std::string_view text) {
    auto net = zp::parse_net_dev(text);
    check(net.size() <= zp::max_lines);
    for (const auto& l : net) check(!l.name.empty() && l.name.size() <= 15 && l.name.find('/') == std::string::npos);
    auto disks = zp::parse_diskstats(text);
    check(disks.size() <= zp::max_lines);
    for (const auto& d : disks) check(!d.name.empty() && d.name.size() <= 64);
    uint64_t kb;
    (void)zp::parse_meminfo_kb(text, "MemAvailable:", kb);
}

// Instance names and counter names as the perf, interface and disk scanners
// take them from the host.
void names(std::string_view text) {
    int number;
    std::string word;
    if (zp::parse_disk_instance(text, number, word)) check(!word.empty() && word.size() <= text.size());
    std::string id(text.substr(0, 300));
    std::string unit = zp::perf_counter_unit(id, !text.empty() && (text[0] & 1), static_cast<uint32_t>(text.size()) << 28);
    check(unit.size() <= 3);
    std::vector<std::string> list;
    for (size_t i = 0; i < text.size() && list.size() < 64; i += 7) list.emplace_back(text.substr(i, 3 + static_cast<unsigned char>(text[i]) % 200));
    auto labels = zp::instance_labels(list);
    check(labels.size() == list.size());
    for (const auto& l : labels) check(l.size() <= 127);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 6) {
    case 0: stat_text(text); break;
    case 1: mountinfo(text); break;
    case 2: meminfo(text); break;
    case 3: etc_files(text); break;
    case 4: net_and_disk(text); break;
    default: names(text); break;
    }
    return 0;
}
