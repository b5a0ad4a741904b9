// wait_posix.cpp - events as eventfds and the timed wait as poll.
#include "host/wait_os.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>
#include <unordered_map>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace zp::wait_os {

namespace {

// Which eventfds reset themselves when a wait sees them.
struct reset_modes {
    std::mutex mu;
    std::unordered_map<int, bool> manual;
};

reset_modes& modes() {
    static reset_modes m;
    return m;
}

bool is_manual(int fd) {
    auto& m = modes();
    std::lock_guard lk(m.mu);
    auto it = m.manual.find(fd);
    return it != m.manual.end() && it->second;
}

// Takes the signal of an auto-reset event; false when another waiter was faster.
bool consume(int fd) {
    uint64_t v;
    return ::read(fd, &v, sizeof v) == static_cast<ssize_t>(sizeof v);
}

}  // namespace

os_handle create_event(bool manual_reset, bool initially_set, err& e) {
    int fd = ::eventfd(initially_set ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        int code = errno;
        e = format_error("Error creating event: %s (%d)", system_error_text(code).c_str(), code);
        return invalid_os_handle;
    }
    auto& m = modes();
    std::lock_guard lk(m.mu);
    m.manual[fd] = manual_reset;
    return fd;
}

void close_event(os_handle h) {
    int fd = static_cast<int>(h);
    {
        auto& m = modes();
        std::lock_guard lk(m.mu);
        m.manual.erase(fd);
    }
    ::close(fd);
}

void set_event(os_handle h) {
    uint64_t one = 1;
    // A full counter already means "signalled".
    (void)!::write(static_cast<int>(h), &one, sizeof one);
}

void reset_event(os_handle h) {
    uint64_t v;
    (void)!::read(static_cast<int>(h), &v, sizeof v);
}

int wait_any(const os_handle* handles, size_t n, int64_t ms) {
    using clock = std::chrono::steady_clock;
    auto deadline = clock::now() + std::chrono::milliseconds(ms);
    pollfd fds[max_wait_handles];
    if (n > max_wait_handles) n = max_wait_handles;
    for (;;) {
        for (size_t i = 0; i < n; ++i) fds[i] = {static_cast<int>(handles[i]), POLLIN, 0};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left < 0) left = 0;
        int r = ::poll(fds, n, static_cast<int>(std::min<int64_t>(left, 0x7FFFFFFF)));
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) return 0;
        for (size_t i = 0; i < n; ++i) {
            if (fds[i].revents & (POLLERR | POLLNVAL)) return -1;
            if (!(fds[i].revents & POLLIN)) continue;
            if (is_manual(fds[i].fd) || consume(fds[i].fd)) return static_cast<int>(i) + 1;
        }
        // Every signal was taken by another waiter: keep waiting.
    }
}

void sleep_ms(int64_t ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace zp::wait_os
