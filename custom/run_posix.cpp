// run_posix.cpp - commands through /bin/sh -c: posix_spawn into a process group
// of its own, a pipe read with poll so that another thread can cut a read
// short, pidfd (or polling) for the timed wait, SIGKILL to the whole group.
#include "custom/run_os.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <thread>
#include <vector>

extern char** environ;

namespace zp::run_os {

namespace {

// Children whose reaping took too long; tried again at every start.
std::vector<pid_t>& unreaped() {
    static std::vector<pid_t> v;
    return v;
}

void reap_leftovers() {
    auto& v = unreaped();
    std::erase_if(v, [](pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) != 0; });
}

int open_exit_handle(pid_t pid) {
#ifdef SYS_pidfd_open
    // A pidfd is close-on-exec from the start.
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// Signals that the child's shell gets back to their defaults: the agent may
// ignore some of them, and an ignored signal stays ignored across exec.
void default_signals(sigset_t& set) {
    sigfillset(&set);
    sigdelset(&set, SIGKILL);
    sigdelset(&set, SIGSTOP);
}

// Leaves the state of an exited child alone (WNOWAIT), so that its process
// group cannot be taken over by a new process before release_child.
wait_status peek_exit(pid_t pid, int& exit_code, int& error, bool& done) {
    siginfo_t info{};
    done = false;
    for (;;) {
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0) break;
        if (errno == EINTR) continue;
        error = errno;
        return wait_status::failed;
    }
    if (info.si_pid == 0) return wait_status::running;
    done = true;
    if (info.si_code == CLD_EXITED) {
        exit_code = info.si_status;
        return wait_status::exited;
    }
    return wait_status::abnormal;
}

}  // namespace

bool make_pipe(pipe_reader& read_end, intptr_t& write_end) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    int cancel = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (cancel < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    read_end = {fds[0], cancel};
    write_end = fds[1];
    return true;
}

void close_write_end(intptr_t write_end) {
    if (write_end >= 0) ::close(static_cast<int>(write_end));
}

err start_child(const std::string& command_line, intptr_t write_end, child& out) {
    reap_leftovers();
    int w = static_cast<int>(write_end);
    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    if (int rc = posix_spawn_file_actions_init(&fa)) return err::text(system_error_text(rc));
    if (int rc = posix_spawnattr_init(&attr)) {
        posix_spawn_file_actions_destroy(&fa);
        return err::text(system_error_text(rc));
    }
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, w, 1);
    posix_spawn_file_actions_adddup2(&fa, w, 2);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Nothing but the three standard handles reaches the command, even a
    // handle some library opened without close-on-exec.
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
#endif
    sigset_t none, defaults;
    sigemptyset(&none);
    default_signals(defaults);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    char sh[] = "sh", dash_c[] = "-c";
    char* argv[] = {sh, dash_c, const_cast<char*>(command_line.c_str()), nullptr};
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, "/bin/sh", &fa, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return err::text(system_error_text(rc));
    out.id = pid;
    out.exit_handle = open_exit_handle(pid);
    return {};
}

read_outcome read_pipe(pipe_reader p, char* buf, size_t n) {
    read_outcome o;
    pollfd fds[2] = {{static_cast<int>(p.fd), POLLIN, 0}, {static_cast<int>(p.cancel), POLLIN, 0}};
    for (;;) {
        int r = ::poll(fds, 2, -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            o.error = errno;
            return o;
        }
        if (fds[1].revents) {
            o.error = ECANCELED;
            return o;
        }
        ssize_t got = ::read(fds[0].fd, buf, n);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            o.error = errno;
            return o;
        }
        o.status = got == 0 ? read_status::ended : read_status::data;
        o.bytes = static_cast<size_t>(got);
        return o;
    }
}

void cancel_read(const pipe_reader& p) {
    if (p.cancel < 0) return;
    uint64_t one = 1;
    (void)!::write(static_cast<int>(p.cancel), &one, sizeof one);
}

void close_pipe(pipe_reader& p) {
    if (p.fd >= 0) ::close(static_cast<int>(p.fd));
    if (p.cancel >= 0) ::close(static_cast<int>(p.cancel));
    p = {};
}

void kill_child(child& c) {
    // The child leads its group and is not reaped yet, so the group id is
    // still its own.
    if (c.id > 0) ::kill(-static_cast<pid_t>(c.id), SIGKILL);
}

wait_status wait_child(child& c, int64_t ms, int& exit_code, int& error) {
    using clock = std::chrono::steady_clock;
    pid_t pid = static_cast<pid_t>(c.id);
    auto deadline = clock::now() + std::chrono::milliseconds(std::max<int64_t>(ms, 0));
    int64_t nap = 1;
    for (;;) {
        bool done;
        wait_status s = peek_exit(pid, exit_code, error, done);
        if (done || s == wait_status::failed) return s;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left <= 0) return wait_status::running;
        if (c.exit_handle >= 0) {
            pollfd pf{static_cast<int>(c.exit_handle), POLLIN, 0};
            int r = ::poll(&pf, 1, static_cast<int>(std::min<int64_t>(left, INT_MAX)));
            if (r < 0 && errno != EINTR) {
                error = errno;
                return wait_status::failed;
            }
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min<int64_t>(nap, left)));
            nap = std::min<int64_t>(nap * 2, 20);
        }
    }
}

void release_child(child& c) {
    if (c.id > 0) {
        pid_t pid = static_cast<pid_t>(c.id);
        ::kill(-pid, SIGKILL);
        // After SIGKILL the child ends at once unless the kernel holds it in
        // an uninterruptible wait; then, after about a second, it is left to
        // be reaped at a later start rather than holding up the main thread.
        bool reaped = false;
        for (int i = 0; i < 110 && !reaped; ++i) {
            pid_t r = ::waitpid(pid, nullptr, WNOHANG);
            if (r == pid || (r < 0 && errno != EINTR)) {
                reaped = true;
                break;
            }
            if (r == 0) std::this_thread::sleep_for(std::chrono::milliseconds(i < 10 ? 1 : 10));
        }
        if (!reaped) unreaped().push_back(pid);
    }
    if (c.exit_handle >= 0) ::close(static_cast<int>(c.exit_handle));
    c = {};
}

std::optional<std::string> shell_start_failure(int exit_code) {
    if (exit_code == 127) return system_error_text(ENOENT);
    if (exit_code == 126) return system_error_text(EACCES);
    return std::nullopt;
}

err start_detached(const std::string& command_line) {
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return err::text(system_error_text(errno));
    const char* cmd = command_line.c_str();
    pid_t pid = ::fork();
    if (pid < 0) {
        int code = errno;
        ::close(report[0]);
        ::close(report[1]);
        return err::text(system_error_text(code));
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here on. The middle process starts
        // a session and leaves at once, so the command is nobody's child here.
        ::setsid();
        pid_t g = ::fork();
        if (g != 0) {
            if (g < 0) {
                int code = errno;
                (void)!::write(report[1], &code, sizeof code);
            }
            ::_exit(0);
        }
        int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
        }
#ifdef SYS_close_range
        // Only the report pipe (closed at exec) stays beside the standard handles.
        if (report[1] > 3) ::syscall(SYS_close_range, 3u, static_cast<unsigned>(report[1] - 1), 0u);
        ::syscall(SYS_close_range, static_cast<unsigned>(report[1] + 1), ~0u, 0u);
#endif
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        for (int s = 1; s < NSIG; ++s) ::sigaction(s, &dfl, nullptr);
        sigset_t empty;
        sigemptyset(&empty);
        ::sigprocmask(SIG_SETMASK, &empty, nullptr);
        ::execl("/bin/sh", "sh", "-c", cmd, static_cast<char*>(nullptr));
        int code = errno;
        (void)!::write(report[1], &code, sizeof code);
        ::_exit(127);
    }
    ::close(report[1]);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    // The report pipe closes at the command's exec (close-on-exec) or with a
    // code when the start failed.
    int code = 0;
    ssize_t n;
    while ((n = ::read(report[0], &code, sizeof code)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (n == static_cast<ssize_t>(sizeof code)) return err::text(system_error_text(code));
    return {};
}

}  // namespace zp::run_os
