// policy.cpp - what the server configures: every check of the agent's last
// hardware scan, with one frequency, an identifier made from its path, and
// thresholds that suit a demonstration where the kind of check is known.
#include <algorithm>

#include "devtree/devtree.h"
#include "protocol/crypto.h"
#include "tools/zpserver/server.h"

namespace zp::server {

namespace {

constexpr uint32_t status_ok_ = 0, status_alert_ = 2;

// Warnings and alerts that make sense on any host: little free space or
// memory, a busy processor, a missing process, a stopped service that ran
// at scan time. Anything else is configured without thresholds.
void demo_limits(const scan_check& c, known_check& k) {
    const double off = -1;
    const double total = c.range_high.value_or(0);
    switch (c.description) {
    case 1:  // free space: warning below 10 %, alert below 5 %
        if (total > 0) k.thresholds = {off, total * 0.05, off, total * 0.10};
        break;
    case 2:  // free physical memory and page file: the same
        if (total > 0 && (c.id == "phys" || c.id == "swap")) k.thresholds = {off, total * 0.05, off, total * 0.10};
        break;
    case 5:  // idle time in hundredths of a percent: warning below 10 %, alert below 5 %
        k.thresholds = {off, 500, off, 1000};
        break;
    case 8:  // process presence: missing (value 0) is an alert, except for
             // kernel workers, which take the name of their current queue
        if (c.id.find('/') == std::string::npos) k.states = {status_alert_, status_ok_};
        break;
    case 18:  // service: one that ran at scan time should keep running
        if (c.comment == "The service is running") k.states = {status_alert_, status_ok_};
        break;
    default: break;
    }
}

void collect(const std::vector<scan_group>& groups, std::vector<std::string>& path, std::vector<known_check>& out) {
    for (const auto& g : groups) {
        path.push_back(g.id);
        for (const auto& c : g.checks) {
            if (c.type == type_action) continue;
            known_check k;
            k.type = c.type;
            k.path = path;
            k.path.push_back(c.id);
            demo_limits(c, k);
            out.push_back(std::move(k));
        }
        collect(g.children, path, out);
        path.pop_back();
    }
}

// The check type record that configures a check of this type.
uint32_t conf_kind(uint32_t type) {
    if (is_bitmap_type(type)) return 1;
    switch (type) {
    case type_log: return 2;
    case type_real_continuous: return 3;
    case type_adv_log: return 4;
    default: return 0;
    }
}

std::string identifier_of(const std::vector<std::string>& path) {
    std::string id;
    for (const auto& p : path) {
        if (!id.empty()) id += '.';
        id += p;
    }
    if (id.size() <= 256) return id;
    md5 d;
    d.update(id);
    md5_digest digest{};
    if (d.finish(digest)) return id.substr(0, 256);
    return "check-" + digest_hex(digest);
}

}  // namespace

std::vector<known_check> uploaded_checks(const std::vector<scan_group>& groups) {
    std::vector<known_check> out;
    std::vector<std::string> path;
    collect(groups, path, out);
    return out;
}

std::vector<conf_group> configured_tree(const agent_record& rec, int32_t frequency, const std::vector<std::string>& groups,
                                        const std::optional<std::string>& log_rule) {
    std::vector<conf_group> tree;
    for (const auto& k : rec.checks) {
        if (k.path.size() < 2) continue;
        if (!groups.empty() && std::find(groups.begin(), groups.end(), k.path[0]) == groups.end()) continue;
        std::vector<conf_group>* level = &tree;
        conf_group* group = nullptr;
        for (size_t i = 0; i + 1 < k.path.size(); ++i) {
            auto it = std::find_if(level->begin(), level->end(), [&](const conf_group& g) { return g.id == k.path[i]; });
            if (it == level->end()) {
                level->push_back({k.path[i], {}, {}});
                it = level->end() - 1;
            }
            group = &*it;
            level = &group->children;
        }
        conf_check c;
        c.frequency = frequency;
        c.id = k.path.back();
        c.conf = conf_kind(k.type);
        c.identifier = identifier_of(k.path);
        for (size_t i = 0; i < 4 && i < k.thresholds.size(); ++i) {
            if (k.thresholds[i] < 0) continue;
            if (c.conf == 3)
                c.real_values[i] = k.thresholds[i];
            else if (c.conf == 0)
                c.int_values[i] = static_cast<int32_t>(std::min(k.thresholds[i], 2147483647.0));
        }
        if (c.conf == 1) c.states = k.states;
        if (c.conf == 4) c.log_rule = log_rule;
        group->checks.push_back(std::move(c));
    }
    return tree;
}

}  // namespace zp::server
