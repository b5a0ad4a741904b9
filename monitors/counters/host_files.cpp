// host_files.cpp - the replaceable root and clock of the host monitors.
#include "monitors/counters/host_files.h"

#include "monitors/counters/host_files_os.h"

namespace zp {

namespace {
std::string root_dir;
int64_t (*clock_fn)() = nullptr;
void (*sleep_fn)(int) = nullptr;
}  // namespace

void set_host_root(const std::string& root) { root_dir = root; }

std::string host_path(const char* path) { return root_dir + path; }

err read_host_file(const char* path, std::string& out, size_t max) {
    if (root_dir.empty()) return os::read_whole_file(path, out, max);
    return os::read_whole_file(host_path(path), out, max);
}

err list_host_dir(const char* path, std::vector<std::string>& names) {
    return os::list_dir(host_path(path), names);
}

err read_file_path(const std::string& path, std::string& out, size_t max) {
    return os::read_whole_file(path, out, max);
}

err read_link_path(const std::string& path, std::string& out) { return os::read_link(path, out); }

bool host_path_exists(const std::string& path) { return os::exists(path); }

int64_t monotonic_ms() { return clock_fn ? clock_fn() : os::monotonic_ms(); }

void sleep_ms(int ms) {
    if (sleep_fn)
        sleep_fn(ms);
    else
        os::sleep_ms(ms);
}

void set_monotonic_clock(int64_t (*now)(), void (*sleep)(int ms)) {
    clock_fn = now;
    sleep_fn = sleep;
}

}  // namespace zp
