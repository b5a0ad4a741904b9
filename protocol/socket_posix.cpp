// socket_posix.cpp - BSD socket calls under the socket transport.
#include "protocol/socket_os.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>

#include "core/err.h"

namespace zp::sockos {

namespace {

// poll() for one descriptor and the wake descriptor, restarted after signals
// with the time left.
int poll_one(int fd, short events, int64_t ms, intptr_t wake, short& revents, int& code) {
    using clock = std::chrono::steady_clock;
    if (ms < 0) ms = 0;
    auto end = clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        pollfd p[2] = {{fd, events, 0}, {static_cast<int>(wake), POLLIN, 0}};
        nfds_t n = wake == invalid ? 1 : 2;
        int wait = static_cast<int>(ms > INT_MAX ? INT_MAX : ms);
        int r = ::poll(p, n, wait);
        if (r >= 0) {
            if (n == 2 && (p[1].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL))) return woken;
            revents = p[0].revents;
            return r > 0 ? 1 : 0;
        }
        if (errno != EINTR) {
            code = errno;
            return -1;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now()).count();
        ms = left < 0 ? 0 : left;
    }
}

bool is_would_block(int e) { return e == EAGAIN || e == EWOULDBLOCK; }

}  // namespace

int startup() { return 0; }

uint32_t parse_dotted_quad(const char* name) { return ::inet_addr(name); }

int lookup_ipv4(const char* name, uint32_t& address, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int r = ::getaddrinfo(name, nullptr, &hints, &res);
    if (r != 0) {
#if defined(EAI_NODATA) && defined(EAI_ADDRFAMILY)
        // The name is known but has no IPv4 address.
        if (r == EAI_NODATA || r == EAI_ADDRFAMILY) return 1;
#endif
        error = r == EAI_SYSTEM ? system_error_text(errno) : std::string(::gai_strerror(r));
        return -1;
    }
    int found = 1;
    for (addrinfo* a = res; a; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addr) {
            address = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
            found = 0;
            break;
        }
    }
    ::freeaddrinfo(res);
    return found;
}

intptr_t open_tcp(int& code) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) code = errno;
    return fd < 0 ? invalid : fd;
}

int set_nonblocking(intptr_t s, bool on, int& code) {
    int fd = static_cast<int>(s);
    int fl = ::fcntl(fd, F_GETFL);
    if (fl < 0 || ::fcntl(fd, F_SETFL, on ? (fl | O_NONBLOCK) : (fl & ~O_NONBLOCK)) < 0) {
        code = errno;
        return -1;
    }
    return 0;
}

int set_nodelay(intptr_t s, bool on, int& code) {
    int v = on ? 1 : 0;
    if (::setsockopt(static_cast<int>(s), IPPROTO_TCP, TCP_NODELAY, &v, sizeof v) < 0) {
        code = errno;
        return -1;
    }
    return 0;
}

int connect_ipv4(intptr_t s, uint32_t address, uint16_t port, bool& in_progress, int& code) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    sa.sin_port = htons(port);
    in_progress = false;
    int r;
    do {
        r = ::connect(static_cast<int>(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return 0;
    code = errno;
    if (code == EINPROGRESS || code == EALREADY) in_progress = true;
    return -1;
}

int wait_connect(intptr_t s, int64_t ms, intptr_t wake, bool& done, bool& failed, int& code) {
    short rev = 0;
    int r = poll_one(static_cast<int>(s), POLLOUT, ms, wake, rev, code);
    done = failed = false;
    if (r == 1) {
        // A refused connect shows as writable and in error; the error wins.
        if (rev & (POLLERR | POLLHUP))
            failed = true;
        else if (rev & POLLOUT)
            done = true;
    }
    return r;
}

int connect_status(intptr_t s, int& status, int& code) {
    int v = 0;
    socklen_t len = sizeof v;
    if (::getsockopt(static_cast<int>(s), SOL_SOCKET, SO_ERROR, &v, &len) < 0) {
        code = errno;
        return -1;
    }
    status = v;
    return 0;
}

int wait_readable(intptr_t s, int64_t ms, intptr_t wake, int& code) {
    short rev = 0;
    return poll_one(static_cast<int>(s), POLLIN, ms, wake, rev, code);
}

int wait_writable(intptr_t s, int64_t ms, intptr_t wake, int& code) {
    short rev = 0;
    return poll_one(static_cast<int>(s), POLLOUT, ms, wake, rev, code);
}

long send_some(intptr_t s, const void* buf, size_t n, bool& would_block, int& code) {
    ssize_t r;
    do {
        // No SIGPIPE when the peer has gone: the error comes back as EPIPE.
        r = ::send(static_cast<int>(s), buf, n, MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    would_block = r < 0 && is_would_block(errno);
    if (r < 0) code = errno;
    return static_cast<long>(r);
}

long recv_some(intptr_t s, void* buf, size_t n, bool& would_block, int& code) {
    ssize_t r;
    do {
        r = ::recv(static_cast<int>(s), buf, n, 0);
    } while (r < 0 && errno == EINTR);
    would_block = r < 0 && is_would_block(errno);
    if (r < 0) code = errno;
    return static_cast<long>(r);
}

int shutdown_both(intptr_t s) { return ::shutdown(static_cast<int>(s), SHUT_RDWR); }

int close(intptr_t s, int& code) {
    // Linux releases the descriptor even when close reports an error.
    if (::close(static_cast<int>(s)) < 0) {
        code = errno;
        return -1;
    }
    return 0;
}

int local_address(intptr_t s, uint32_t& address, uint16_t& port) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(static_cast<int>(s), reinterpret_cast<sockaddr*>(&sa), &len) < 0) return -1;
    if (sa.sin_family != AF_INET) return -1;
    address = sa.sin_addr.s_addr;
    port = ntohs(sa.sin_port);
    return 0;
}

}  // namespace zp::sockos
