// net.cpp - the listener and the connection stream; system calls in net_posix.cpp.
#include "tools/zpserver/net.h"

#include <chrono>
#include <cstring>

#include "tools/zpserver/net_os.h"

namespace zp::server {

namespace {

err sys_error(const char* what, int code) {
    return format_error("%s: %s (%d)", what, system_error_text(code).c_str(), code);
}

using steady = std::chrono::steady_clock;

// One accepted connection. Reads and writes wait at most the connection's
// time-out for the peer, and nothing goes on after the conversation's
// deadline; nothing is buffered here.
class conn_stream final : public ProtocolStream {
public:
    conn_stream(intptr_t fd, int timeout_seconds, int limit_seconds)
        : fd_(fd),
          timeout_ms_(timeout_seconds * 1000),
          deadline_(steady::now() + std::chrono::seconds(limit_seconds)) {}
    ~conn_stream() override { close(); }

    err read(void* buf, size_t n) override {
        auto p = static_cast<uint8_t*>(buf);
        while (n) {
            if (fd_ == netos::invalid) return err::text("Connection closed");
            bool would_block = false;
            int code = 0;
            long r = netos::recv_some(fd_, p, n, would_block, code);
            if (r == 0) return err::text("Peer closed connection unexpectedly");
            if (r > 0) {
                p += r;
                n -= static_cast<size_t>(r);
                continue;
            }
            if (!would_block) return sys_error("Error receiving data", code);
            if (late()) return err::text("Error receiving data: conversation took too long");
            int w = netos::wait_readable(fd_, wait_ms(), code);
            if (w == 0) return err::text("Error receiving data: Timeout in socket_recv()");
            if (w < 0) return sys_error("Error receiving data", code);
        }
        return {};
    }

    err write(const void* buf, size_t n) override {
        auto p = static_cast<const uint8_t*>(buf);
        while (n) {
            if (fd_ == netos::invalid) return err::text("Connection closed");
            bool would_block = false;
            int code = 0;
            long r = netos::send_some(fd_, p, n, would_block, code);
            if (r >= 0) {
                p += r;
                n -= static_cast<size_t>(r);
                continue;
            }
            if (!would_block) return sys_error("Error sending data", code);
            if (late()) return err::text("Error sending data: conversation took too long");
            int w = netos::wait_writable(fd_, wait_ms(), code);
            if (w == 0) return err::text("Error sending data: Timeout in socket_send()");
            if (w < 0) return sys_error("Error sending data", code);
        }
        return {};
    }

    err flush() override { return {}; }

    int wait_readable(int seconds) override {
        if (fd_ == netos::invalid) return 0;
        int code = 0;
        return netos::wait_readable(fd_, seconds * 1000, code) == 1 ? 1 : 0;
    }

    void close() override {
        if (fd_ == netos::invalid) return;
        int code = 0;
        (void)netos::close_socket(fd_, code);
        fd_ = netos::invalid;
    }

private:
    bool late() const { return steady::now() >= deadline_; }
    // The time-out, or less when the deadline comes first.
    int wait_ms() const {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - steady::now()).count();
        return left < timeout_ms_ ? static_cast<int>(left < 0 ? 0 : left) : timeout_ms_;
    }

    intptr_t fd_;
    int timeout_ms_;
    steady::time_point deadline_;
};

}  // namespace

bool parse_ipv4(const std::string& text, uint32_t& address) {
    uint8_t octets[4];
    size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (pos >= text.size() || text[pos] != '.') return false;
            ++pos;
        }
        unsigned v = 0;
        size_t digits = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 3) {
            v = v * 10 + static_cast<unsigned>(text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || v > 255) return false;
        octets[i] = static_cast<uint8_t>(v);
    }
    if (pos != text.size()) return false;
    std::memcpy(&address, octets, 4);
    return true;
}

listener::~listener() { close(); }

err listener::open(const std::string& address, uint16_t port) {
    uint32_t a;
    if (!parse_ipv4(address, a)) return format_error("Bad listen address: %s", address.c_str());
    int code = 0;
    intptr_t fd = netos::listen_tcp(a, port, 16, code);
    if (fd == netos::invalid)
        return format_error("Error listening on %s:%u: %s (%d)", address.c_str(), port,
                            system_error_text(code).c_str(), code);
    uint16_t bound = port;
    if (netos::bound_port(fd, bound, code) < 0) {
        (void)netos::close_socket(fd, code);
        return sys_error("Error reading the listening port", code);
    }
    close();
    fd_ = fd;
    port_ = bound;
    return {};
}

err listener::accept(int millis, int io_timeout, int limit, stream_ptr& out) {
    if (fd_ == netos::invalid) return err::text("Not listening");
    intptr_t fd = netos::invalid;
    int code = 0;
    int r = netos::accept_within(fd_, millis, fd, code);
    if (r < 0) return sys_error("Error accepting a connection", code);
    if (r == 1) out = std::make_unique<conn_stream>(fd, io_timeout > 0 ? io_timeout : 60, limit > 0 ? limit : 600);
    return {};
}

void listener::close() {
    if (fd_ == netos::invalid) return;
    int code = 0;
    (void)netos::close_socket(fd_, code);
    fd_ = netos::invalid;
}

bool is_terminal(int fd) { return netos::is_terminal(fd); }
int terminal_rows(int fd) { return netos::terminal_rows(fd); }

}  // namespace zp::server
