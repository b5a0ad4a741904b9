// logfile_support.h - a log file check on a file in a temporary directory,
// with one rule that records every entry, and the entries it recorded.
#pragma once

#include <string>
#include <vector>

#include "core/variables.h"
#include "devtree/devtree.h"
#include "logcheck/logconf.h"
#include "logcheck/logfile.h"
#include "logcheck/rules.h"
#include "tests/support/files.h"

namespace zp::test {

class log_file_check {
public:
    // The check that reads `path` (absolute, in the platform's form), splitting
    // at `separator`; its groups are those the log check configuration gives.
    log_file_check(const std::string& path, const char* separator = "\n", int32_t mode = 0) {
        devtree* g = devtree_child(tree_, "log", std::nullopt);
        auto conf = parse_log_config(path);
        EXPECT_TRUE(conf && conf->size() == 1 && conf->front()->size() >= 2) << path;
        const log_conf_line& parts = *conf->front();
        for (size_t i = 0; i + 1 < parts.size(); i++) g = devtree_child(*g, parts[i].text, std::nullopt);
        auto n = alloc_devnode();
        n->id = parts.back().text;
        n->type = type_adv_log;
        n->lognode = alloc_lognode();
        if (separator) {
            std::unique_ptr<pattern> sep;
            EXPECT_TRUE(compile_pattern(separator, 0, &sep).ok());
            n->lognode->separator = std::move(sep);
        }
        n->lognode->inclusion_mode = mode;
        auto r = alloc_logrule();
        EXPECT_TRUE(parse_log_clauses("'^'", *r).ok());
        r->decision = decision_log;
        r->status = status_warning;
        add_logrule(n->lognode.get(), std::move(r));
        node = n.get();
        add_devnodes(*g, std::move(n));
    }

    // Runs the check and returns the entries recorded since the last call.
    std::vector<std::string> run(err* outcome = nullptr) {
        err e = log_check(*node, nullptr);
        if (outcome) *outcome = std::move(e);
        return take();
    }
    std::vector<std::string> take() {
        std::vector<std::string> out;
        for (auto& r : node->results)
            if (r.log_text() && r.status == status_warning) out.emplace_back(*r.log_text());
        node->results.clear();
        return out;
    }
    // The path the check reads.
    std::string path() const { return log_file_path(*node); }

    // Forgets the state, as a restart of the agent does (the variables stay).
    void restart() {
        node->release_state(*node);
    }

    devtree_list tree_;
    devnode* node = nullptr;
};

inline void append_file(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary | std::ios::app) << data;
}

}  // namespace zp::test
