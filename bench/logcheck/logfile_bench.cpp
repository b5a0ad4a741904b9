// logfile_bench.cpp - throughput of the log file reader: a 256 MB syslog-like
// file is appended to a followed file and log_check reads it with 5 and 20
// rules, side by side with the same rules applied to the same entries from
// memory (log_got_entry) and with `LC_ALL=C grep -E -c -f` on the file.
//
// Usage: logfile_bench [megabytes]   (default 256)
// The files are made in a temporary directory and removed afterwards.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/logcheck/bench_checks.h"
#include "bench/logcheck/syslog_gen.h"
#include "core/log.h"
#include "core/variables.h"
#include "logcheck/logfile.h"
#include "logcheck/rules.h"

namespace {

using namespace zp;
using namespace zp::bench;

// A log check of `path` with the first `rules` patterns, each recording.
devnode* make_check(devtree_list& tree, const std::string& path, size_t rules) {
    devtree* g = devtree_child(*devtree_child(tree, "log", std::nullopt), "/", std::nullopt);
    std::filesystem::path p(path);
    for (auto it = std::next(p.begin()); std::next(it) != p.end(); ++it) g = devtree_child(*g, it->string(), std::nullopt);
    auto node = alloc_devnode();
    node->id = p.filename().string();
    node->type = type_adv_log;
    node->lognode = alloc_lognode();
    std::unique_ptr<pattern> sep;
    if (compile_pattern("\\n", 0, &sep)) exit(1);
    node->lognode->separator = std::move(sep);
    add_recording_rules(*node->lognode, rules);
    devnode* made = node.get();
    add_devnodes(*g, std::move(node));
    return made;
}

// Follows an empty file, appends `data` to it, then times the checks that read it all.
run_result run_reader(const std::string& dir, const std::string& data, size_t rules) {
    std::string path = dir + "/followed.log";
    std::filesystem::remove(path);
    std::ofstream(path, std::ios::binary).flush();
    clear_variables();
    devtree_list tree;
    devnode* n = make_check(tree, path, rules);
    (void)log_check(*n, nullptr);
    take_matches(*n);
    {
        std::ofstream f(path, std::ios::binary | std::ios::app);
        f.write(data.data(), static_cast<std::streamsize>(data.size()));
    }
    run_result r;
    auto t0 = std::chrono::steady_clock::now();
    for (int runs = 0; runs < 100000; runs++) {
        (void)log_check(*n, nullptr);
        long m = take_matches(*n);
        r.matches += m;
        auto size = get_variable("size:" + dotted_name(*n));
        auto off = get_variable(dotted_name(*n));
        if (size && off && *size == *off && *off == std::to_string(data.size()) && m == 0) break;
    }
    r.seconds = seconds_since(t0);
    return r;
}

run_result run_memory(const std::vector<std::string_view>& entries, size_t rules) {
    devtree_list tree;
    devnode* n = make_check(tree, "/m/memory.log", rules);
    run_result r;
    auto t0 = std::chrono::steady_clock::now();
    // The results are taken away when the reader would stop for them, so
    // that both hold as many.
    for (size_t i = 0; i < entries.size(); i++) {
        log_got_entry(entries[i], *n);
        if (result_budget_used() > result_budget_limit() / 2) r.matches += take_matches(*n);
    }
    r.matches += take_matches(*n);
    r.seconds = seconds_since(t0);
    return r;
}

run_result run_grep(const std::string& dir, const std::string& file, size_t rules) {
    return time_reference(dir, rules, [&](const std::string& patfile) {
        return "LC_ALL=C grep -E -c -f '" + patfile + "' '" + file + "'";
    });
}

}  // namespace

int main(int argc, char** argv) {
    size_t mb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    set_log_level(3);
    char tmpl[] = "/tmp/zp_logfile_benchXXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    std::string dir = tmpl;
    std::string source = dir + "/syslog";
    std::string all = make_file(source, mb << 20);
    // The entries as the reader hands them over: each with its line feed.
    std::vector<std::string_view> entries;
    for (size_t start = 0, nl; (nl = all.find('\n', start)) != std::string::npos; start = nl + 1)
        entries.emplace_back(all.data() + start, nl + 1 - start);
    double total_mb = static_cast<double>(all.size()) / (1 << 20);
    printf("%zu entries, %.1f MB\n", entries.size(), total_mb);
    printf("%5s %12s %12s %12s  %9s %8s\n", "rules", "log_check", "in memory", "grep", "overhead", "vs grep");
    int status = 0;
    for (size_t rules : {5, 20}) {
        // Best of three: the machine is shared.
        auto best = [](run_result& into, const run_result& r) {
            if (into.seconds == 0 || r.seconds < into.seconds) into = r;
        };
        run_result reader, memory, grep;
        for (int rep = 0; rep < 3; rep++) {
            best(grep, run_grep(dir, source, rules));
            best(memory, run_memory(entries, rules));
            best(reader, run_reader(dir, all, rules));
        }
        auto rate = [&](const run_result& r) { return total_mb / r.seconds; };
        printf("%5zu %7.0f MB/s %7.0f MB/s %7.0f MB/s  %8.1f%% %8.2f\n", rules, rate(reader), rate(memory),
               rate(grep), 100 * (reader.seconds / memory.seconds - 1), rate(reader) / rate(grep));
        printf("      %ld matching entries\n", reader.matches);
        if (reader.matches != memory.matches || reader.matches != grep.matches) {
            printf("      match counts differ: log_check %ld, in memory %ld, grep %ld\n", reader.matches,
                   memory.matches, grep.matches);
            status = 1;
        }
    }
    std::filesystem::remove_all(dir);
    return status;
}
