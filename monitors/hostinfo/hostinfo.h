// hostinfo.h - the host information report sent at registration: hardware,
// operating system, agent version, names and network set-up, as label and
// value lines (a label without value is a heading, a value without label
// continues the line above).
//
// gather_host_info reads the host (main thread, at start-up); build_host_info
// turns gathered facts into the lines and touches nothing, and the parsers
// read the texts of the files involved, which may be anything.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "devtree/devtree.h"

namespace zp {

struct adapter_facts {
    std::string name;
    int arp_type = -1;  // /sys/class/net/<name>/type
    std::vector<std::pair<std::string, std::string>> ipv4;  // address, mask
    std::vector<std::string> gateways;
    std::vector<uint8_t> mac;
};

struct host_facts {
    std::string machine;  // "x86_64"
    int cpus = 0;
    std::vector<bool> cpu_enabled;  // may be shorter than cpus
    std::optional<uint64_t> mem_total;  // bytes
    std::string release;  // kernel release "6.1.0-18-amd64"
    std::optional<std::string> os_name;  // PRETTY_NAME
    std::string hostname;
    std::string domain;
    std::vector<std::string> dns;
    bool routing = false, proxy_arp = false;
    std::vector<adapter_facts> adapters;
};

// The report of this host; never fails (what cannot be read is left out).
clinfo_list gather_host_info();
clinfo_list build_host_info(const host_facts& f);

// "%s %6.2fG%s" and its smaller units, as sizes are shown in the report.
std::string format_size(double value, const char* unit);

// PRETTY_NAME of os-release text, unquoted.
std::optional<std::string> parse_os_release(std::string_view text);
// Domain (the "domain" line, else the first "search" entry) and name servers.
void parse_resolv_conf(std::string_view text, std::string& domain, std::vector<std::string>& servers);
// Gateways of /proc/net/route by interface, as dotted quads.
std::map<std::string, std::vector<std::string>> parse_route(std::string_view text);
// "00:1a:2b:3c:4d:5e" as bytes; empty for anything else.
std::vector<uint8_t> parse_mac(std::string_view text);

}  // namespace zp
