// hostinfo.cpp - the lines of the host information report and the parsers of
// the files it reads.
#include "monitors/hostinfo/hostinfo.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "core/agent.h"
#include "core/err.h"
#include "monitors/counters/host_files.h"
#include "monitors/counters/proc_parse.h"
#include "monitors/hostinfo/hostinfo_os.h"

namespace zp {

namespace {

// The registration message carries labels of up to 256 and values of up to
// 1024 bytes; longer texts are cut so that registration never fails on them.
constexpr size_t label_max = 255;
constexpr size_t value_max = 1023;

void add(clinfo_list& out, std::string label, std::optional<std::string> value) {
    if (label.size() > label_max) label.resize(label_max);
    if (value && value->size() > value_max) value->resize(value_max);
    out.push_back({std::move(label), std::move(value)});
}

std::string_view trim_view(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

template <typename Fn>
void each_line(std::string_view text, Fn fn) {
    while (!text.empty()) {
        size_t nl = text.find('\n');
        fn(text.substr(0, nl));
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    }
}

const char* architecture(const std::string& machine) {
    if (machine == "x86_64" || machine == "amd64") return "x64 (AMD or Intel)";
    if (machine.size() == 4 && machine[0] == 'i' && machine.substr(2) == "86") return "x86";
    if (machine == "ia64") return "Intel Itanium";
    return "Unknown";
}

const char* adapter_type(int arp_type) {
    switch (arp_type) {
    case 1: return "Ethernet interface";     // ether
    case 6:                                  // IEEE 802.2
    case 800: return "Tokenring interface";  // token ring
    case 774: return "FDDI interface";
    case 512: return "PPP interface";
    case 772: return "Loopback interface";
    case 256: return "SLIP interface";
    default: return "Unknown interface type";
    }
}

std::string dotted_quad_le(uint32_t v) {
    return strprintf("%u.%u.%u.%u", v & 0xFF, (v >> 8) & 0xFF, (v >> 16) & 0xFF, v >> 24);
}

std::string read_small(const char* path) {
    std::string text;
    if (read_host_file(path, text, 1 << 16)) return {};
    return text;
}

}  // namespace

std::string format_size(double value, const char* unit) {
    const char* prefix = "";
    char buf[30];
    if (value >= 1073741824.0)
        std::snprintf(buf, sizeof buf, "%s %6.2fG%s", prefix, value / 1073741824.0, unit);
    else if (value >= 1048576.0)
        std::snprintf(buf, sizeof buf, "%s %6.2fM%s", prefix, value / 1048576.0, unit);
    else if (value >= 1024.0)
        std::snprintf(buf, sizeof buf, "%s %6.2fk%s", prefix, value / 1024.0, unit);
    else
        std::snprintf(buf, sizeof buf, "%s %6.2f%s", prefix, value, unit);
    return buf;
}

std::optional<std::string> parse_os_release(std::string_view text) {
    std::optional<std::string> out;
    each_line(text, [&](std::string_view line) {
        line = trim_view(line);
        if (out || line.rfind("PRETTY_NAME=", 0) != 0) return;
        std::string_view v = line.substr(12);
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
            v = v.substr(1, v.size() - 2);
        std::string s;
        for (size_t i = 0; i < v.size(); ++i) {
            if (v[i] == '\\' && i + 1 < v.size()) ++i;
            s += v[i];
        }
        if (!s.empty()) out = std::move(s);
    });
    return out;
}

void parse_resolv_conf(std::string_view text, std::string& domain, std::vector<std::string>& servers) {
    std::string search;
    each_line(text, [&](std::string_view line) {
        line = trim_view(line.substr(0, line.find_first_of("#;")));
        size_t sp = line.find_first_of(" \t");
        if (sp == std::string_view::npos) return;
        std::string_view key = line.substr(0, sp), rest = trim_view(line.substr(sp));
        std::string_view first = rest.substr(0, rest.find_first_of(" \t"));
        if (key == "nameserver" && servers.size() < 16)
            servers.emplace_back(first);
        else if (key == "domain")
            domain = std::string(first);
        else if (key == "search" && search.empty())
            search = std::string(first);
    });
    if (domain.empty()) domain = search;
}

std::map<std::string, std::vector<std::string>> parse_route(std::string_view text) {
    std::map<std::string, std::vector<std::string>> out;
    size_t lines = 0;
    each_line(text, [&](std::string_view line) {
        // Iface Destination Gateway Flags ...; the numbers in hexadecimal.
        if (++lines == 1 || lines > 10000) return;
        size_t sp = line.find_first_of(" \t");
        if (sp == std::string_view::npos || sp == 0 || sp > 64) return;
        std::string_view iface = line.substr(0, sp), rest = line.substr(sp);
        uint32_t fields[3];
        for (auto& f : fields) {
            rest = trim_view(rest);
            size_t e = rest.find_first_of(" \t");
            std::string_view tok = rest.substr(0, e);
            auto [p, ec] = std::from_chars(tok.data(), tok.data() + tok.size(), f, 16);
            if (ec != std::errc() || p != tok.data() + tok.size() || tok.empty()) return;
            rest.remove_prefix(tok.size());
        }
        const uint32_t rtf_gateway = 0x2;
        if (!(fields[2] & rtf_gateway) || fields[1] == 0) return;
        auto& list = out[std::string(iface)];
        std::string gw = dotted_quad_le(fields[1]);
        if (std::find(list.begin(), list.end(), gw) == list.end() && list.size() < 16) list.push_back(gw);
    });
    return out;
}

std::vector<uint8_t> parse_mac(std::string_view text) {
    text = trim_view(text.substr(0, text.find('\n')));
    std::vector<uint8_t> out;
    while (!text.empty() && out.size() < 32) {
        uint8_t b = 0;
        auto [p, ec] = std::from_chars(text.data(), text.data() + std::min<size_t>(2, text.size()), b, 16);
        if (ec != std::errc() || p != text.data() + std::min<size_t>(2, text.size())) return {};
        out.push_back(b);
        text.remove_prefix(std::min<size_t>(2, text.size()));
        if (!text.empty()) {
            if (text.front() != ':') return {};
            text.remove_prefix(1);
            if (text.empty()) return {};
        }
    }
    return text.empty() ? out : std::vector<uint8_t>{};
}

clinfo_list build_host_info(const host_facts& f) {
    clinfo_list out;
    add(out, "Hardware", std::nullopt);
    add(out, "Architecture", architecture(f.machine));
    add(out, "Number of CPUs", strprintf("%i", f.cpus));
    for (int i = 0; i < f.cpus; ++i) {
        bool on = static_cast<size_t>(i) < f.cpu_enabled.size() && f.cpu_enabled[static_cast<size_t>(i)];
        add(out, strprintf("CPU %i status", i), on ? "Enabled" : "Disabled");
    }
    if (f.mem_total) add(out, "Installed Memory", format_size(static_cast<double>(*f.mem_total), "B"));

    add(out, "Software", std::nullopt);
    int version[3] = {0, 0, 0};
    std::string_view rel = f.release;
    for (int i = 0; i < 3; ++i) {
        auto [p, ec] = std::from_chars(rel.data(), rel.data() + rel.size(), version[i]);
        if (ec != std::errc()) break;
        rel.remove_prefix(static_cast<size_t>(p - rel.data()));
        if (i < 2 && !rel.empty() && rel.front() == '.') rel.remove_prefix(1);
        else break;
    }
    if (version[0] == 0) {
        add(out, "System", "Unknown");
    } else {
        while (!rel.empty() && (rel.front() == '-' || rel.front() == '.' || rel.front() == '+')) rel.remove_prefix(1);
        add(out, "OS Id", f.os_name.value_or("Unknown"));
        add(out, "Platform", "non-NT");
        add(out, "Version", strprintf("%i.%i", version[0], version[1]));
        add(out, "Build", strprintf("%i", version[2]));
        add(out, "Updates", std::string(rel));
    }
    add(out, "Zerpal agent", version_text());

    add(out, "Identification", std::nullopt);
    if (!f.hostname.empty()) add(out, "Hostname", f.hostname);
    if (!f.domain.empty()) add(out, "Domain Name", f.domain);
    if (!f.dns.empty()) {
        std::string joined;
        for (const auto& s : f.dns) joined += (joined.empty() ? "" : ", ") + s;
        add(out, "DNS Servers", joined);
    }
    add(out, "Routing", f.routing ? "Enabled" : "Disabled");
    add(out, "ARP Proxy", f.proxy_arp ? "Enabled" : "Disabled");

    for (const auto& a : f.adapters) {
        add(out, "Network Interface", a.name);
        add(out, "", adapter_type(a.arp_type));
        for (const auto& [addr, mask] : a.ipv4) add(out, "", "IP: " + addr + "/" + mask);
        for (const auto& gw : a.gateways) add(out, "", "Gateway: " + gw);
        add(out, "", "DHCP disabled");
        add(out, "", "WINS disabled");
        std::string mac = "MAC address: ";
        for (size_t i = 0; i < a.mac.size(); ++i) mac += strprintf(i ? ":%.2X" : "%.2X", a.mac[i]);
        add(out, "", mac);
    }
    return out;
}

clinfo_list gather_host_info() {
    host_facts f;
    os::uname_facts u = os::uname_info();
    f.machine = u.machine;
    f.release = u.release;
    f.cpus = os::cpu_count();
    f.cpu_enabled = os::cpu_affinity(f.cpus);
    uint64_t mem_kb = 0;
    std::string_view rest;
    std::string meminfo = read_small("/proc/meminfo");
    if (find_keyed_line(meminfo, "MemTotal:", rest) && take_u64(rest, mem_kb) && mem_kb < (uint64_t{1} << 50))
        f.mem_total = mem_kb * 1024;
    f.os_name = parse_os_release(read_small("/etc/os-release"));
    f.hostname = os::host_name();
    parse_resolv_conf(read_small("/etc/resolv.conf"), f.domain, f.dns);
    f.routing = read_small("/proc/sys/net/ipv4/ip_forward").rfind('1', 0) == 0;
    f.proxy_arp = read_small("/proc/sys/net/ipv4/conf/all/proxy_arp").rfind('1', 0) == 0;

    auto gateways = parse_route(read_small("/proc/net/route"));
    auto addresses = os::ipv4_addresses();
    std::vector<std::string> names;
    (void)list_host_dir("/sys/class/net", names);
    std::vector<std::pair<long, std::string>> ordered;
    for (const auto& n : names) {
        std::string idx = read_small(("/sys/class/net/" + n + "/ifindex").c_str());
        ordered.emplace_back(std::strtol(idx.c_str(), nullptr, 10), n);
    }
    std::sort(ordered.begin(), ordered.end());
    for (const auto& [index, name] : ordered) {
        if (f.adapters.size() >= 256) break;
        adapter_facts a;
        a.name = name;
        std::string type = read_small(("/sys/class/net/" + name + "/type").c_str());
        if (!type.empty()) a.arp_type = static_cast<int>(std::strtol(type.c_str(), nullptr, 10));
        if (auto it = addresses.find(name); it != addresses.end()) a.ipv4 = it->second;
        if (auto it = gateways.find(name); it != gateways.end()) a.gateways = it->second;
        a.mac = parse_mac(read_small(("/sys/class/net/" + name + "/address").c_str()));
        f.adapters.push_back(std::move(a));
    }
    return build_host_info(f);
}

}  // namespace zp
