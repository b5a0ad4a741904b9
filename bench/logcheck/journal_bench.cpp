// journal_bench.cpp - throughput of the journal event log reader: an event log
// check of a journal directory of generated entries, read from its oldest
// entry through 5 rules, side by side with
// `journalctl --directory=D -o cat | LC_ALL=C grep -E -c -f` on the same journal.
//
// Usage: journal_bench [entries [cache dir]]   (default 1000000 and
// <build dir>/bench-cache/journal-<entries>). The journal is written once by
// systemd-journal-remote into the cache directory and reused by later runs.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "bench/logcheck/bench_checks.h"
#include "bench/logcheck/syslog_gen.h"
#include "core/log.h"
#include "core/variables.h"
#include "logcheck/channel.h"
#include "logcheck/logfile.h"
#include "logcheck/rules.h"

namespace {

using namespace zp;
using namespace zp::bench;

constexpr size_t rule_count = 5;

const char* journal_remote() {
    return std::filesystem::exists("/usr/lib/systemd/systemd-journal-remote") ? "/usr/lib/systemd/systemd-journal-remote"
                                                                              : "/lib/systemd/systemd-journal-remote";
}

// Writes `count` entries in export format to systemd-journal-remote: the
// messages of the syslog benchmarks, with the fields a service's entry has.
bool make_journal(const std::string& dir, size_t count) {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::string cmd = std::string(journal_remote()) + " --output='" + dir + "/bench.journal' - 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "w");
    if (!p) return false;
    std::mt19937 rng(42);
    char msg[512];
    std::string e;
    for (size_t i = 0; i < count; i++) {
        const bool is_rare = rng() % 50 == 0;
        const char* fmt = is_rare ? rare[rng() % std::size(rare)] : normal[rng() % std::size(normal)];
        int n = snprintf(msg, sizeof msg, fmt, static_cast<int>(rng() % 30000), static_cast<int>(rng() % 256),
                         static_cast<int>(rng() % 256), static_cast<int>(rng() % 65536));
        while (n < 90 + static_cast<int>(rng() % 20)) msg[n++] = ' ';
        msg[n] = '\0';
        std::string ident(msg, std::string_view(msg).find_first_of("[:"));
        e = "__REALTIME_TIMESTAMP=" + std::to_string(1700000000000000ULL + i * 1000) +
            "\n__MONOTONIC_TIMESTAMP=" + std::to_string(1000 + i * 1000) +
            "\n_BOOT_ID=0123456789abcdef0123456789abcdef\n_HOSTNAME=host" + std::to_string(rng() % 40) +
            "\n_UID=" + (rng() % 2 ? "0" : "65534") + "\n_PID=" + std::to_string(rng() % 30000) + "\n_COMM=" + ident +
            "\n_SYSTEMD_UNIT=" + ident + ".service\nSYSLOG_IDENTIFIER=" + ident + "\nSYSLOG_FACILITY=3\nPRIORITY=" +
            (is_rare ? "3" : "6") + "\nMESSAGE=" + msg + "\n\n";
        if (fwrite(e.data(), 1, e.size(), p) != e.size()) break;
    }
    if (pclose(p) != 0) return false;
    std::ofstream(dir + "/complete") << count << "\n";
    return true;
}

// An event log check of the whole journal with the first rule_count patterns.
devnode* make_check(devtree_list& tree) {
    devtree* g = devtree_child(*devtree_child(tree, "log", std::nullopt), "eventlog", std::nullopt);
    auto node = alloc_devnode();
    node->id = "journal";
    node->type = type_adv_log;
    node->lognode = alloc_lognode();
    add_recording_rules(*node->lognode, rule_count);
    devnode* made = node.get();
    add_devnodes(*g, std::move(node));
    return made;
}

// Reads the whole journal: a check that has looked at the channel before
// without a bookmark starts at the oldest entry; checks run until the
// bookmark stays where it is (each stops at half the result budget).
run_result run_reader() {
    clear_variables();
    devtree_list tree;
    devnode* n = make_check(tree);
    (void)set_variable(dotted_name(*n), "1");
    const std::string key = "last_bin:" + dotted_name(*n);
    run_result r;
    auto t0 = std::chrono::steady_clock::now();
    std::string before;
    for (int runs = 0; runs < 100000; runs++) {
        if (err e = log_check(*n, nullptr)) {
            fprintf(stderr, "%s\n", e.c_str());
            exit(1);
        }
        r.matches += take_matches(*n);
        const std::string* now = get_variable(key);
        if (!now || *now == before) break;
        before = *now;
    }
    r.seconds = seconds_since(t0);
    return r;
}

run_result run_pipeline(const std::string& dir, const std::string& work) {
    return time_reference(work, rule_count, [&](const std::string& patfile) {
        return "journalctl --directory='" + dir + "' -o cat | LC_ALL=C grep -E -c -f '" + patfile + "'";
    });
}

}  // namespace

int main(int argc, char** argv) {
    size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
    std::string dir = argc > 2 ? argv[2] : std::string(ZP_BINARY_DIR) + "/bench-cache/journal-" + std::to_string(count);
    set_log_level(3);
    if (!std::filesystem::exists(dir + "/complete")) {
        printf("writing %zu entries to %s\n", count, dir.c_str());
        auto t0 = std::chrono::steady_clock::now();
        if (!make_journal(dir, count)) {
            fprintf(stderr, "cannot write the journal with %s\n", journal_remote());
            return 1;
        }
        printf("written in %.0f s\n", seconds_since(t0));
    }
    char tmpl[] = "/tmp/zp_journal_benchXXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    std::string work = tmpl;
    setenv("ZERPAL_JOURNAL_DIR", dir.c_str(), 1);
    if (!load_channel_api()) return 1;

    // Best of three: the machine is shared.
    auto best = [](run_result& into, const run_result& r) {
        if (into.seconds == 0 || r.seconds < into.seconds) into = r;
    };
    run_result reader, pipeline;
    for (int rep = 0; rep < 3; rep++) {
        best(pipeline, run_pipeline(dir, work));
        best(reader, run_reader());
    }
    std::filesystem::remove_all(work);
    auto rate = [&](const run_result& r) { return static_cast<double>(count) / r.seconds; };
    printf("%zu entries, %zu rules\n", count, rule_count);
    printf("%-34s %12s %10s\n", "", "entries/s", "matching");
    printf("%-34s %12.0f %10ld\n", "event log check", rate(reader), reader.matches);
    printf("%-34s %12.0f %10ld\n", "journalctl -o cat | grep -E -c -f", rate(pipeline), pipeline.matches);
    printf("ratio %.2fx\n", rate(reader) / rate(pipeline));
    if (reader.matches != pipeline.matches) {
        printf("match counts differ\n");
        return 1;
    }
    return 0;
}
