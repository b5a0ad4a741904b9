// log.cpp - the log operation, its stream and threshold, and the reopen and
// rotation of the log file by age.
#include "core/log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <thread>

#include "core/agent.h"
#include "core/clock.h"
#include "core/file_text.h"
#include "core/log_os.h"

namespace zp {

namespace {

struct log_state {
    std::mutex mu;  // guards `stream` against open/close while a record is written
    std::FILE* stream = stderr;
};

log_state& state() {
    static log_state s;
    return s;
}

std::atomic<int> threshold{0};
// Creation time of the log file, seconds since 1970; 0 while unknown.
std::atomic<int64_t> log_creation_time{0};
std::atomic<bool> reopen_requested{false};

void default_reopen_wait(int seconds) { std::this_thread::sleep_for(std::chrono::seconds(seconds)); }
std::atomic<void (*)(int)> reopen_wait{default_reopen_wait};

bool is_console(std::FILE* f) { return f == stderr || f == stdout; }

// The time as C ctime() writes it, without its newline: "Www Mmm dd hh:mm:ss yyyy".
std::string ctime_text() {
    std::tm tm{};
    if (!local_time(static_cast<int64_t>(std::time(nullptr)), tm)) return "???";
    // Written out by hand: the Windows C runtime's strftime has no "%e".
    static const char days[][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char months[][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (tm.tm_wday < 0 || tm.tm_wday > 6 || tm.tm_mon < 0 || tm.tm_mon > 11) return "???";
    return strprintf("%s %s %2d %02d:%02d:%02d %d", days[tm.tm_wday], months[tm.tm_mon], tm.tm_mday, tm.tm_hour,
                     tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
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

// Replaces the stream; a file stream that is replaced is closed.
void set_stream(std::FILE* f) {
    auto& s = state();
    std::lock_guard lk(s.mu);
    if (s.stream && !is_console(s.stream) && s.stream != f) std::fclose(s.stream);
    s.stream = f;
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

void log_to_stderr() { set_stream(stderr); }

bool open_log(const std::string& path) {
    std::FILE* f = open_append(path);
    set_stream(f);
    return f != nullptr;
}

bool log_is_console() {
    auto& s = state();
    std::lock_guard lk(s.mu);
    return is_console(s.stream);
}

err check_log_file(const std::string& path) {
    std::string what;
    if (usable_log_path(path, what)) return {};
    return format_error("Log file \"%s\" is %s, not a regular file or a terminal", path.c_str(), what.c_str());
}

void close_log() {
    {
        auto& s = state();
        std::lock_guard lk(s.mu);
        if (!s.stream || is_console(s.stream)) return;
    }
    log(2, "Closing logfile");
    set_stream(nullptr);
}

void set_log_level(int level) { threshold.store(level, std::memory_order_relaxed); }
int get_log_level() { return threshold.load(std::memory_order_relaxed); }

void request_log_reopen() { reopen_requested.store(true); }

void set_log_reopen_wait(void (*fn)(int seconds)) { reopen_wait.store(fn ? fn : default_reopen_wait); }

void reset_log_reopen() {
    log_creation_time.store(0);
    reopen_requested.store(false);
}

void check_log_reopen(const std::string& log_path, int log_days, int max_log_files) {
    int64_t now = time_now();
    if (log_creation_time.load() == 0) {
        // The file's birth time where the file system keeps one; where it
        // does not, the log counts as created now (never the modification
        // time: an active log is always "new" by that). A reopen cannot set
        // the birth time of a file that stays, so the age restarts in memory.
        std::optional<int64_t> created;
        if (file_creation_time(log_path, created)) {
            log(3, "Could not get log creation time, defaulting to now");
            created = now;
        }
        log_creation_time.store(created ? *created : now);
    }
    bool rotate = log_days != 0 && max_log_files != 0;
    if (rotate && now - log_creation_time.load() > static_cast<int64_t>(log_days) * 86400)
        reopen_requested.store(true);

    if (!reopen_requested.load() || log_is_console()) return;

    log(1, "Re-opening log...");
    close_log();
    err rotated;
    if (rotate) rotated = rotate_logfiles(log_path, max_log_files);
    // The new file's creation time is the time of this reopen; a file that
    // stayed (no rotation) starts its age again too.
    (void)create_file(log_path);
    bool opened = open_log(log_path);
    for (int attempt = 0; !opened && attempt < 5; ++attempt) {
        reopen_wait.load()(10);
        opened = open_log(log_path);
    }
    log_creation_time.store(time_now());
    log(1, "Zerpal %s Agent reopened logfile...", version_text());
    if (rotated) log(1, "Error rotating logfiles: %s", rotated.c_str());
    reopen_requested.store(false);
}

err rotate_logfiles(const std::string& path, int count) {
    if (count < 2) return {};
    auto numbered = [&](int i) { return strprintf("%s.%i.txt", path.c_str(), i); };
    std::remove(numbered(count).c_str());
    for (int i = count; i >= 2; --i) std::rename(numbered(i - 1).c_str(), numbered(i).c_str());
    if (std::rename(path.c_str(), numbered(1).c_str()) != 0)
        return format_error("Rename failed with error: %s", system_error_text(last_system_error()).c_str());
    return {};
}

}  // namespace zp
