// monitors_bench.cpp - cost of each host check beside a bare loop that reads
// the same /proc file (or calls statvfs); the process check with 1,000 extra
// processes beside `pgrep -x` for the same lookup; the full scan of this host;
// the "perf" scan, perf counter checks beside bare reads of their files, and
// a round of every disk and interface check served by one collection per
// object; resident memory after 10,000 check runs with every offered check
// configured.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/log.h"
#include "devtree/check.h"
#include "devtree/scan.h"
#include "monitors/counters/host_files.h"
#include "monitors/counters/objects.h"
#include "monitors/hostinfo/hostinfo.h"
#include "monitors/system/perf.h"
#include "monitors/system/system.h"

extern char** environ;

namespace {

constexpr const char* sleeper_name = "zpbenchsleep";
constexpr int extra_processes = 1000;
std::vector<pid_t> sleepers;
std::string sleeper_dir;

void start_sleepers() {
    char tmpl[] = "/tmp/zp-bench-XXXXXX";
    sleeper_dir = ::mkdtemp(tmpl);
    std::string exe = sleeper_dir + "/" + sleeper_name;
    std::filesystem::copy_file("/bin/sleep", exe);
    std::filesystem::permissions(exe, std::filesystem::perms::owner_exec, std::filesystem::perm_options::add);
    char arg0[] = "zpbenchsleep", arg1[] = "3600";
    char* argv[] = {arg0, arg1, nullptr};
    for (int i = 0; i < extra_processes; ++i) {
        pid_t pid = 0;
        if (::posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, environ) == 0) sleepers.push_back(pid);
    }
}

void stop_sleepers() {
    for (pid_t p : sleepers) ::kill(p, SIGTERM);
    for (pid_t p : sleepers) ::waitpid(p, nullptr, 0);
    sleepers.clear();
    std::filesystem::remove_all(sleeper_dir);
}

// A simulated clock that the benchmark moves on by one
// second makes every check run after it a fresh collection, as a check run
// once per second or less often would be.

int64_t clock_offset_ms = 0;
int64_t bench_clock() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count() + clock_offset_ms;
}
// The first run of a check really waits: its second sample must see the
// kernel's figures move on (processor ticks are 10 ms).
void bench_sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

struct clock_moved {
    clock_moved() { zp::set_monotonic_clock(bench_clock, bench_sleep); }
    ~clock_moved() { zp::set_monotonic_clock(nullptr, nullptr); }
};

// One configured check of a scanner, as registration would make it.
struct one_check {
    zp::devtree group;
    zp::devnode* node;
    one_check(const char* scanner, const char* id, uint32_t type) {
        group.id = scanner;
        auto n = zp::alloc_devnode();
        n->id = id;
        n->type = type;
        node = n.get();
        zp::add_devnodes(group, std::move(n));
    }
};

void run_check_loop(benchmark::State& state, const char* scanner, const char* id, uint32_t type) {
    clock_moved clock;
    one_check c(scanner, id, type);
    // The first run of a rate counter waits one second for its second sample;
    // the runs measured are the ones that follow, each a second later.
    (void)zp::check_device(*c.node);
    for (auto _ : state) {
        clock_offset_ms += 1000;
        auto res = zp::check_device(*c.node);
        if (!res || res->status == zp::status_error) {
            state.SkipWithError("check failed");
            break;
        }
        benchmark::DoNotOptimize(res->ivalue);
    }
}

void bare_read(benchmark::State& state, const char* path) {
    char buf[65536];
    for (auto _ : state) {
        int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        ssize_t n = ::read(fd, buf, sizeof buf);
        ::close(fd);
        benchmark::DoNotOptimize(n);
    }
}

void BM_check_fs_root(benchmark::State& s) { run_check_loop(s, "fs", "/", zp::type_real_continuous); }
void BM_bare_statvfs_root(benchmark::State& s) {
    for (auto _ : s) {
        struct statvfs st{};
        benchmark::DoNotOptimize(::statvfs("/", &st));
    }
}
void BM_check_mem_phys(benchmark::State& s) { run_check_loop(s, "mem", "phys", zp::type_real_continuous); }
void BM_bare_read_meminfo(benchmark::State& s) { bare_read(s, "/proc/meminfo"); }
void BM_check_system_idle(benchmark::State& s) { run_check_loop(s, "system", "idle", zp::type_continuous); }
void BM_check_system_cswitch(benchmark::State& s) { run_check_loop(s, "system", "cswitch", zp::type_continuous); }
void BM_bare_read_stat(benchmark::State& s) { bare_read(s, "/proc/stat"); }
void BM_check_system_uptime(benchmark::State& s) { run_check_loop(s, "system", "uptime", zp::type_uptime); }
void BM_bare_read_uptime(benchmark::State& s) { bare_read(s, "/proc/uptime"); }

// Process presence with 1,000 extra processes: a name that runs (1,000
// times, the last ones in the list) and one that does not.
void BM_check_proc_present(benchmark::State& s) { run_check_loop(s, "proc", sleeper_name, zp::type_enum); }
void BM_check_proc_missing(benchmark::State& s) { run_check_loop(s, "proc", "nosuchprocess", zp::type_enum); }

void pgrep(benchmark::State& state, const char* name) {
    char a0[] = "pgrep", a1[] = "-x";
    std::string a2 = name;
    char* argv[] = {a0, a1, a2.data(), nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    auto child_cpu_us = [] {
        rusage ru{};
        ::getrusage(RUSAGE_CHILDREN, &ru);
        return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e6 + ru.ru_utime.tv_usec + ru.ru_stime.tv_usec;
    };
    const double cpu_before = child_cpu_us();
    for (auto _ : state) {
        pid_t pid = 0;
        if (::posix_spawnp(&pid, "pgrep", &fa, nullptr, argv, environ) != 0) {
            state.SkipWithError("no pgrep");
            break;
        }
        ::waitpid(pid, nullptr, 0);
    }
    posix_spawn_file_actions_destroy(&fa);
    // pgrep's own processor time, which the benchmark's CPU column does not see.
    state.counters["pgrep_cpu_us"] =
        benchmark::Counter(child_cpu_us() - cpu_before, benchmark::Counter::kAvgIterations);
}
void BM_pgrep_present(benchmark::State& s) { pgrep(s, sleeper_name); }
void BM_pgrep_missing(benchmark::State& s) { pgrep(s, "nosuchprocess"); }

// What pgrep does in-process: every /proc/<pid>/stat opened and read.
void BM_bare_proc_stat_walk(benchmark::State& state) {
    char buf[4096];
    for (auto _ : state) {
        DIR* d = ::opendir("/proc");
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
            char path[300];
            std::snprintf(path, sizeof path, "/proc/%s/stat", e->d_name);
            int fd = ::open(path, O_RDONLY | O_CLOEXEC);
            if (fd < 0) continue;
            benchmark::DoNotOptimize(::read(fd, buf, sizeof buf));
            ::close(fd);
        }
        ::closedir(d);
    }
}

// ---------------------------------------------------------------------------
// Performance counters.

// A configured perf counter check: "perf" > object > instance > counter.
struct perf_check {
    zp::devtree_list tree;
    zp::devnode* node = nullptr;
    perf_check(const char* object, const char* instance, const char* counter) {
        zp::devtree* g = zp::devtree_child(tree, "perf", std::nullopt);
        g = zp::devtree_child(*g, object, std::nullopt);
        if (instance) g = zp::devtree_child(*g, instance, std::nullopt);
        auto n = zp::alloc_devnode();
        n->id = counter;
        n->type = zp::type_real_continuous;
        node = n.get();
        zp::add_devnodes(*g, std::move(n));
    }
};

void perf_check_loop(benchmark::State& state, const char* object, const char* instance, const char* counter,
                     bool fresh) {
    clock_moved clock;
    perf_check c(object, instance, counter);
    (void)zp::check_device(*c.node);
    for (auto _ : state) {
        if (fresh) clock_offset_ms += 1000;
        auto res = zp::check_device(*c.node);
        if (!res || res->status == zp::status_error) {
            state.SkipWithError("check failed");
            break;
        }
        benchmark::DoNotOptimize(res->dvalue);
    }
}

void BM_perf_scan(benchmark::State& state) {
    size_t checks = 0;
    for (auto _ : state) {
        zp::devtree root;
        (void)zp::scan_perfcnts(root);
        checks = 0;
        for (auto& o : root.children[0]->children) {
            checks += o->checks.size();
            for (auto& i : o->children) checks += i->checks.size();
        }
    }
    state.counters["checks"] = static_cast<double>(checks);
}

void BM_check_perf_disk_total(benchmark::State& s) {
    perf_check_loop(s, "PhysicalDisk", "_Total", "Disk Reads/sec", true);
}
void BM_check_perf_disk_total_same_second(benchmark::State& s) {
    perf_check_loop(s, "PhysicalDisk", "_Total", "Disk Reads/sec", false);
}
void BM_bare_read_diskstats(benchmark::State& s) { bare_read(s, "/proc/diskstats"); }
void BM_check_perf_net_lo(benchmark::State& s) {
    perf_check_loop(s, "Network Interface", "lo", "Bytes Received/sec", true);
}
void BM_bare_read_net_dev(benchmark::State& s) { bare_read(s, "/proc/net/dev"); }
void BM_check_perf_memory(benchmark::State& s) { perf_check_loop(s, "Memory", nullptr, "Available Bytes", true); }

// A round of the 13 block checks of disk 0 and every interface check, once
// per (simulated) second: one collection of /proc/diskstats and one of
// /proc/net/dev serve the whole round.
void BM_round_of_disk_and_interface_checks(benchmark::State& state) {
    clock_moved clock;
    zp::devtree_list tree = zp::hardware_scan();
    std::vector<zp::devnode*> nodes;
    for (auto& g : tree) {
        if (g->id != "block" && g->id != "ifthrough" && g->id != "ifevents") continue;
        std::vector<zp::devtree*> todo{g.get()};
        while (!todo.empty()) {
            zp::devtree* t = todo.back();
            todo.pop_back();
            for (auto& n : t->checks) nodes.push_back(n.get());
            for (auto& c : t->children) todo.push_back(c.get());
        }
    }
    for (auto* n : nodes) (void)zp::check_device(*n);
    const uint64_t before = zp::collections_made();
    for (auto _ : state) {
        clock_offset_ms += 1000;
        for (auto* n : nodes) benchmark::DoNotOptimize(zp::check_device(*n).get());
    }
    state.counters["checks_per_round"] = static_cast<double>(nodes.size());
    state.counters["collections_per_round"] =
        static_cast<double>(zp::collections_made() - before) / static_cast<double>(state.iterations());
}

void BM_full_scan(benchmark::State& state) {
    size_t checks = 0;
    for (auto _ : state) {
        zp::devtree_list tree = zp::hardware_scan();
        checks = 0;
        for (auto& g : tree) checks += g->checks.size();
    }
    state.counters["checks"] = static_cast<double>(checks);
}

void BM_host_info(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(zp::gather_host_info());
}

long rss_kb() {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// Every offered check configured (the scan tree taken as the configuration),
// then 10,000 check runs in turn over all of them; results are dropped as a
// check-in would send them.
void BM_rss_after_10000_runs(benchmark::State& state) {
    for (auto _ : state) {
        zp::devtree_list tree = zp::hardware_scan();
        std::vector<zp::devnode*> nodes;
        for (auto& g : tree)
            for (auto& n : g->checks) nodes.push_back(n.get());
        long before = rss_kb();
        for (int i = 0; i < 10000 && !nodes.empty(); ++i) {
            auto res = zp::check_device(*nodes[static_cast<size_t>(i) % nodes.size()]);
            benchmark::DoNotOptimize(res.get());
        }
        state.counters["configured"] = static_cast<double>(nodes.size());
        state.counters["rss_before_kB"] = static_cast<double>(before);
        state.counters["rss_after_kB"] = static_cast<double>(rss_kb());
    }
}

}  // namespace

BENCHMARK(BM_check_fs_root)->Iterations(10000);
BENCHMARK(BM_bare_statvfs_root)->Iterations(10000);
BENCHMARK(BM_check_mem_phys)->Iterations(10000);
BENCHMARK(BM_bare_read_meminfo)->Iterations(10000);
BENCHMARK(BM_check_system_idle)->Iterations(10000);
BENCHMARK(BM_check_system_cswitch)->Iterations(10000);
BENCHMARK(BM_bare_read_stat)->Iterations(10000);
BENCHMARK(BM_check_system_uptime)->Iterations(10000);
BENCHMARK(BM_bare_read_uptime)->Iterations(10000);
BENCHMARK(BM_check_proc_present)->Iterations(1000)->UseRealTime();
BENCHMARK(BM_pgrep_present)->Iterations(200)->UseRealTime();
BENCHMARK(BM_check_proc_missing)->Iterations(1000)->UseRealTime();
BENCHMARK(BM_pgrep_missing)->Iterations(200)->UseRealTime();
BENCHMARK(BM_bare_proc_stat_walk)->Iterations(1000)->UseRealTime();
BENCHMARK(BM_perf_scan)->Iterations(50)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_check_perf_disk_total)->Iterations(10000);
BENCHMARK(BM_check_perf_disk_total_same_second)->Iterations(10000);
BENCHMARK(BM_bare_read_diskstats)->Iterations(10000);
BENCHMARK(BM_check_perf_net_lo)->Iterations(10000);
BENCHMARK(BM_bare_read_net_dev)->Iterations(10000);
BENCHMARK(BM_check_perf_memory)->Iterations(10000);
BENCHMARK(BM_round_of_disk_and_interface_checks)->Iterations(1000);
BENCHMARK(BM_full_scan)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_host_info)->Iterations(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_rss_after_10000_runs)->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    zp::set_log_level(4);
    zp::register_system_scanners();
    benchmark::Initialize(&argc, argv);
    start_sleepers();
    benchmark::RunSpecifiedBenchmarks();
    stop_sleepers();
    benchmark::Shutdown();
    return 0;
}
