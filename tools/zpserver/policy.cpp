// policy.cpp - what the server configures: every check of the agent's last
// hardware scan, with one frequency, no thresholds and an identifier made
// from its path.
#include <algorithm>

#include "devtree/devtree.h"
#include "protocol/crypto.h"
#include "tools/zpserver/server.h"

namespace zp::server {

namespace {

void collect(const std::vector<scan_group>& groups, std::vector<std::string>& path, std::vector<known_check>& out) {
    for (const auto& g : groups) {
        path.push_back(g.id);
        for (const auto& c : g.checks) {
            if (c.type == type_action) continue;
            known_check k;
            k.type = c.type;
            k.path = path;
            k.path.push_back(c.id);
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

std::vector<conf_group> configured_tree(const agent_record& rec, int32_t frequency,
                                        const std::optional<std::string>& log_rule) {
    std::vector<conf_group> tree;
    for (const auto& k : rec.checks) {
        if (k.path.size() < 2) continue;
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
        if (c.conf == 4) c.log_rule = log_rule;
        group->checks.push_back(std::move(c));
    }
    return tree;
}

}  // namespace zp::server
