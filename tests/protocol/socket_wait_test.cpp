// socket_wait_test.cpp - the transport's waits on both builds: data that comes
// later, a peer that closes, a refused connect, and a stop request (the wake
// handle) ending a wait on a silent server.
#include "protocol/socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "tests/support/net.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace zp {
namespace {

namespace net = test::net;

// What a stop sets: an event on Windows, a pipe turned readable on Linux.
struct wake {
#if defined(_WIN32)
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    intptr_t handle() const { return reinterpret_cast<intptr_t>(ev); }
    void set() { SetEvent(ev); }
    ~wake() { CloseHandle(ev); }
#else
    int fds[2] = {-1, -1};
    wake() { EXPECT_EQ(::pipe(fds), 0); }
    intptr_t handle() const { return fds[0]; }
    void set() { EXPECT_EQ(::write(fds[1], "x", 1), 1); }
    ~wake() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
#endif
};

class SocketWait : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(network_startup().ok());
        listener = net::loopback_socket(port, 4);
        set_socket_wake_handle(stop.handle());
    }
    void TearDown() override {
        set_socket_wake_handle(-1);
        if (server.joinable()) server.join();
        net::close(listener);
    }
    // Connects to the listener; `peer` runs on its own thread with the
    // accepted connection, which is closed after it.
    socket_handle connect(std::function<void(net::handle)> peer) {
        server = std::thread([this, peer] {
            net::handle c = net::accept_within(listener, 5000);
            if (c == net::none) return;
            peer(c);
            net::close(c);
        });
        socket_handle s;
        err e = socket_create(htonl(INADDR_LOOPBACK), port, protocol_socket_flags, s);
        EXPECT_TRUE(e.ok()) << e.message();
        return s;
    }

    wake stop;
    uint16_t port = 0;
    net::handle listener = net::none;
    std::thread server;
};

TEST_F(SocketWait, LaterDataThenClosingPeerThenStop) {
    auto s = connect([](net::handle c) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        net::send_some(c, "hi", 2);
    });
    char buf[8];
    size_t n = 0;
    ASSERT_TRUE(socket_recv(s, buf, sizeof buf, n).ok());
    EXPECT_EQ(std::string(buf, n), "hi");
    ASSERT_TRUE(socket_recv(s, buf, sizeof buf, n).ok());
    EXPECT_EQ(n, 0u);  // the peer closed
    server.join();

    auto silent = connect([this](net::handle) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop.set();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    });
    // Not "Timeout in socket_recv()": the stop ended the wait.
    EXPECT_EQ(socket_recv(silent, buf, sizeof buf, n).message(), "Interrupted by a stop request");
}

TEST_F(SocketWait, RefusedConnectFails) {
    uint16_t closed_port = 0;
    net::close(net::loopback_socket(closed_port));
    socket_handle s;
    err e = socket_create(htonl(INADDR_LOOPBACK), closed_port, protocol_socket_flags, s);
    EXPECT_EQ(e.message().rfind("Error connecting", 0), 0u) << e.message();
    EXPECT_FALSE(s.valid());
}

}  // namespace
}  // namespace zp
