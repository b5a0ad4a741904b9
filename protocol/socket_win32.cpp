// socket_win32.cpp - Winsock calls under the socket transport.
#include "protocol/socket_os.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <climits>

#include "core/err.h"

namespace zp::sockos {

namespace {

SOCKET sock(intptr_t s) { return static_cast<SOCKET>(s); }

int poll_one(intptr_t s, short events, int seconds, short& revents, int& code) {
    long long ms = seconds < 0 ? 0 : static_cast<long long>(seconds) * 1000;
    WSAPOLLFD p{};
    p.fd = sock(s);
    p.events = events;
    int r = WSAPoll(&p, 1, static_cast<INT>(ms > INT_MAX ? INT_MAX : ms));
    if (r < 0) {
        code = WSAGetLastError();
        return -1;
    }
    revents = p.revents;
    return r;
}

}  // namespace

int startup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
}

uint32_t parse_dotted_quad(const char* name) { return ::inet_addr(name); }

int lookup_ipv4(const char* name, uint32_t& address, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int r = ::getaddrinfo(name, nullptr, &hints, &res);
    if (r != 0) {
        if (r == WSANO_DATA) return 1;
        error = system_error_text(r);
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
    // Not inherited by the commands the agent starts.
    SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        code = WSAGetLastError();
        return invalid;
    }
    return static_cast<intptr_t>(s);
}

int set_nonblocking(intptr_t s, bool on, int& code) {
    u_long v = on ? 1 : 0;
    if (ioctlsocket(sock(s), FIONBIO, &v) != 0) {
        code = WSAGetLastError();
        return -1;
    }
    return 0;
}

int set_nodelay(intptr_t s, bool on, int& code) {
    BOOL v = on ? TRUE : FALSE;
    if (setsockopt(sock(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&v), sizeof v) != 0) {
        code = WSAGetLastError();
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
    if (::connect(sock(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return 0;
    code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK || code == WSAEINPROGRESS || code == WSAEALREADY) in_progress = true;
    return -1;
}

int wait_connect(intptr_t s, int seconds, bool& done, bool& failed, int& code) {
    short rev = 0;
    int r = poll_one(s, POLLOUT, seconds, rev, code);
    done = failed = false;
    if (r == 1) {
        if (rev & (POLLERR | POLLHUP))
            failed = true;
        else if (rev & POLLOUT)
            done = true;
    }
    return r;
}

int connect_status(intptr_t s, int& status, int& code) {
    int v = 0;
    int len = sizeof v;
    if (getsockopt(sock(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&v), &len) != 0) {
        code = WSAGetLastError();
        return -1;
    }
    status = v;
    return 0;
}

int wait_readable(intptr_t s, int seconds, int& code) {
    short rev = 0;
    return poll_one(s, POLLRDNORM, seconds, rev, code);
}

int wait_writable(intptr_t s, int seconds, int& code) {
    short rev = 0;
    return poll_one(s, POLLWRNORM, seconds, rev, code);
}

long send_some(intptr_t s, const void* buf, size_t n, bool& would_block, int& code) {
    int len = static_cast<int>(n > INT_MAX ? INT_MAX : n);
    int r = ::send(sock(s), static_cast<const char*>(buf), len, 0);
    would_block = false;
    if (r == SOCKET_ERROR) {
        code = WSAGetLastError();
        would_block = code == WSAEWOULDBLOCK;
        return -1;
    }
    return r;
}

long recv_some(intptr_t s, void* buf, size_t n, bool& would_block, int& code) {
    int len = static_cast<int>(n > INT_MAX ? INT_MAX : n);
    int r = ::recv(sock(s), static_cast<char*>(buf), len, 0);
    would_block = false;
    if (r == SOCKET_ERROR) {
        code = WSAGetLastError();
        would_block = code == WSAEWOULDBLOCK;
        return -1;
    }
    return r;
}

int shutdown_both(intptr_t s) { return ::shutdown(sock(s), SD_BOTH); }

int close(intptr_t s, int& code) {
    if (closesocket(sock(s)) != 0) {
        code = WSAGetLastError();
        return -1;
    }
    return 0;
}

int local_address(intptr_t s, uint32_t& address, uint16_t& port) {
    sockaddr_in sa{};
    int len = sizeof sa;
    if (getsockname(sock(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
    if (sa.sin_family != AF_INET) return -1;
    address = sa.sin_addr.s_addr;
    port = ntohs(sa.sin_port);
    return 0;
}

}  // namespace zp::sockos
