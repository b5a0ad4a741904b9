// net.h - the few socket calls of the tests' scripted servers, on BSD sockets
// or Winsock, so that the conversation tests run on both builds.
#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstddef>
#include <cstdint>

namespace zp::test::net {

using handle = intptr_t;
inline constexpr handle none = -1;

// Starts the socket layer once (Winsock) and keeps a closed peer from
// killing the process (SIGPIPE).
inline void init() {
#if defined(_WIN32)
    static bool done = [] {
        WSADATA d;
        return WSAStartup(MAKEWORD(2, 2), &d) == 0;
    }();
    (void)done;
#else
    ::signal(SIGPIPE, SIG_IGN);
#endif
}

// A TCP socket bound to a free loopback port (listening when backlog >= 0).
inline handle loopback_socket(uint16_t& port, int backlog = -1) {
    init();
    auto s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    if (backlog >= 0) ::listen(s, backlog);
    return static_cast<handle>(s);
}

// The next connection within `ms` milliseconds, or none.
inline handle accept_within(handle listener, int ms) {
#if defined(_WIN32)
    WSAPOLLFD p{};
    p.fd = static_cast<SOCKET>(listener);
    p.events = POLLRDNORM;
    if (WSAPoll(&p, 1, ms) != 1) return none;
    SOCKET c = ::accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    return c == INVALID_SOCKET ? none : static_cast<handle>(c);
#else
    pollfd p{static_cast<int>(listener), POLLIN, 0};
    if (::poll(&p, 1, ms) != 1) return none;
    return ::accept(static_cast<int>(listener), nullptr, nullptr);
#endif
}

inline long send_some(handle s, const void* p, size_t n) {
#if defined(_WIN32)
    return ::send(static_cast<SOCKET>(s), static_cast<const char*>(p), static_cast<int>(n), 0);
#else
    return ::send(static_cast<int>(s), p, n, MSG_NOSIGNAL);
#endif
}

inline long recv_some(handle s, void* p, size_t n) {
#if defined(_WIN32)
    return ::recv(static_cast<SOCKET>(s), static_cast<char*>(p), static_cast<int>(n), 0);
#else
    return ::recv(static_cast<int>(s), p, n, 0);
#endif
}

inline void shutdown_both(handle s) {
#if defined(_WIN32)
    ::shutdown(static_cast<SOCKET>(s), SD_BOTH);
#else
    ::shutdown(static_cast<int>(s), SHUT_RDWR);
#endif
}

inline void close(handle s) {
#if defined(_WIN32)
    ::closesocket(static_cast<SOCKET>(s));
#else
    ::close(static_cast<int>(s));
#endif
}

}  // namespace zp::test::net
