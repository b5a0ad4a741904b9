// upgrade_posix.cpp - /proc/self/exe, SCHED_IDLE, the placement of the new
// executable by rename (copied beside the target first across file
// systems), and the parent pipes as inherited descriptors.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "host/upgrade_os.h"

namespace zp::upgrade_os {

namespace {

err sys_error(const std::string& what, int code) {
    return format_error("%s: %s (%d)", what.c_str(), system_error_text(code).c_str(), code);
}

struct fd_guard {
    int fd = -1;
    ~fd_guard() {
        if (fd >= 0) ::close(fd);
    }
};

// Copies `from` into a new temporary file beside `to`, flushed to disk; its
// name in `tmp`.
err copy_beside(const std::string& from, const std::string& to, std::string& tmp) {
    fd_guard in{::open(from.c_str(), O_RDONLY | O_CLOEXEC)};
    if (in.fd < 0) return sys_error("Cannot open " + from, errno);
    std::string name = to + ".XXXXXX";
    fd_guard out{::mkostemp(name.data(), O_CLOEXEC)};
    if (out.fd < 0) return sys_error("Cannot create a file beside " + to, errno);
    auto fail = [&](const std::string& what, int code) {
        ::unlink(name.c_str());
        return sys_error(what, code);
    };
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(in.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail("Cannot read " + from, errno);
        if (n == 0) break;
        for (ssize_t off = 0; off < n;) {
            ssize_t w = ::write(out.fd, buf + off, static_cast<size_t>(n - off));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) return fail("Cannot write " + name, errno);
            off += w;
        }
    }
    if (::fchmod(out.fd, 0755) != 0 || ::fsync(out.fd) != 0) return fail("Cannot finish " + name, errno);
    tmp = name;
    return {};
}

// The self-pipe that cuts a parent read short.
struct cut_pipe {
    std::mutex mu;
    int fds[2] = {-1, -1};
};

cut_pipe& cut() {
    static cut_pipe c;
    return c;
}

}  // namespace

const char* upgrade_file_name() { return "upgrade"; }

err executable_path(std::string& out) {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n < 0) return sys_error("Cannot read /proc/self/exe", errno);
    out.assign(buf, static_cast<size_t>(n));
    return {};
}

bool lower_thread_priority() {
    sched_param p{};
    if (::sched_setscheduler(0, SCHED_IDLE, &p) == 0) return true;
    // The thread's own nice value (0 names the calling thread on Linux).
    return ::setpriority(PRIO_PROCESS, 0, 19) == 0;
}

err place_file(const std::string& from, const std::string& to) {
    if (::chmod(from.c_str(), 0755) != 0) return sys_error("Cannot make " + from + " executable", errno);
    if (::rename(from.c_str(), to.c_str()) == 0) return {};
    if (errno != EXDEV) return sys_error("Cannot rename " + from + " to " + to, errno);
    std::string tmp;
    if (err e = copy_beside(from, to, tmp)) return e;
    if (::rename(tmp.c_str(), to.c_str()) != 0) {
        int code = errno;
        ::unlink(tmp.c_str());
        return sys_error("Cannot rename " + tmp + " to " + to, code);
    }
    ::unlink(from.c_str());
    return {};
}

int read_parent_byte(uint64_t fd, uint8_t& byte) {
    int stop_fd;
    {
        auto& c = cut();
        std::lock_guard lk(c.mu);
        if (c.fds[0] < 0 && ::pipe2(c.fds, O_CLOEXEC) != 0) return -1;
        stop_fd = c.fds[0];
    }
    for (;;) {
        pollfd p[2] = {{static_cast<int>(fd), POLLIN, 0}, {stop_fd, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (p[1].revents) return 0;
        ssize_t n = ::read(static_cast<int>(fd), &byte, 1);
        if (n == 1) return 1;
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        return -1;
    }
}

void cut_parent_read() {
    auto& c = cut();
    std::lock_guard lk(c.mu);
    if (c.fds[1] < 0 && ::pipe2(c.fds, O_CLOEXEC) != 0) return;
    (void)!::write(c.fds[1], "x", 1);
}

void allow_parent_read() {
    auto& c = cut();
    std::lock_guard lk(c.mu);
    for (int& fd : c.fds) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

void keep_from_children(uint64_t fd) {
    int flags = ::fcntl(static_cast<int>(fd), F_GETFD);
    if (flags >= 0) ::fcntl(static_cast<int>(fd), F_SETFD, flags | FD_CLOEXEC);
}

int write_parent_byte(uint64_t fd, uint8_t byte, int& count) {
    for (;;) {
        ssize_t n = ::write(static_cast<int>(fd), &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        count = static_cast<int>(n);
        return 0;
    }
}

}  // namespace zp::upgrade_os
