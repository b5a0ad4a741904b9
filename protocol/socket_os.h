// socket_os.h - the system calls under the socket transport. Each returns the
// system's result and leaves its error code in `code` on failure; the texts are
// made by socket.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zp::sockos {

inline constexpr intptr_t invalid = -1;
// What the waits below return when the wake handle, not the socket, ended them.
inline constexpr int woken = -2;

// Process-wide start-up of the socket layer; 0 or an error code.
int startup();

// A dotted quad in network byte order, or 0xFFFFFFFF when `name` is none.
uint32_t parse_dotted_quad(const char* name);
// Looks `name` up: 0 with the first IPv4 address, 1 when there is none, -1 with
// the system's text in `error`.
int lookup_ipv4(const char* name, uint32_t& address, std::string& error);

// A new IPv4 stream socket, or invalid.
intptr_t open_tcp(int& code);
int set_nonblocking(intptr_t s, bool on, int& code);
int set_nodelay(intptr_t s, bool on, int& code);
// 0 connected, -1 failed; `in_progress` when a non-blocking connect goes on.
int connect_ipv4(intptr_t s, uint32_t address, uint16_t port, bool& in_progress, int& code);
// The waits below last at most `ms` milliseconds and end early (with woken)
// when `wake` (a descriptor, or invalid for none) turns readable.
// Waits for a pending connect: poll-like result (0 time-out, 1 event, -1
// error); with an event, `done` when connected and `failed` when it failed.
int wait_connect(intptr_t s, int64_t ms, intptr_t wake, bool& done, bool& failed, int& code);
// The pending error of a failed connect.
int connect_status(intptr_t s, int& status, int& code);
// Poll-like waits: 1 ready, 0 time-out, -1 error.
int wait_readable(intptr_t s, int64_t ms, intptr_t wake, int& code);
int wait_writable(intptr_t s, int64_t ms, intptr_t wake, int& code);
// Bytes moved, or -1; `would_block` when the socket is not ready.
long send_some(intptr_t s, const void* buf, size_t n, bool& would_block, int& code);
long recv_some(intptr_t s, void* buf, size_t n, bool& would_block, int& code);
int shutdown_both(intptr_t s);
int close(intptr_t s, int& code);
int local_address(intptr_t s, uint32_t& address, uint16_t& port);

}  // namespace zp::sockos
