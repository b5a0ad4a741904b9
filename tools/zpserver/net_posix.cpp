// net_posix.cpp - BSD socket calls under the server's listener and connections.
#include "tools/zpserver/net_os.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace zp::netos {

namespace {

int poll_one(intptr_t s, short events, int millis, int& code) {
    for (;;) {
        pollfd p{static_cast<int>(s), events, 0};
        int r = ::poll(&p, 1, millis < 0 ? 0 : millis);
        if (r >= 0) return r > 0 ? 1 : 0;
        if (errno != EINTR) {
            code = errno;
            return -1;
        }
    }
}

}  // namespace

intptr_t listen_tcp(uint32_t address, uint16_t port, int backlog, int& code) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        code = errno;
        return invalid;
    }
    int one = 1;
    (void)::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    sa.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 || ::listen(fd, backlog) < 0) {
        code = errno;
        ::close(fd);
        return invalid;
    }
    return fd;
}

int bound_port(intptr_t s, uint16_t& port, int& code) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(static_cast<int>(s), reinterpret_cast<sockaddr*>(&sa), &len) < 0) {
        code = errno;
        return -1;
    }
    port = ntohs(sa.sin_port);
    return 0;
}

int accept_within(intptr_t s, int millis, intptr_t& out, int& code) {
    int r = poll_one(s, POLLIN, millis, code);
    if (r <= 0) return r;
    int fd = ::accept4(static_cast<int>(s), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        // The peer may have gone between poll and accept.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EINTR) return 0;
        code = errno;
        return -1;
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) (void)::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    out = fd;
    return 1;
}

int wait_readable(intptr_t s, int millis, int& code) { return poll_one(s, POLLIN, millis, code); }
int wait_writable(intptr_t s, int millis, int& code) { return poll_one(s, POLLOUT, millis, code); }

long send_some(intptr_t s, const void* buf, size_t n, bool& would_block, int& code) {
    ssize_t r = ::send(static_cast<int>(s), buf, n, MSG_NOSIGNAL);
    if (r >= 0) return static_cast<long>(r);
    would_block = errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    code = errno;
    return -1;
}

long recv_some(intptr_t s, void* buf, size_t n, bool& would_block, int& code) {
    ssize_t r = ::recv(static_cast<int>(s), buf, n, 0);
    if (r >= 0) return static_cast<long>(r);
    would_block = errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    code = errno;
    return -1;
}

int close_socket(intptr_t s, int& code) {
    (void)::shutdown(static_cast<int>(s), SHUT_RDWR);
    if (::close(static_cast<int>(s)) < 0) {
        code = errno;
        return -1;
    }
    return 0;
}

bool is_terminal(int fd) { return ::isatty(fd) == 1; }

int terminal_rows(int fd) {
    struct winsize ws{};
    if (::ioctl(fd, TIOCGWINSZ, &ws) != 0) return 0;
    return ws.ws_row;
}

}  // namespace zp::netos
