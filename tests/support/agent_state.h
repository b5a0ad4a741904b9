// agent_state.h - a simulated clock and a fresh process-wide agent state for
// the tests of the device tree and the main loop, and quick ways to fill a
// check group and a result queue.
#pragma once

#include <string>

#include "core/agent.h"
#include "core/clock.h"
#include "core/config.h"
#include "devtree/devtree.h"
#include "devtree/scan.h"

namespace zp::test {

inline int64_t sim_now = 1'000'000;
inline int64_t sim_clock() { return sim_now; }

// Fresh start-up state and configuration on the simulated clock at 1,000,000;
// every scanner without operations and enabled.
inline void reset_agent_state() {
    startup() = startup_state{};
    the_config() = config{};
    sim_now = 1'000'000;
    set_clock(sim_clock);
    for (auto& s : scanner_table()) {
        register_scanner(s.name, nullptr, nullptr);
        s.flags &= ~scanner_disabled;
    }
}

// Appends a check to `g` (after its other checks) with all thresholds off.
inline devnode* add_check(devtree& g, const std::string& id, int64_t next_due = 0, uint32_t type = 0) {
    auto n = alloc_devnode();
    n->id = id;
    n->next_due = next_due;
    n->type = type;
    n->cont = {-1, -1, -1, -1};
    n->real = {-1, -1, -1, -1};
    n->parent = &g;
    g.checks.push_back(std::move(n));
    return g.checks.back().get();
}

// Appends a result made at `time`, with an error text of `text_len` bytes.
inline void add_result(devnode& n, int64_t time, size_t text_len = 0) {
    auto r = alloc_resnode();
    r->time = time;
    if (text_len) set_result_text(*r, std::string(text_len, 't'));
    append_result(n, std::move(r));
}

}  // namespace zp::test
