// log.cpp - the log operation, its stream and threshold.
#include "core/log.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace zp {

namespace {

struct log_state {
    std::mutex mu;  // guards `stream` against open/close while a record is written
    FILE* stream = stderr;
};

log_state& state() {
    static log_state s;
    return s;
}

std::atomic<int> threshold{0};

std::string ctime_text() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[64];
    // The format of C ctime(): "Www Mmm dd hh:mm:ss yyyy".
    size_t n = std::strftime(buf, sizeof buf, "%a %b %e %H:%M:%S %Y", &tm);
    return std::string(buf, n);
}

void write_record(const std::string& msg) {
    std::string rec = ctime_text();
    rec += ": ";
    rec += msg;
    rec += '\n';
    auto& s = state();
    std::lock_guard lk(s.mu);
    if (!s.stream) return;
    std::fwrite(rec.data(), 1, rec.size(), s.stream);
    std::fflush(s.stream);
}

}  // namespace

void vlog(int level, const char* fmt, va_list ap) {
    if (level < threshold.load(std::memory_order_relaxed)) return;
    write_record(vstrprintf(fmt, ap));
}

void log(int level, const char* fmt, ...) {
    if (level < threshold.load(std::memory_order_relaxed)) return;
    va_list ap;
    va_start(ap, fmt);
    vlog(level, fmt, ap);
    va_end(ap);
}

void log_text(int level, const std::string& text) {
    if (level < threshold.load(std::memory_order_relaxed)) return;
    write_record(text);
}

void log_to_stderr() {
    auto& s = state();
    std::lock_guard lk(s.mu);
    s.stream = stderr;
}

bool open_log(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "a");
    auto& s = state();
    std::lock_guard lk(s.mu);
    s.stream = f;
    return f != nullptr;
}

bool log_is_console() {
    auto& s = state();
    std::lock_guard lk(s.mu);
    return s.stream == stderr || s.stream == stdout;
}

void close_log() {
    if (log_is_console()) return;
    log(2, "Closing logfile");
    auto& s = state();
    std::lock_guard lk(s.mu);
    if (s.stream) std::fclose(s.stream);
    s.stream = nullptr;
}

void set_log_level(int level) { threshold.store(level, std::memory_order_relaxed); }
int get_log_level() { return threshold.load(std::memory_order_relaxed); }

}  // namespace zp
