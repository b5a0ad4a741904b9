// run_bench.cpp - cost of one custom check run of `echo Result: 41` beside the
// same command started with posix_spawn and read to its end (wall time, the
// agent's CPU and the command's CPU), and how long the main thread is blocked
// by a command that hangs (with and without its output) and by an action.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <benchmark/benchmark.h>

#include "core/log.h"
#include "custom/custom.h"
#include "custom/run.h"

extern char** environ;

namespace {

double children_cpu_us() {
    rusage ru{};
    getrusage(RUSAGE_CHILDREN, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e6 + ru.ru_utime.tv_usec + ru.ru_stime.tv_usec;
}

zp::custom_check make_check(const std::string& command, int timeout) {
    zp::set_log_level(4);
    zp::custom_check_list l;
    std::string text = "[c]\ncommand=" + command + "\ntype=integer\ntimeout=" + std::to_string(timeout) + "\n";
    if (zp::parse_custom_checks(text, l)) std::abort();
    return std::move(l[0]);
}

void BM_custom_check(benchmark::State& state) {
    zp::custom_check c = make_check("echo Result: 41", 10);
    double child0 = children_cpu_us();
    for (auto _ : state) {
        auto res = zp::alloc_resnode();
        if (zp::run_custom_check(c, *res) || res->ivalue != 41) state.SkipWithError("wrong result");
    }
    state.counters["child_cpu_us"] =
        benchmark::Counter(children_cpu_us() - child0, benchmark::Counter::kAvgIterations);
}

// The floor: the same shell command through posix_spawn with one pipe for
// both outputs, read to its end, reaped.
void BM_posix_spawn_read(benchmark::State& state) {
    double child0 = children_cpu_us();
    for (auto _ : state) {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) std::abort();
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, p[1], 1);
        posix_spawn_file_actions_adddup2(&fa, p[1], 2);
        char sh[] = "sh", c[] = "-c", cmd[] = "echo Result: 41";
        char* argv[] = {sh, c, cmd, nullptr};
        pid_t pid;
        if (posix_spawn(&pid, "/bin/sh", &fa, nullptr, argv, environ) != 0) std::abort();
        posix_spawn_file_actions_destroy(&fa);
        close(p[1]);
        char buf[256];
        std::string out;
        for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
        close(p[0]);
        int st;
        waitpid(pid, &st, 0);
        benchmark::DoNotOptimize(out);
    }
    state.counters["child_cpu_us"] =
        benchmark::Counter(children_cpu_us() - child0, benchmark::Counter::kAvgIterations);
}

// The main thread's longest waits: a command that hangs with its output open
// (one time-out), one that closes its output just before the time-out and
// hangs on (close to two time-outs).
void BM_hung_command(benchmark::State& state) {
    zp::custom_check c = make_check(state.range(0) ? "sleep 0.9; exec >/dev/null 2>&1; sleep 100" : "sleep 100", 1);
    for (auto _ : state) {
        auto res = zp::alloc_resnode();
        if (zp::run_custom_check(c, *res).message() != "Timeout (1 s)") state.SkipWithError("no time-out");
    }
}

void BM_action_start(benchmark::State& state) {
    zp::set_log_level(4);
    for (auto _ : state)
        if (zp::run_detached("sleep 1")) state.SkipWithError("start failed");
}

}  // namespace

BENCHMARK(BM_custom_check)->UseRealTime()->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_posix_spawn_read)->UseRealTime()->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_custom_check)
    ->Name("BM_custom_check/again")
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_hung_command)->Arg(0)->Arg(1)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_action_start)->UseRealTime()->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
