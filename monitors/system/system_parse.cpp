// system_parse.cpp - mountinfo, meminfo and the choice of fixed mounts.
#include "monitors/system/system_parse.h"

#include <charconv>
#include <algorithm>
#include <map>
#include <set>

#include "monitors/counters/proc_parse.h"

namespace zp {

namespace {

// Longest mountinfo line read: a mount point of 4095 bytes, every byte escaped.
constexpr size_t max_line = 20000;

std::string_view take_field(std::string_view& s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    size_t e = s.find(' ');
    std::string_view f = s.substr(0, e);
    s.remove_prefix(e == std::string_view::npos ? s.size() : e);
    return f;
}

// Undoes the kernel's octal escapes of blanks, tabs, line feeds and backslashes.
std::string unescape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' &&
            s[i + 2] >= '0' && s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
            out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

bool to_u32(std::string_view s, uint32_t& v) {
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return ec == std::errc() && p == s.data() + s.size() && !s.empty();
}

bool parse_line(std::string_view line, mount_entry& m) {
    std::string_view id = take_field(line), parent = take_field(line), dev = take_field(line);
    std::string_view root = take_field(line), point = take_field(line);
    if (!to_u32(id, m.id) || !to_u32(parent, m.parent) || !parse_dev_number(dev, m.major, m.minor)) return false;
    if (root.empty() || point.empty() || point.front() != '/') return false;
    take_field(line);  // mount options
    for (;;) {         // optional fields up to the separator
        std::string_view f = take_field(line);
        if (f.empty()) return false;
        if (f == "-") break;
    }
    std::string_view type = take_field(line), source = take_field(line);
    if (type.empty()) return false;
    m.root = unescape(root);
    m.mount_point = unescape(point);
    // A path never holds a NUL byte: such a line is not the kernel's.
    if (m.root.find('\0') != std::string::npos || m.mount_point.find('\0') != std::string::npos) return false;
    m.fs_type = std::string(type);
    m.source = unescape(source);
    return true;
}

bool path_within(const std::string& inner, const std::string& outer) {
    if (outer == "/" || inner == outer) return true;
    return inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 && inner[outer.size()] == '/';
}

bool excluded_name(const std::string& n) {
    for (const char* p : {"loop", "ram", "zram", "fd", "sr"})
        if (n.rfind(p, 0) == 0) return true;
    return false;
}

}  // namespace

std::vector<mount_entry> parse_mountinfo(std::string_view text) {
    std::vector<mount_entry> out;
    while (!text.empty() && out.size() < max_mounts) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        // A line without its line feed was cut short: leave it.
        if (nl == std::string_view::npos || line.size() > max_line) continue;
        mount_entry m;
        if (parse_line(line, m)) out.push_back(std::move(m));
    }
    return out;
}

bool parse_dev_number(std::string_view text, uint32_t& major, uint32_t& minor) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
    size_t colon = text.find(':');
    if (colon == std::string_view::npos) return false;
    return to_u32(text.substr(0, colon), major) && to_u32(text.substr(colon + 1), minor);
}

std::vector<const mount_entry*> fixed_mounts(const std::vector<mount_entry>& mounts,
                                             const std::vector<block_device>& devices) {
    std::map<std::pair<uint32_t, uint32_t>, const block_device*> by_number;
    std::map<std::string, const block_device*> by_name;
    for (const auto& d : devices) {
        by_number.emplace(std::pair(d.major, d.minor), &d);
        by_name.emplace(d.name, &d);
    }
    // The device under a mount: by number, or by the source's name for file
    // systems that show an anonymous number (btrfs).
    auto device_of = [&](const mount_entry& m) -> const block_device* {
        if (m.major != 0) {
            auto it = by_number.find({m.major, m.minor});
            return it == by_number.end() ? nullptr : it->second;
        }
        if (m.source.rfind("/dev/", 0) != 0) return nullptr;
        auto it = by_name.find(m.source.substr(m.source.rfind('/') + 1));
        return it == by_name.end() ? nullptr : it->second;
    };
    auto fixed = [&](const mount_entry& m) {
        const block_device* d = device_of(m);
        return d && !d->removable && !excluded_name(d->name);
    };
    std::map<uint32_t, const mount_entry*> by_id;
    for (const auto& m : mounts) by_id.emplace(m.id, &m);

    std::map<std::string_view, size_t> last_at;
    for (size_t i = 0; i < mounts.size(); ++i) last_at[mounts[i].mount_point] = i;

    // Which mounts show a fixed file system under a fixed chain of mounts.
    std::vector<const mount_entry*> eligible;
    for (size_t i = 0; i < mounts.size(); ++i) {
        const mount_entry& m = mounts[i];
        if (last_at[m.mount_point] != i || !fixed(m)) continue;
        bool chain = true;
        const mount_entry* p = &m;
        for (size_t depth = 0; chain && depth < mounts.size(); ++depth) {  // bounded against loops
            auto it = by_id.find(p->parent);
            if (it == by_id.end() || it->second == p) break;
            p = it->second;
            chain = fixed(*p);
        }
        if (chain) eligible.push_back(&m);
    }
    // Each part of a file system once: the widest view of it wins, so a
    // directory bound elsewhere is not offered beside its file system.
    std::vector<const mount_entry*> order = eligible;
    std::stable_sort(order.begin(), order.end(),
                     [](const mount_entry* a, const mount_entry* b) { return a->root.size() < b->root.size(); });
    std::set<const mount_entry*> chosen;
    std::vector<std::pair<const block_device*, const std::string*>> shown;
    for (const mount_entry* m : order) {
        const block_device* d = device_of(*m);
        bool seen = false;
        for (const auto& [sd, sroot] : shown) seen = seen || (sd == d && path_within(m->root, *sroot));
        if (seen) continue;
        shown.emplace_back(d, &m->root);
        chosen.insert(m);
    }
    std::vector<const mount_entry*> out;
    for (const mount_entry* m : eligible)
        if (chosen.count(m)) out.push_back(m);
    return out;
}

bool parse_meminfo(std::string_view text, mem_status& out) {
    const char* keys[] = {"MemTotal:", "MemAvailable:", "SwapTotal:", "SwapFree:", "CommitLimit:", "Committed_AS:"};
    uint64_t v[6];
    for (size_t i = 0; i < 6; ++i) {
        std::string_view rest;
        if (!find_keyed_line(text, keys[i], rest) || !take_u64(rest, v[i])) return false;
        while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
        if (rest != "kB") return false;
        if (v[i] > (uint64_t{1} << 53)) return false;  // beyond any memory, and beyond a double's integers
    }
    out.phys_total = v[0];
    out.phys_avail = v[1];
    out.swap_total = v[2];
    out.swap_avail = v[3];
    out.virt_total = v[4];
    out.virt_avail = v[4] > v[5] ? v[4] - v[5] : 0;
    return true;
}

}  // namespace zp
