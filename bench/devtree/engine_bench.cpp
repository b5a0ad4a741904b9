// engine_bench.cpp - cost of one check run (choice of the next check, the check
// operation, evaluation, queueing, retention) with 10,000 and 100,000 checks,
// and how the result memory budget compares with the memory results really use.
#include <malloc.h>

#include <cstdint>
#include <random>
#include <string>

#include <benchmark/benchmark.h>

#include "core/clock.h"
#include "core/config.h"
#include "core/log.h"
#include "devtree/check.h"
#include "devtree/scan.h"
#include "devtree/schedule.h"

namespace {

int64_t bench_now = 1'000'000;
int64_t bench_clock() { return bench_now; }

zp::err trivial_check(zp::devnode&, zp::resnode* res) {
    res->ivalue = 42;
    return {};
}

// `count` checks spread over 10 top-level groups of "mem" kind with 10
// subgroups each, frequencies 30 to 300 seconds.
zp::devtree_list make_tree(int count) {
    zp::devtree_list tree;
    zp::devtree* top = zp::devtree_child(tree, "mem", std::nullopt);
    std::mt19937 rng(1);
    for (int g = 0; g < 100; ++g) {
        zp::devtree* sub = zp::devtree_child(*top, "g" + std::to_string(g), std::nullopt);
        zp::devnode_list list;
        for (int i = g; i < count; i += 100) {
            auto n = zp::alloc_devnode();
            n->id = "c" + std::to_string(i);
            n->type = zp::type_continuous;
            n->frequency = 30 + static_cast<int32_t>(rng() % 271);
            n->cont = {10, 80, 5, 90};
            list.push_back(std::move(n));
        }
        zp::add_devnodes(*sub, std::move(list));
    }
    return tree;
}

void setup_engine() {
    zp::set_log_level(3);
    zp::set_clock(bench_clock);
    zp::the_config().max_data_retention_days = 1;
    zp::register_scanner("mem", nullptr, trivial_check);
}

// One iteration: choose the due check, advance the clock to it, run it,
// schedule its next run.
void BM_CheckRun(benchmark::State& state) {
    setup_engine();
    zp::devtree_list tree = make_tree(static_cast<int>(state.range(0)));
    zp::check_schedule sched;
    sched.rebuild(tree);
    bench_now = 1'000'000;
    for (auto _ : state) {
        zp::devnode* n = sched.select(bench_now);
        if (n->next_due > bench_now) bench_now = n->next_due;
        zp::run_check(*n);
        n->next_due = bench_now + n->frequency;
        sched.update(*n);
    }
    state.counters["queued_results"] = static_cast<double>(zp::result_budget_used() / 80);
    state.SetLabel("per check run");
}
BENCHMARK(BM_CheckRun)->Arg(10000)->Arg(100000)->Iterations(100000)->Unit(benchmark::kMicrosecond);

// The same with a plain walk of the tree per choice, for comparison.
void BM_CheckRunPlainWalk(benchmark::State& state) {
    setup_engine();
    zp::devtree_list tree = make_tree(static_cast<int>(state.range(0)));
    bench_now = 1'000'000;
    for (auto _ : state) {
        zp::devnode* n = zp::select_next_check(tree, bench_now);
        if (n->next_due > bench_now) bench_now = n->next_due;
        zp::run_check(*n);
        n->next_due = bench_now + n->frequency;
    }
}
BENCHMARK(BM_CheckRunPlainWalk)->Arg(10000)->Iterations(2000)->Unit(benchmark::kMicrosecond);

// Queues 200,000 results of mixed text sizes (argument 1: short texts only,
// where the fixed cost per result matters most) and compares the budget counter's
// growth with the growth of memory in use by the allocator.
void BM_BudgetHonesty(benchmark::State& state) {
    zp::set_log_level(3);
    const bool small_only = state.range(0) != 0;
    for (auto _ : state) {
        zp::devtree_list tree = make_tree(1000);
        std::vector<zp::devnode*> checks;
        for (auto& g : tree[0]->children)
            for (auto& n : g->checks) checks.push_back(n.get());
        std::mt19937 rng(2);
        std::string big(70000, 'x');
        malloc_trim(0);
        size_t before = mallinfo2().uordblks;
        int64_t budget_before = zp::result_budget_used();
        for (int i = 0; i < 200000; ++i) {
            auto r = zp::alloc_resnode();
            r->time = i;
            unsigned kind = rng() % (small_only ? 99 : 100);
            if (small_only && kind >= 55 && kind < 85) kind = 90;  // no long log texts
            if (kind < 30) {
                // value only
            } else if (kind < 55) {
                zp::set_result_text(*r, std::string_view(big).substr(0, rng() % 300));
            } else if (kind < 85) {
                zp::set_result_log_text(*r, std::string_view(big).substr(0, rng() % 2000));
            } else if (kind < 99) {
                zp::set_result_log_text(*r, std::string_view(big).substr(0, rng() % 200));
                r->set_alert_group(std::string_view(big).substr(0, 1 + rng() % 32));
                zp::set_result_text(*r, "matched");
            } else {
                zp::set_result_log_text(*r, std::string_view(big).substr(0, 60000 + rng() % 10000));
            }
            zp::append_result(*checks[i % checks.size()], std::move(r));
        }
        size_t after = mallinfo2().uordblks;
        double real = static_cast<double>(after - before);
        double budget = static_cast<double>(zp::result_budget_used() - budget_before);
        state.counters["budget_MB"] = budget / 1e6;
        state.counters["real_MB"] = real / 1e6;
        state.counters["real_per_budget"] = real / budget;
    }
}
BENCHMARK(BM_BudgetHonesty)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
