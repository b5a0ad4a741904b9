// bench_checks.h - what the log benchmarks share around a check: its rules,
// the matches it recorded, and the time a run took.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "bench/logcheck/syslog_gen.h"
#include "devtree/devtree.h"
#include "logcheck/rules.h"

namespace zp::bench {

struct run_result {
    double seconds = 0;
    long matches = 0;
};

inline double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Gives `n` the first `rules` patterns, each recording a warning (compiled
// with `flags`); a pattern that does not compile ends the benchmark.
inline void add_recording_rules(lognode& n, size_t rules, unsigned flags = 0) {
    for (size_t i = 0; i < rules; i++) {
        auto r = alloc_logrule();
        std::unique_ptr<pattern> pat;
        if (auto e = compile_pattern(patterns[i], flags, &pat)) {
            std::fprintf(stderr, "%s: %s\n", patterns[i], e.c_str());
            std::exit(1);
        }
        auto cond = std::make_shared<log_cond>();
        cond->kind = log_cond::match;
        cond->pattern = std::move(pat);
        r->condition = cond;
        r->decision = decision_log;
        r->status = status_warning;
        add_logrule(&n, std::move(r));
    }
}

// The warnings `n` recorded since the last call; they are taken away, as a
// check-in does.
inline long take_matches(devnode& n) {
    long m = 0;
    for (auto& r : n.results)
        if (r.status == status_warning) m++;
    n.results.clear();
    return m;
}

// The reference: writes the first `rules` patterns to "<dir>/patterns", one a
// line, and times the shell command `make_cmd(pattern file)`, which prints the
// number of matching entries (-1 when it printed none).
template <typename F>
run_result time_reference(const std::string& dir, size_t rules, F make_cmd) {
    std::string patfile = dir + "/patterns";
    {
        std::ofstream f(patfile);
        for (size_t i = 0; i < rules; i++) f << patterns[i] << "\n";
    }
    std::string cmd = make_cmd(patfile);
    auto t0 = std::chrono::steady_clock::now();
    run_result r{0, -1};
    if (FILE* p = popen(cmd.c_str(), "r")) {
        if (std::fscanf(p, "%ld", &r.matches) != 1) r.matches = -1;
        pclose(p);
    }
    r.seconds = seconds_since(t0);
    return r;
}

}  // namespace zp::bench
