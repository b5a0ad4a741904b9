// socket.cpp - the transport's steps, limits and texts; the system calls are
// in socket_posix.cpp.
#include "protocol/socket.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <new>

#include "protocol/socket_os.h"

namespace zp {

namespace {

constexpr int default_timeout = 600;
constexpr const char* stop_text = "Interrupted by a stop request";

std::atomic<int> g_io_timeout{default_timeout};
std::atomic<int> g_connect_timeout{default_timeout};
std::atomic<bool> g_started{false};
std::atomic<intptr_t> g_wake{sockos::invalid};

using steady = std::chrono::steady_clock;

// Milliseconds of `seconds` that are left before `deadline` (none: no limit).
int64_t wait_ms(int seconds, const steady::time_point* deadline) {
    int64_t ms = static_cast<int64_t>(seconds) * 1000;
    if (!deadline) return ms;
    // Rounded up, so that a wait that ends the time also reaches the deadline.
    auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - steady::now()).count();
    return std::clamp<int64_t>(left, 0, ms);
}

bool past(const steady::time_point* deadline) { return deadline && steady::now() >= *deadline; }

err sys_error(const char* what, int code) {
    return format_error("%s: %s (%d)", what, system_error_text(code).c_str(), code);
}

// Closes a socket that failed to connect.
void drop(intptr_t s) {
    int code = 0;
    (void)sockos::close(s, code);
}

err send_within(const socket_handle& s, const void* buf, size_t n, const steady::time_point* deadline);
err recv_within(const socket_handle& s, void* buf, size_t n, size_t& count, const steady::time_point* deadline);

// One conversation is one connection: its stream ends every read and write at
// the conversation's deadline, so that a server that drips its bytes cannot
// hold the agent longer than that.
class socket_stream final : public ProtocolStream {
public:
    explicit socket_stream(socket_handle s)
        : sock_(std::move(s)), limit_(conversation_limit()), deadline_(steady::now() + std::chrono::seconds(limit_)) {}
    ~socket_stream() override { close(); }

    void attach(socket_handle s) { sock_ = std::move(s); }

    err read(void* buf, size_t n) override {
        if (pending_) {
            if (auto e = flush()) return e;
        }
        auto p = static_cast<uint8_t*>(buf);
        while (n) {
            size_t got = 0;
            if (auto e = recv_within(sock_, p, n, got, &deadline_)) {
                if (past(&deadline_)) return over_time();
                return format_error("Error receiving data: %s", e.c_str());
            }
            if (got == 0) return err::text("Peer closed connection unexpectedly");
            p += got;
            n -= got;
        }
        pending_ = false;
        return {};
    }

    err write(const void* buf, size_t n) override {
        if (auto e = send_within(sock_, buf, n, &deadline_)) {
            if (past(&deadline_)) return over_time();
            return format_error("socket_send returned error in socket_write_buf: %s", e.c_str());
        }
        pending_ = true;
        return {};
    }

    // Nothing is held back at this level; the flag only says that output went
    // out since the last read.
    err flush() override {
        pending_ = false;
        return {};
    }

    int wait_readable(int seconds) override {
        int code = 0;
        return sockos::wait_readable(sock_.get(), wait_ms(seconds, &deadline_), g_wake.load(), code) == 1 ? 1 : 0;
    }

    const socket_handle& handle() const { return sock_; }

    void close() override {
        if (!sock_.valid()) return;
        if (pending_) (void)flush();
        (void)socket_close(sock_);
    }

private:
    err over_time() const { return format_error("Conversation took longer than %d seconds", limit_); }

    socket_handle sock_;
    bool pending_ = false;
    int limit_;
    steady::time_point deadline_;
};

err send_within(const socket_handle& s, const void* buf, size_t n, const steady::time_point* deadline) {
    auto p = static_cast<const uint8_t*>(buf);
    while (n) {
        if (past(deadline)) return err::text("Timeout in socket_send()");
        bool would_block = false;
        int code = 0;
        long r = sockos::send_some(s.get(), p, n, would_block, code);
        if (r > static_cast<long>(n)) return err::text("send() sent too much - this is a Winsock error");
        if (r >= 0) {
            p += r;
            n -= static_cast<size_t>(r);
            continue;
        }
        if (!would_block) return sys_error("Bad error without sleep happened in socket_send()", code);
        int w = sockos::wait_writable(s.get(), wait_ms(io_timeout(), deadline), g_wake.load(), code);
        if (w == sockos::woken) return err::text(stop_text);
        if (w == 0) return err::text("Timeout in socket_send()");
        if (w != 1) return sys_error("Bad error after sleep happened in socket_send()", code);
    }
    return {};
}

err recv_within(const socket_handle& s, void* buf, size_t n, size_t& count, const steady::time_point* deadline) {
    for (;;) {
        if (past(deadline)) return err::text("Timeout in socket_recv()");
        bool would_block = false;
        int code = 0;
        long r = sockos::recv_some(s.get(), buf, n, would_block, code);
        if (r >= 0) {
            count = static_cast<size_t>(r);
            return {};
        }
        if (!would_block) return sys_error("Bad error happened without sleep in socket_recv()", code);
        int w = sockos::wait_readable(s.get(), wait_ms(io_timeout(), deadline), g_wake.load(), code);
        if (w == sockos::woken) return err::text(stop_text);
        if (w == 0) return err::text("Timeout in socket_recv()");
        if (w != 1) return sys_error("Bad error happened in socket_recv()", code);
    }
}

}  // namespace

socket_handle& socket_handle::operator=(socket_handle&& o) noexcept {
    if (this != &o) {
        reset();
        h_ = o.h_;
        o.h_ = -1;
    }
    return *this;
}

void socket_handle::reset() {
    if (h_ != -1) drop(h_);
    h_ = -1;
}

err network_startup() {
    if (g_started.load()) return {};
    if (int code = sockos::startup())
        return format_error("Error with wsastartup: %s (%d)\n", system_error_text(code).c_str(), code);
    g_started.store(true);
    return {};
}

err resolve_host(const std::string& host, uint32_t& address) {
    uint32_t a = sockos::parse_dotted_quad(host.c_str());
    if (a != 0xFFFFFFFFu) {
        address = a;
        return {};
    }
    std::string why;
    switch (sockos::lookup_ipv4(host.c_str(), a, why)) {
    case 0:
        address = a;
        return {};
    case 1:
        return format_error("No addresses found when resolving \"%s\"", host.c_str());
    default:
        return format_error("Error resolving \"%s\": %s", host.c_str(), why.c_str());
    }
}

err socket_create(uint32_t address, uint16_t port, int flags, socket_handle& out) {
    int code = 0;
    intptr_t s = sockos::open_tcp(code);
    if (s == sockos::invalid) return sys_error("Error creating socket", code);
    if (sockos::set_nonblocking(s, flags & socket_nonblocking, code) < 0) {
        drop(s);
        return sys_error("Error setting socket to nonblocking", code);
    }
    if (sockos::set_nodelay(s, flags & socket_nodelay, code) < 0) {
        drop(s);
        return sys_error("Error disabling Nagle", code);
    }
    bool in_progress = false;
    if (sockos::connect_ipv4(s, address, port, in_progress, code) == 0) {
        out = socket_handle(s);
        return {};
    }
    if (!in_progress) {
        drop(s);
        return sys_error("Error connecting", code);
    }
    bool done = false, failed = false;
    int r = sockos::wait_connect(s, wait_ms(connect_timeout(), nullptr), g_wake.load(), done, failed, code);
    if (r == sockos::woken) {
        drop(s);
        return err::text(stop_text);
    }
    if (r == 0) {
        drop(s);
        return err::text("Connection timed out");
    }
    if (r != 1) {
        drop(s);
        return format_error("Error connecting: Select returned: %d", r);
    }
    if (done) {
        out = socket_handle(s);
        return {};
    }
    if (failed) {
        int status = 0;
        if (sockos::connect_status(s, status, code) < 0) {
            drop(s);
            return sys_error("Error retrieving connection status", code);
        }
        drop(s);
        return sys_error("Error connecting", status);
    }
    drop(s);
    return err::text("Error connecting: Select returned, but socket isn't present");
}

err socket_send(const socket_handle& s, const void* buf, size_t n) { return send_within(s, buf, n, nullptr); }

err socket_recv(const socket_handle& s, void* buf, size_t n, size_t& count) {
    return recv_within(s, buf, n, count, nullptr);
}

int socket_wait_readable(const socket_handle& s, int seconds) {
    int code = 0;
    return sockos::wait_readable(s.get(), wait_ms(seconds, nullptr), g_wake.load(), code) == 1 ? 1 : 0;
}

err socket_close(socket_handle& s) {
    if (!s.valid()) return {};
    intptr_t h = s.get();
    int code = 0;
    if (sockos::set_nonblocking(h, false, code) < 0) {
        // The handle still goes: a socket nobody can reach again is a leak.
        s.reset();
        return sys_error("socket_close: Error at ioctlsocket", code);
    }
    (void)sockos::shutdown_both(h);
    if (sockos::close(s.release(), code) < 0) return sys_error("Error closing socket", code);
    return {};
}

bool socket_local_address(const socket_handle& s, uint32_t& address, uint16_t& port) {
    uint32_t a;
    uint16_t p;
    if (sockos::local_address(s.get(), a, p) < 0) return false;
    address = a;
    port = p;
    return true;
}

void set_io_timeout(int seconds) { g_io_timeout.store(seconds > 0 ? seconds : default_timeout); }
int io_timeout() { return g_io_timeout.load(); }
void set_connect_timeout(int seconds) { g_connect_timeout.store(seconds > 0 ? seconds : default_timeout); }
int connect_timeout() { return g_connect_timeout.load(); }
int conversation_limit() { return 3 * io_timeout(); }
void set_socket_wake_handle(intptr_t h) { g_wake.store(h < 0 ? sockos::invalid : h); }

err open_socket_stream(uint32_t address, uint16_t port, int flags, stream_ptr& out) {
    std::unique_ptr<socket_stream> stream;
    try {
        stream = std::make_unique<socket_stream>(socket_handle());
    } catch (const std::bad_alloc&) {
        return err::text("Error allocating memory");
    }
    socket_handle s;
    if (auto e = socket_create(address, port, flags | socket_for_stream, s)) return e;
    stream->attach(std::move(s));
    out = std::move(stream);
    return {};
}

bool interrupted_by_stop(const err& e) { return e.is_error() && e.message().find(stop_text) != std::string::npos; }

bool socket_stream_local_address(ProtocolStream& s, uint32_t& address) {
    auto* ss = dynamic_cast<socket_stream*>(&s);
    uint16_t port;
    return ss && socket_local_address(ss->handle(), address, port);
}

}  // namespace zp
