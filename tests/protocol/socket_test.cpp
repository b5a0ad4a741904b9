// socket_test.cpp - the socket transport against servers on loopback.
#include "protocol/socket.h"

#include <gtest/gtest.h>

#if defined(_WIN32)
// The cases below pin Linux's error texts and numbers, count descriptors in
// /proc and fill a listen queue the way Linux drops handshakes.
TEST(SocketTransport, LinuxOnly) { GTEST_SKIP() << "socket behaviour and texts of Linux"; }
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "protocol/messages.h"

namespace zp {
namespace {

const uint32_t loopback = htonl(INADDR_LOOPBACK);

long open_fd_count() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

sockaddr_in loopback_address(uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = loopback;
    sa.sin_port = htons(port);
    return sa;
}

// A listening socket on 127.0.0.1 with an ephemeral port; `serve` runs on its
// own thread with each accepted connection.
struct loopback_server {
    int fd = -1;
    uint16_t port = 0;
    std::thread worker;

    explicit loopback_server(int backlog = 4) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa = loopback_address(0);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        EXPECT_EQ(listen(fd, backlog), 0);
        socklen_t len = sizeof sa;
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin_port);
    }
    void serve(std::function<void(int)> f) {
        worker = std::thread([this, f] {
            int c = accept(fd, nullptr, nullptr);
            if (c >= 0) {
                f(c);
                close(c);
            }
        });
    }
    ~loopback_server() {
        if (worker.joinable()) worker.join();
        if (fd >= 0) close(fd);
    }
};

struct SocketTransport : ::testing::Test {
    void TearDown() override {
        set_io_timeout(0);
        set_connect_timeout(0);
    }
};

TEST_F(SocketTransport, DottedQuadUsedAsIsAndZeroTimeoutRestoresDefault) {
    set_io_timeout(1);
    set_io_timeout(0);
    EXPECT_EQ(io_timeout(), 600);
    uint32_t a = 0;
    ASSERT_FALSE(resolve_host("10.20.30.40", a));
    EXPECT_EQ(a, htonl(0x0A141E28));
    ASSERT_FALSE(resolve_host("localhost", a));
    EXPECT_EQ(a, loopback);
}

TEST_F(SocketTransport, SilentServerTimesOutRead) {
    set_io_timeout(1);
    loopback_server srv;
    srv.serve([](int c) {
        char b;
        (void)!read(c, &b, 1);  // keeps the connection open until the agent closes it
    });
    stream_ptr s;
    ASSERT_FALSE(open_socket_stream(loopback, srv.port, protocol_socket_flags, s));
    char buf[4];
    EXPECT_EQ(s->read(buf, sizeof buf).message(), "Error receiving data: Timeout in socket_recv()");
    EXPECT_EQ(s->wait_readable(0), 0);
}

TEST_F(SocketTransport, RefusedOrUnansweredConnectReportsItsTextAndLeavesNoSocket) {
    uint16_t port;
    {
        loopback_server gone;
        port = gone.port;
    }
    long before = open_fd_count();
    stream_ptr s;
    EXPECT_EQ(open_socket_stream(loopback, port, protocol_socket_flags, s).message(),
              "Error connecting: Connection refused (111)");
    EXPECT_FALSE(s);
    EXPECT_EQ(open_fd_count(), before);
    // A listener whose queue is full drops further handshakes, so the next
    // connect stays pending.
    loopback_server srv(0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in sa = loopback_address(srv.port);
        (void)connect(f, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        fillers.push_back(f);
    }
    set_connect_timeout(1);
    before = open_fd_count();
    socket_handle h;
    EXPECT_EQ(socket_create(loopback, srv.port, socket_nonblocking, h).message(), "Connection timed out");
    EXPECT_FALSE(h.valid());
    EXPECT_EQ(open_fd_count(), before);
    for (int f : fillers) close(f);
}

TEST_F(SocketTransport, MessageReadAcrossManySmallSegmentsThenPeerClosesMidMessage) {
    loopback_server srv;
    const uint8_t reply[] = {0x78, 0x80, 0x02, 0x02, 0x01, 0x00, 0x02, 0x01, 0x05, 0x00, 0x00, 0x78, 0x80, 0x02};
    srv.serve([&](int c) {
        uint8_t req[10];
        if (recv(c, req, sizeof req, MSG_WAITALL) != sizeof req) return;
        int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        for (uint8_t b : reply) (void)!write(c, &b, 1);
    });
    stream_ptr s;
    ASSERT_FALSE(open_socket_stream(loopback, srv.port, protocol_socket_flags, s));
    ASSERT_FALSE(write_server_time_req(*s, 256));
    ASSERT_FALSE(s->flush());
    int32_t sec = 0, usec = 0;
    ASSERT_FALSE(read_server_time_resp(*s, sec, usec));
    EXPECT_EQ(sec, 256);
    EXPECT_EQ(usec, 5);
    char buf[10];
    EXPECT_EQ(s->read(buf, sizeof buf).message(), "Peer closed connection unexpectedly");
}

TEST_F(SocketTransport, WriteToVanishedPeerFailsWithoutSignal) {
    loopback_server srv;
    // The reset waits until the agent's side has seen its connect complete.
    std::promise<void> connected;
    srv.serve([done = connected.get_future().share()](int c) {
        done.wait();
        linger l{1, 0};  // reset instead of an orderly close
        setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    });
    stream_ptr s;
    err opened = open_socket_stream(loopback, srv.port, protocol_socket_flags, s);
    connected.set_value();
    srv.worker.join();
    ASSERT_FALSE(opened) << opened.message();
    std::string block(65536, 'x');
    err e;
    for (int i = 0; i < 100 && !e; ++i) e = s->write(block.data(), block.size());
    EXPECT_EQ(e.message().rfind("socket_send returned error in socket_write_buf: "
                                "Bad error without sleep happened in socket_send(): ",
                                0),
              0u)
        << e.message();
}

}  // namespace
}  // namespace zp
#endif
