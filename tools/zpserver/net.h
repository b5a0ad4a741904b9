// net.h - the reference server's listener and the byte stream of one accepted
// connection, with a time-out per connection rather than the agent's
// process-wide one.
#pragma once

#include <cstdint>
#include <string>

#include "core/err.h"
#include "protocol/stream.h"

namespace zp::server {

// Parses a dotted quad ("127.0.0.1") into an IPv4 address in network byte
// order; false (address unchanged) for anything else.
bool parse_ipv4(const std::string& text, uint32_t& address);

// A listening TCP socket. Owned by the accept loop; closed when destroyed.
class listener {
public:
    listener() = default;
    ~listener();
    listener(const listener&) = delete;
    listener& operator=(const listener&) = delete;

    // Binds `address` (a dotted quad) and `port` (0: the system picks one).
    // Texts: "Bad listen address: %s", "Error listening on %s:%u: %s (%d)".
    err open(const std::string& address, uint16_t port);
    // The bound port (valid after open).
    uint16_t port() const { return port_; }
    // Waits up to `millis` for a connection. On success `out` holds the stream
    // of the accepted connection (or stays empty when none came); every read
    // and write on it waits at most `io_timeout` seconds, and nothing goes on
    // after `limit` seconds, so that a peer that trickles octets cannot hold
    // the connection for ever.
    err accept(int millis, int io_timeout, int limit, stream_ptr& out);
    void close();

private:
    intptr_t fd_ = -1;
    uint16_t port_ = 0;
};

// True when standard output (1) or standard error (2) is a terminal.
bool is_terminal(int fd);
// Lines of the terminal on `fd`, or 0 when it is not a terminal or does not say.
int terminal_rows(int fd);

}  // namespace zp::server
