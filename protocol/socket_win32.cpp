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

// WSAPoll of the socket alone without waiting: 1 with `revents`, 0, -1.
int poll_now(SOCKET s, short events, short& revents, int& code) {
    WSAPOLLFD p{};
    p.fd = s;
    p.events = events;
    int r = WSAPoll(&p, 1, 0);
    if (r < 0) {
        code = WSAGetLastError();
        return -1;
    }
    revents = r > 0 ? p.revents : 0;
    return r;
}

struct wsa_event {
    WSAEVENT h = WSACreateEvent();
    ~wsa_event() {
        if (h != WSA_INVALID_EVENT) WSACloseEvent(h);
    }
};

// Waits up to `ms` for `events` (poll flags) on the socket, ended early with
// woken when the event `wake` (or invalid) is set. The socket's network events
// go to a WSA event (WSAEventSelect) waited for together with `wake`; since
// those are recorded only on a change, the socket's state itself is asked with
// WSAPoll before and after each wait. WSAEventSelect leaves the socket in
// non-blocking mode, which every caller is ready for (they retry on
// would-block after the wait).
int wait_one(intptr_t s, short events, long net_events, int64_t ms, intptr_t wake, short& revents, int& code) {
    using clock = std::chrono::steady_clock;
    HANDLE wake_h = wake == invalid ? nullptr : reinterpret_cast<HANDLE>(wake);
    auto deadline = clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
    wsa_event ev;
    if (ev.h == WSA_INVALID_EVENT) {
        code = WSAGetLastError();
        return -1;
    }
    for (;;) {
        if (wake_h && WaitForSingleObject(wake_h, 0) == WAIT_OBJECT_0) return woken;
        int r = poll_now(sock(s), events, revents, code);
        if (r != 0) return r;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left <= 0) return 0;
        if (WSAEventSelect(sock(s), ev.h, net_events) != 0) {
            code = WSAGetLastError();
            return -1;
        }
        HANDLE hs[2] = {ev.h, wake_h};
        // Slices of a second at most, so that a change the event missed is seen.
        DWORD w = WaitForMultipleObjects(wake_h ? 2 : 1, hs, FALSE, static_cast<DWORD>(left > 1000 ? 1000 : left));
        DWORD wait_code = GetLastError();
        WSANETWORKEVENTS happened{};
        (void)WSAEnumNetworkEvents(sock(s), ev.h, &happened);
        (void)WSAEventSelect(sock(s), nullptr, 0);
        if (w == WAIT_FAILED) {
            code = static_cast<int>(wait_code);
            return -1;
        }
        if (w == WAIT_OBJECT_0 + 1) return woken;
        // What the event recorded counts too: WSAPoll misses a failed connect
        // on some versions of the system.
        long got = happened.lNetworkEvents & net_events;
        if (!got) continue;
        revents = 0;
        if (got & FD_CONNECT) revents |= happened.iErrorCode[FD_CONNECT_BIT] ? POLLERR : POLLWRNORM;
        if (got & FD_READ) revents |= POLLRDNORM;
        if (got & FD_WRITE) revents |= POLLWRNORM;
        if (got & FD_CLOSE) revents |= (events & POLLRDNORM) ? POLLRDNORM : POLLHUP;
        return 1;
    }
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

int wait_connect(intptr_t s, int64_t ms, intptr_t wake, bool& done, bool& failed, int& code) {
    short rev = 0;
    int r = wait_one(s, POLLWRNORM, FD_CONNECT | FD_WRITE | FD_CLOSE, ms, wake, rev, code);
    done = failed = false;
    if (r == 1) {
        if (rev & (POLLERR | POLLHUP))
            failed = true;
        else if (rev & POLLWRNORM)
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

int wait_readable(intptr_t s, int64_t ms, intptr_t wake, int& code) {
    short rev = 0;
    return wait_one(s, POLLRDNORM, FD_READ | FD_CLOSE, ms, wake, rev, code);
}

int wait_writable(intptr_t s, int64_t ms, intptr_t wake, int& code) {
    short rev = 0;
    return wait_one(s, POLLWRNORM, FD_WRITE | FD_CLOSE, ms, wake, rev, code);
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
