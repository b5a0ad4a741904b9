// socket.h - the IPv4 TCP transport to the monitoring server: name resolution,
// non-blocking connect with a time-out, send and receive bounded by the I/O
// time-out, orderly close, and the socket stream that the codec and the cipher
// stream write through.
//
// A socket and a stream belong to one thread. The two time-outs are
// process-wide and may be set from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/err.h"
#include "protocol/stream.h"

namespace zp {

// Flags of socket_create and open_socket_stream.
inline constexpr int socket_nonblocking = 1;
inline constexpr int socket_nodelay = 2;
inline constexpr int socket_for_stream = 4;  // set by open_socket_stream; not looked at

// Every conversation with the server opens its connection with these flags
// (non-blocking; Nagle's algorithm stays on).
inline constexpr int protocol_socket_flags = socket_nonblocking;

// An open socket; closed (without the orderly steps of socket_close) when
// destroyed. Move-only.
class socket_handle {
public:
    socket_handle() = default;
    explicit socket_handle(intptr_t h) : h_(h) {}
    socket_handle(socket_handle&& o) noexcept : h_(o.h_) { o.h_ = -1; }
    socket_handle& operator=(socket_handle&& o) noexcept;
    socket_handle(const socket_handle&) = delete;
    socket_handle& operator=(const socket_handle&) = delete;
    ~socket_handle() { reset(); }

    intptr_t get() const { return h_; }
    bool valid() const { return h_ != -1; }
    // Gives up ownership without closing.
    intptr_t release() {
        intptr_t h = h_;
        h_ = -1;
        return h;
    }
    void reset();

private:
    intptr_t h_ = -1;
};

// Starts the socket layer once per process (nothing to do on POSIX systems).
// Failure: "Error with wsastartup: %s (%d)\n".
err network_startup();

// Resolves `host` to an IPv4 address in network byte order: a dotted quad is
// used as it is, anything else is looked up. Failures: "Error resolving \"%s\":
// %s", "No addresses found when resolving \"%s\"". `address` is unchanged then.
err resolve_host(const std::string& host, uint32_t& address);

// Connects to `address` (network byte order) and `port` (host order). The
// connect is bounded by the connect time-out. On failure no socket stays open
// and `out` is unchanged.
err socket_create(uint32_t address, uint16_t port, int flags, socket_handle& out);
// Sends all `n` bytes, waiting up to the I/O time-out whenever the socket
// cannot take more.
err socket_send(const socket_handle& s, const void* buf, size_t n);
// One receive of at most `n` bytes into `buf`; `count` 0 means the peer closed.
// Waits up to the I/O time-out for data.
err socket_recv(const socket_handle& s, void* buf, size_t n, size_t& count);
// 1 when the socket becomes readable within `seconds`, else 0.
int socket_wait_readable(const socket_handle& s, int seconds);
// Sets the socket back to blocking, shuts it down both ways and closes it. The
// handle is released in every case.
err socket_close(socket_handle& s);
// The local IPv4 address (network byte order) and port (host order) of a
// connected socket; false when the system cannot tell.
bool socket_local_address(const socket_handle& s, uint32_t& address, uint16_t& port);

// The I/O time-out in seconds of every wait in socket_send and socket_recv;
// 0 restores the initial 600. Process-wide and atomic: set before
// conversations begin (tests shorten them), read by every socket on any thread.
void set_io_timeout(int seconds);
int io_timeout();
// The limit in seconds on a connect; 0 restores the initial 600. Tests shorten it.
void set_connect_timeout(int seconds);
int connect_timeout();
// The longest a socket stream (one conversation) may last, 3 times the I/O
// time-out at the moment the stream is opened: a read or write past it fails
// with "Conversation took longer than %d seconds".
int conversation_limit();

// A handle that every socket wait also watches (on Linux a descriptor, such as
// an eventfd, that turns readable when the agent is asked to stop). While it is
// signalled, connects, sends and receives fail with "Interrupted by a stop
// request" and wait_readable answers 0. -1 removes it. Any thread; the handle
// must stay open while it is set.
void set_socket_wake_handle(intptr_t h);
// True when `e` comes from a socket wait that a stop request cut short.
bool interrupted_by_stop(const err& e);

// Connects and wraps the socket in a stream (flags as socket_create, usually
// protocol_socket_flags). On failure `out` is unchanged and no socket is open.
err open_socket_stream(uint32_t address, uint16_t port, int flags, stream_ptr& out);
// The local IPv4 address (network byte order) of a socket stream's
// connection; false for any other stream or when the system cannot tell.
bool socket_stream_local_address(ProtocolStream& s, uint32_t& address);

}  // namespace zp
