// command_pipe_posix.cpp - the command pipe as a Unix socket of message type
// (SOCK_SEQPACKET) in the run directory, with an accepting thread that keeps
// one client for the main thread and answers the others "busy".
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "core/log.h"
#include "host/detaching_thread.h"
#include "host/command_pipe_os.h"
#include "host/wait_os.h"

namespace zp::pipe_os {

namespace {

struct fd_guard {
    int fd = -1;
    ~fd_guard() {
        if (fd >= 0) ::close(fd);
    }
    int release() {
        int f = fd;
        fd = -1;
        return f;
    }
};

struct server_state {
    std::mutex mu;
    int listen_fd = -1;
    int lock_fd = -1;
    int stop_fds[2] = {-1, -1};  // a self-pipe that ends the accepting thread
    int client = -1;             // kept for the main thread
    os_handle event = invalid_os_handle;
    std::string busy;
    std::string path;
    detaching_thread acceptor;
};

server_state& srv() {
    static server_state s;
    return s;
}

std::string run_dir() {
    if (const char* v = std::getenv("ZERPAL_RUN_DIR"); v && *v) return v;
    if (::geteuid() == 0) return "/run/zerpal";
    if (const char* x = std::getenv("XDG_RUNTIME_DIR"); x && *x) return std::string(x) + "/zerpal";
    return "/tmp/zerpal-" + std::to_string(::geteuid());
}

err sys_error(const char* what, int code) {
    return format_error("%s: %s (%d)", what, system_error_text(code).c_str(), code);
}

bool make_address(const std::string& path, sockaddr_un& a) {
    std::memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) return false;
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Waits until fd is readable (or hung up); false on time-out.
bool wait_readable(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        int r = ::poll(&p, 1, timeout_ms);
        if (r < 0 && errno == EINTR) continue;
        return r > 0;
    }
}

// Reads the busy client's request first, so that its write succeeds and it
// reads the reply.
void answer_busy(int fd, const std::string& busy) {
    if (wait_readable(fd, 2000)) {
        char buf[1024];
        (void)!::recv(fd, buf, sizeof buf, MSG_DONTWAIT | MSG_TRUNC);
    }
    (void)!::send(fd, busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::close(fd);
}

bool peer_allowed(int fd) {
    ucred cr{};
    socklen_t len = sizeof cr;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cr, &len) != 0) return false;
    if (cr.uid == 0 || cr.uid == ::geteuid()) return true;
    log(2, "[cmd] Refused a client of user %u (process %d)", static_cast<unsigned>(cr.uid), static_cast<int>(cr.pid));
    return false;
}

void accept_loop() {
    auto& s = srv();
    for (;;) {
        pollfd p[2] = {{s.listen_fd, POLLIN, 0}, {s.stop_fds[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            log(3, "[cmd] poll on the command pipe failed: %s", system_error_text(errno).c_str());
            return;
        }
        if (p[1].revents) return;
        if (!(p[0].revents & POLLIN)) continue;
        int c = ::accept4(s.listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        if (!peer_allowed(c)) {
            ::close(c);
            continue;
        }
        {
            std::lock_guard lk(s.mu);
            if (s.client < 0) {
                s.client = c;
                wait_os::set_event(s.event);
                continue;
            }
        }
        answer_busy(c, s.busy);
    }
}

}  // namespace

err start_server(const std::string& name, os_handle event, const std::string& busy_reply, bool& in_use) {
    auto& s = srv();
    in_use = false;
    const std::string dir = run_dir();
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return sys_error(("Cannot create " + dir).c_str(), errno);
    struct stat st{};
    if (::stat(dir.c_str(), &st) != 0) return sys_error(("Cannot examine " + dir).c_str(), errno);
    // Only its owner may reach the agent's socket; a directory of another
    // user would let that user replace it.
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        return format_error("%s is not a directory of this user", dir.c_str());
    if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0)
        return sys_error(("Cannot restrict " + dir).c_str(), errno);

    const std::string path = dir + "/" + name;
    sockaddr_un addr;
    if (!make_address(path, addr)) return format_error("The socket path %s is too long", path.c_str());

    // The lock lives as long as the agent: a second agent of the same key
    // finds it taken, while the socket of an agent that died is stale.
    fd_guard lock{::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)};
    if (lock.fd < 0) return sys_error(("Cannot open " + path + ".lock").c_str(), errno);
    if (::flock(lock.fd, LOCK_EX | LOCK_NB) != 0) {
        in_use = errno == EWOULDBLOCK;
        return in_use ? format_error("%s is in use", path.c_str()) : sys_error("Cannot lock the command socket", errno);
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return sys_error(("Cannot remove " + path).c_str(), errno);

    fd_guard sock{::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0)};
    if (sock.fd < 0) return sys_error("Cannot create the command socket", errno);
    if (::bind(sock.fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        return sys_error(("Cannot bind " + path).c_str(), errno);
    if (::listen(sock.fd, 8) != 0) return sys_error("Cannot listen on the command socket", errno);
    int stop[2];
    if (::pipe2(stop, O_CLOEXEC) != 0) return sys_error("Cannot create a pipe", errno);

    s.listen_fd = sock.release();
    s.lock_fd = lock.release();
    s.stop_fds[0] = stop[0];
    s.stop_fds[1] = stop[1];
    s.event = event;
    s.busy = busy_reply;
    s.path = path;
    s.acceptor.t = std::thread(accept_loop);
    return {};
}

void stop_server() {
    auto& s = srv();
    if (s.listen_fd < 0) return;
    (void)!::write(s.stop_fds[1], "x", 1);
    if (s.acceptor.t.joinable()) s.acceptor.t.join();
    end_client();
    ::unlink(s.path.c_str());
    for (int* fd : {&s.listen_fd, &s.stop_fds[0], &s.stop_fds[1], &s.lock_fd}) {
        ::close(*fd);
        *fd = -1;
    }
}

bool client_waiting() {
    auto& s = srv();
    std::lock_guard lk(s.mu);
    return s.client >= 0;
}

request_read read_request(char* buf, size_t size, int timeout_ms) {
    request_read r;
    int fd;
    {
        auto& s = srv();
        std::lock_guard lk(s.mu);
        fd = s.client;
    }
    pollfd p{fd, POLLIN, 0};
    int pr;
    while ((pr = ::poll(&p, 1, timeout_ms)) < 0 && errno == EINTR) {
    }
    if (pr < 0) {
        r.code = errno;
        return r;
    }
    if (pr == 0) {
        r.code = ETIMEDOUT;
        return r;
    }
    iovec iov{buf, size - 1};
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    ssize_t n = ::recvmsg(fd, &m, MSG_DONTWAIT);
    if (n < 0) {
        r.code = errno;
        r.broken = errno == ECONNRESET || errno == EPIPE;
        return r;
    }
    r.n = static_cast<size_t>(n);
    // An empty message and the end of the connection both read 0 bytes; only
    // the end hangs up.
    if (n == 0 && (p.revents & POLLHUP)) r.broken = true;
    if (m.msg_flags & MSG_TRUNC) r.too_long = true;
    buf[r.n] = '\0';
    return r;
}

int write_reply(const char* data, size_t n) {
    auto& s = srv();
    std::lock_guard lk(s.mu);
    int code = 0;
    if (::send(s.client, data, n, MSG_NOSIGNAL | MSG_DONTWAIT) < 0) code = errno;
    if (s.client >= 0) ::close(s.client);
    s.client = -1;
    return code;
}

void end_client() {
    auto& s = srv();
    std::lock_guard lk(s.mu);
    if (s.client >= 0) ::close(s.client);
    s.client = -1;
}

connect_result connect_agent(const std::string& name, intptr_t& conn, int& code) {
    sockaddr_un addr;
    if (!make_address(run_dir() + "/" + name, addr)) {
        code = ENAMETOOLONG;
        return connect_result::failed;
    }
    fd_guard fd{::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0)};
    if (fd.fd < 0) {
        code = errno;
        return connect_result::failed;
    }
    if (::connect(fd.fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        code = errno;
        // A full backlog: the agent is there but does not take more clients.
        return code == EAGAIN ? connect_result::busy : connect_result::failed;
    }
    conn = fd.release();
    return connect_result::connected;
}

int send_message(intptr_t conn, const char* data, size_t n) {
    if (::send(static_cast<int>(conn), data, n, MSG_NOSIGNAL) < 0) return errno;
    return 0;
}

int receive_message(intptr_t conn, char* buf, size_t size, size_t& n, int timeout_ms) {
    int fd = static_cast<int>(conn);
    if (!wait_readable(fd, timeout_ms)) return ETIMEDOUT;
    ssize_t r = ::recv(fd, buf, size, MSG_DONTWAIT);
    if (r < 0) return errno;
    n = static_cast<size_t>(r);
    return 0;
}

void close_connection(intptr_t conn) { ::close(static_cast<int>(conn)); }

bool is_broken_pipe(int code) { return code == EPIPE || code == ECONNRESET; }

}  // namespace zp::pipe_os
