// net_os.h - the system calls under the server's listener and connections.
// Each returns the system's result and leaves its error code in `code` on
// failure; the texts are made by net.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zp::netos {

inline constexpr intptr_t invalid = -1;

// A listening IPv4 TCP socket bound to `address` (network byte order) and
// `port` (0: the system chooses), or invalid.
intptr_t listen_tcp(uint32_t address, uint16_t port, int backlog, int& code);
// The bound address and port (host order) of a socket; -1 on failure.
int bound_port(intptr_t s, uint16_t& port, int& code);
// Waits up to `millis` for a connection: 1 accepted (in `out`), 0 none yet,
// -1 error. The accepted socket is blocking and closes on exec.
int accept_within(intptr_t s, int millis, intptr_t& out, int& code);
// Poll-like waits on one socket: 1 ready, 0 time-out, -1 error.
int wait_readable(intptr_t s, int millis, int& code);
int wait_writable(intptr_t s, int millis, int& code);
// Bytes moved without blocking, or -1; `would_block` when not ready.
long send_some(intptr_t s, const void* buf, size_t n, bool& would_block, int& code);
long recv_some(intptr_t s, void* buf, size_t n, bool& would_block, int& code);
// Shuts both directions down and closes; 0 or -1.
int close_socket(intptr_t s, int& code);
// True when the descriptor (1 stdout, 2 stderr) is a terminal.
bool is_terminal(int fd);
int terminal_rows(int fd);

}  // namespace zp::netos
