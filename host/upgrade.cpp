// upgrade.cpp - the download thread, its placement of the new executable, and
// the parent pipe messages.
#include "host/upgrade.h"

#include <atomic>
#include <system_error>
#include <thread>

#include "core/log.h"
#include "host/detaching_thread.h"
#include "host/upgrade_os.h"
#include "host/wait.h"

namespace zp {

namespace {

struct download_state {
    bool exists = false;
    detaching_thread thread;
    std::atomic<int> result{-1};  // -1 running, 0 placed, 1 failed
    std::atomic<bool> cancelled{false};
    std::string dir;  // where "upgrade" goes; empty: beside the executable
    wait_event done;  // set when the thread ends; among the wait objects
};

struct parent_state {
    bool given = false;
    uint64_t in = 0;
    uint64_t out = 0;
    bool works_reported = false;
    detaching_thread reader;
};

download_state& dl() {
    static download_state s;
    return s;
}

parent_state& parent() {
    static parent_state s;
    return s;
}

// The download thread's work; its result is the thread's exit code.
int download_and_place(const download_op& download) {
    if (err e = download(download_file_name)) {
        log(2, "Upgrade download: %s", e.c_str());
        return 1;
    }
    std::string exe = dl().dir.empty() ? std::string() : dl().dir + "/";
    if (exe.empty()) {
        if (err e = upgrade_os::executable_path(exe)) {
            log(3, "%s", e.c_str());
            return 1;
        }
    }
    size_t slash = exe.rfind('/');
    if (slash == std::string::npos) return 1;
    const std::string target = exe.substr(0, slash + 1) + upgrade_os::upgrade_file_name();
    // A stop while downloading: the parent is not told, so nothing is placed.
    if (dl().cancelled) return 1;
    log(1, "Placing new Agent executable at %s", target.c_str());
    if (err e = upgrade_os::place_file(download_file_name, target)) {
        log(3, "Error moving file: %s", e.c_str());
        return 1;
    }
    return 0;
}

void remove_download_thread() {
    auto& s = dl();
    if (!del_wakeup_event(s.done.handle())) log(2, "del_wakeup_event failed");
    if (!del_wait_event(s.done.handle())) log(2, "del_wait_event failed");
    if (s.thread.t.joinable()) s.thread.t.join();
    s.done = wait_event();
    s.exists = false;
}

bool write_to_parent(uint8_t byte) {
    auto& p = parent();
    if (!p.given) {
        log(3, "WriteFile failed: %s", "the agent has no parent pipe");
        return false;
    }
    int count = 0;
    if (int code = upgrade_os::write_parent_byte(p.out, byte, count)) {
        log(3, "WriteFile failed: %s", system_error_text(code).c_str());
        return false;
    }
    if (count != 1) {
        log(3, "WriteFile returned %d", count);
        return false;
    }
    return true;
}

}  // namespace

void start_download(download_op download) {
    auto& s = dl();
    if (s.exists) return;
    if (err e = wait_event::create(true, false, s.done)) {
        log(3, "Failed unleashing download thread: %s", e.c_str());
        return;
    }
    s.exists = true;
    s.result = -1;
    s.cancelled = false;
    if (!add_wakeup_event(s.done.handle())) log(2, "add_wakeup_handle failed");
    if (!add_wait_event(s.done.handle())) log(2, "add_wakeup_handle failed");
    try {
        s.thread.t = std::thread([&s, download = std::move(download)] {
            if (!upgrade_os::lower_thread_priority())
                log(2, "Failed decreasing download thread priority, continuing at normal priority");
            s.result = download_and_place(download);
            s.done.set();
        });
    } catch (const std::system_error&) {
        log(3, "Failed unleashing download thread");
        remove_download_thread();
        return;
    }
    log(1, "Server has an upgrade, downloading ...");
}

void set_upgrade_dir(const std::string& dir) { dl().dir = dir; }

void poll_download(const std::function<void()>& ready) {
    auto& s = dl();
    if (!s.exists) return;
    const int result = s.result;
    if (result < 0) return;
    remove_download_thread();
    if (result != 0) {
        log(2, "Download failed");
        return;
    }
    log(1, "Download complete");
    if (ready) ready();
    (void)write_to_parent(1);
}

void end_download() {
    auto& s = dl();
    if (!s.exists) return;
    s.cancelled = true;
    if (s.result < 0) log(1, "Waiting for the upgrade download to end");
    remove_download_thread();
}

void set_parent_pipes(uint64_t in, uint64_t out) {
    auto& p = parent();
    p.given = in != 0 || out != 0;
    p.in = in;
    p.out = out;
    if (p.given) {
        upgrade_os::keep_from_children(in);
        upgrade_os::keep_from_children(out);
    }
}

void start_parent_pipe_reader(std::function<bool()> upgrade_ready, std::function<void()> on_stop) {
    auto& p = parent();
    if (!p.given || p.reader.t.joinable()) return;
    upgrade_os::allow_parent_read();
    p.reader.t = std::thread([in = p.in, upgrade_ready = std::move(upgrade_ready), on_stop = std::move(on_stop)] {
        for (;;) {
            uint8_t byte = 0;
            int r = upgrade_os::read_parent_byte(in, byte);
            if (r == 0) return;
            if (r < 0) {
                log(1, "The parent process closed its pipe");
                on_stop();
                return;
            }
            if (byte == 0) {
                if (!upgrade_ready()) {
                    log(1, "Stop requested by the parent process");
                    on_stop();
                }
                return;
            }
        }
    });
}

void stop_parent_pipe_reader() {
    auto& p = parent();
    if (!p.reader.t.joinable()) return;
    upgrade_os::cut_parent_read();
    p.reader.t.join();
}

void report_agent_works() {
    auto& p = parent();
    if (p.works_reported || !p.given) return;
    if (write_to_parent(2)) p.works_reported = true;
}

void reset_upgrade_state() {
    stop_parent_pipe_reader();
    auto& p = parent();
    p.given = false;
    p.in = p.out = 0;
    p.works_reported = false;
}

}  // namespace zp
