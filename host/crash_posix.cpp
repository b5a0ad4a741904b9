// crash_posix.cpp - the fault handlers on an alternate stack and the crash
// report, written with async-signal-safe calls only (open, write, close,
// socket, sendto, sigaction, raise, backtrace_symbols_fd on a preloaded
// unwinder): nothing here allocates or takes a lock at crash time.
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/agent.h"
#include "host/crash_os.h"

namespace zp::crash_os {

namespace {

const int fatal_signals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

char report_path[1024];
char written_text[1536];
char failed_text[1280];
char alt_stack[64 * 1024];
std::atomic<bool> terminating{false};
std::atomic_flag reporting = ATOMIC_FLAG_INIT;

void copy_text(char* dst, size_t size, const char* src) {
    size_t n = std::strlen(src);
    if (n >= size) n = size - 1;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

// A small text built in place, for the messages.
struct line {
    char buf[2048];
    size_t n = 0;
    void add(const char* s) {
        while (*s && n < sizeof buf - 1) buf[n++] = *s++;
        buf[n] = '\0';
    }
    void add_number(unsigned long long v, unsigned base = 10) {
        char digits[32];
        int i = 0;
        do {
            digits[i++] = "0123456789abcdef"[v % base];
            v /= base;
        } while (v && i < 32);
        if (base == 16) add("0x");
        while (i > 0) {
            char c[2] = {digits[--i], '\0'};
            add(c);
        }
    }
    void add_signed(long long v) {
        if (v < 0) {
            add("-");
            add_number(static_cast<unsigned long long>(-(v + 1)) + 1);
        } else {
            add_number(static_cast<unsigned long long>(v));
        }
    }
    void write_to(int fd) const {
        size_t off = 0;
        while (off < n) {
            ssize_t w = ::write(fd, buf + off, n - off);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return;
            off += static_cast<size_t>(w);
        }
    }
};

const char* signal_name(int sig) {
    switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    default: return "?";
    }
}

// The system log as syslog() would reach it (identity "Zerpal", daemon,
// error), sent directly: syslog() itself may allocate.
void report(const char* text) {
    line l;
    l.add("<27>Zerpal[");
    l.add_number(static_cast<unsigned long long>(::getpid()));
    l.add("]: ");
    l.add(text);
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::memcpy(a.sun_path, "/dev/log", sizeof "/dev/log");
        (void)!::sendto(fd, l.buf, l.n, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&a), sizeof a);
        ::close(fd);
    }
    line e;
    e.add(text);
    e.add("\n");
    e.write_to(2);
}

void write_report(int sig, const siginfo_t* si) {
    int fd = ::open(report_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        line m;
        m.add(failed_text);
        m.add(" (error ");
        m.add_number(static_cast<unsigned>(errno));
        m.add(")");
        report(m.buf);
        return;
    }
    line h;
    h.add("Zerpal agent crash report\nVersion: ");
    h.add(version_text());
    h.add("\nProcess: ");
    h.add_number(static_cast<unsigned long long>(::getpid()));
    h.add("\nSignal: ");
    h.add_number(static_cast<unsigned>(sig));
    h.add(" (");
    h.add(signal_name(sig));
    h.add(")\nCode: ");
    h.add_signed(si ? si->si_code : 0);
    if (si && si->si_code <= 0) {
        // Sent by a process (kill, raise, abort), not by a fault.
        h.add("\nSent by process: ");
        h.add_number(static_cast<unsigned long long>(si->si_pid));
    }
    h.add("\nAddress: ");
    h.add_number(reinterpret_cast<uintptr_t>(si ? si->si_addr : nullptr), 16);
    if (terminating.load()) h.add("\nCause: std::terminate (an uncaught exception or a pure virtual call)");
    h.add("\nBacktrace:\n");
    h.write_to(fd);
    void* frames[64];
    int n = ::backtrace(frames, 64);
    ::backtrace_symbols_fd(frames, n, fd);
    ::close(fd);
    report(written_text);
}

void on_fault(int sig, siginfo_t* si, void*) {
    const int saved = errno;
    // A second fault while the report is written (another thread, or the
    // writer itself) goes straight to the default action.
    if (!reporting.test_and_set()) write_report(sig, si);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(sig, &dfl, nullptr);
    errno = saved;
    // A sent signal must be sent again; a fault comes back by itself when the
    // faulting instruction runs again.
    ::raise(sig);
}

}  // namespace

void install(const char* path, const char* written, const char* create_failed) {
    copy_text(report_path, sizeof report_path, path);
    copy_text(written_text, sizeof written_text, written);
    copy_text(failed_text, sizeof failed_text, create_failed);
    // The first backtrace loads the unwinder, which allocates: not at crash time.
    void* frame[1];
    (void)::backtrace(frame, 1);

    stack_t ss{};
    ss.ss_sp = alt_stack;
    ss.ss_size = sizeof alt_stack;
    (void)::sigaltstack(&ss, nullptr);
    struct sigaction sa {};
    sa.sa_sigaction = on_fault;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    for (int sig : fatal_signals) ::sigaction(sig, &sa, nullptr);
}

void terminate_handler() {
    terminating = true;
    std::abort();
}

}  // namespace zp::crash_os
