// supervise_posix.cpp - the agent as a child process with two pipes, the
// signals read through a signalfd, and the replacements by link and rename.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "supervisor/supervise_os.h"

namespace zp::supervise_os {

namespace {

int signal_fd = -1;
sigset_t watched;

err sys_error(const std::string& what, int code) {
    return format_error("%s: %s (%d)", what.c_str(), system_error_text(code).c_str(), code);
}

void close_fd(int64_t& fd) {
    if (fd >= 0) ::close(static_cast<int>(fd));
    fd = -1;
}

// Reads the signals that arrived: true when one of them was a stop.
bool take_signals() {
    bool stop = false;
    signalfd_siginfo si;
    while (::read(signal_fd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
        if (si.ssi_signo == SIGTERM || si.ssi_signo == SIGINT) stop = true;
    }
    return stop;
}

bool reap(child& c, int& code) {
    int status = 0;
    pid_t r = ::waitpid(static_cast<pid_t>(c.pid), &status, WNOHANG);
    if (r != c.pid) return false;
    code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

}  // namespace

err watch_signals() {
    sigemptyset(&watched);
    sigaddset(&watched, SIGTERM);
    sigaddset(&watched, SIGINT);
    sigaddset(&watched, SIGCHLD);
    if (::sigprocmask(SIG_BLOCK, &watched, nullptr) != 0) return sys_error("sigprocmask", errno);
    signal_fd = ::signalfd(-1, &watched, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signal_fd < 0) return sys_error("signalfd", errno);
    // A write to an agent that has gone must not end the supervisor.
    ::signal(SIGPIPE, SIG_IGN);
    return {};
}

err start_agent(const std::string& exe, const std::vector<std::string>& args, child& c) {
    int down[2], up[2];  // down: supervisor to agent; up: agent to supervisor
    if (::pipe2(down, O_CLOEXEC) != 0) return sys_error("pipe", errno);
    if (::pipe2(up, O_CLOEXEC) != 0) {
        int code = errno;
        ::close(down[0]);
        ::close(down[1]);
        return sys_error("pipe", code);
    }
    std::vector<std::string> all = args;
    all.push_back("--parent-pipes");
    all.push_back(std::to_string(down[0]));
    all.push_back(std::to_string(up[1]));
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(exe.c_str()));
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid == 0) {
        // Only the agent's two ends are inherited.
        ::fcntl(down[0], F_SETFD, 0);
        ::fcntl(up[1], F_SETFD, 0);
        ::sigprocmask(SIG_UNBLOCK, &watched, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::execv(exe.c_str(), argv.data());
        _exit(127);
    }
    int code = errno;
    ::close(down[0]);
    ::close(up[1]);
    if (pid < 0) {
        ::close(down[1]);
        ::close(up[0]);
        return sys_error("fork", code);
    }
    ::fcntl(up[0], F_SETFL, O_NONBLOCK);
    c.pid = pid;
    c.to_agent = down[1];
    c.from_agent = up[0];
    return {};
}

event wait_event(child& c, int timeout_ms) {
    event ev;
    for (;;) {
        // The bytes the agent wrote come first; its end is reported once
        // none is left to read.
        if (c.pid > 0) {
            pollfd q{static_cast<int>(c.from_agent), POLLIN, 0};
            bool data = c.from_agent >= 0 && ::poll(&q, 1, 0) > 0 && (q.revents & POLLIN);
            int code = 0;
            if (!data && reap(c, code)) {
                close_fd(c.from_agent);
                close_fd(c.to_agent);
                c.pid = -1;
                ev.kind = event_kind::exited;
                ev.exit_code = code;
                return ev;
            }
        }
        pollfd p[2] = {{signal_fd, POLLIN, 0}, {static_cast<int>(c.from_agent), POLLIN, 0}};
        int n = ::poll(p, c.from_agent >= 0 ? 2 : 1, timeout_ms);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return ev;  // time-out
        if (c.from_agent >= 0 && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            uint8_t b;
            ssize_t r = ::read(static_cast<int>(c.from_agent), &b, 1);
            if (r == 1) {
                ev.kind = event_kind::byte;
                ev.byte = b;
                return ev;
            }
            if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) close_fd(c.from_agent);
        }
        if ((p[0].revents & POLLIN) && take_signals()) {
            ev.kind = event_kind::stop;
            return ev;
        }
    }
}

void send_byte(const child& c, uint8_t byte) {
    if (c.to_agent >= 0) (void)!::write(static_cast<int>(c.to_agent), &byte, 1);
}

void signal_agent(const child& c, bool hard) {
    if (c.pid > 0) ::kill(static_cast<pid_t>(c.pid), hard ? SIGKILL : SIGTERM);
}

bool sleep_unless_stopped(int ms) {
    pollfd p{signal_fd, POLLIN, 0};
    for (;;) {
        int n = ::poll(&p, 1, ms);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (take_signals()) return true;
    }
}

err replace_name(const std::string& from, const std::string& to, bool keep) {
    std::string source = from;
    if (keep) {
        source = to + ".new";
        ::unlink(source.c_str());
        if (::link(from.c_str(), source.c_str()) != 0) return sys_error("Cannot link " + from, errno);
    }
    if (::rename(source.c_str(), to.c_str()) != 0) {
        int code = errno;
        if (keep) ::unlink(source.c_str());
        return sys_error("Cannot rename " + source + " to " + to, code);
    }
    return {};
}

bool file_exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace zp::supervise_os
