// hardening_test.cpp - a hostile or stalled server cannot hold a conversation:
// a stop wakes every socket wait, a conversation has a deadline, and endless
// filler ends the read.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "protocol/codec.h"
#include "protocol/memory_stream.h"
#include "protocol/socket.h"

namespace zp {
namespace {

using steady = std::chrono::steady_clock;

// A listening socket on 127.0.0.1; `serve` runs on its own thread with the
// accepted connection until `done` is set.
struct hostile_server {
    int fd = -1;
    uint16_t port = 0;
    std::atomic<bool> done{false};
    std::thread worker;

    hostile_server() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        EXPECT_EQ(listen(fd, 1), 0);
        socklen_t len = sizeof sa;
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin_port);
    }
    // Sends one octet every `gap` (none: sends nothing) until done.
    void drip(std::chrono::milliseconds gap) {
        worker = std::thread([this, gap] {
            int c = accept(fd, nullptr, nullptr);
            while (c >= 0 && !done) {
                std::this_thread::sleep_for(gap.count() ? gap : std::chrono::milliseconds(20));
                if (gap.count() && send(c, "x", 1, MSG_NOSIGNAL) != 1) break;
            }
            if (c >= 0) close(c);
        });
    }
    ~hostile_server() {
        done = true;
        if (worker.joinable()) worker.join();
        close(fd);
    }
};

struct Hardening : ::testing::Test {
    void TearDown() override {
        set_io_timeout(0);
        set_socket_wake_handle(-1);
    }
};

TEST_F(Hardening, StalledOrDrippingServerEndsWithinItsLimit) {
    struct stall_case {
        const char* name;
        std::chrono::milliseconds gap;  // 0: silent
        bool stop_after_300ms;
        std::string error;
        double at_most_seconds;
    } cases[] = {
        // One octet well inside each wait: only the conversation's deadline ends it.
        {"drip", std::chrono::milliseconds(200), false, "Conversation took longer than 3 seconds", 4.5},
        {"stop while silent", std::chrono::milliseconds(0), true,
         "Error receiving data: Interrupted by a stop request", 1.0},
        {"stop while dripping", std::chrono::milliseconds(200), true,
         "Error receiving data: Interrupted by a stop request", 1.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        set_io_timeout(1);
        int wake[2];
        ASSERT_EQ(pipe(wake), 0);
        set_socket_wake_handle(wake[0]);
        hostile_server srv;
        srv.drip(c.gap);
        stream_ptr s;
        ASSERT_FALSE(open_socket_stream(htonl(INADDR_LOOPBACK), srv.port, protocol_socket_flags, s));
        std::thread stopper;
        if (c.stop_after_300ms) {
            stopper = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                (void)!write(wake[1], "s", 1);
            });
        }
        // A long io time-out would let the silent cases wait on their own.
        if (c.stop_after_300ms) set_io_timeout(600);
        auto start = steady::now();
        std::vector<char> buf(1000);
        err e = s->read(buf.data(), buf.size());
        double took = std::chrono::duration<double>(steady::now() - start).count();
        EXPECT_EQ(e.message(), c.error);
        EXPECT_LT(took, c.at_most_seconds);
        if (stopper.joinable()) stopper.join();
        s.reset();
        set_socket_wake_handle(-1);
        close(wake[0]);
        close(wake[1]);
    }
}

TEST_F(Hardening, EndlessFillerEndsTheReadButBlockPaddingPasses) {
    struct filler_case {
        size_t fillers;
        bool ok;
    } cases[] = {{15, true}, {max_filler_run, true}, {max_filler_run + 1, false}, {1 << 20, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fillers);
        std::vector<uint8_t> in(c.fillers, filler_octet);
        in.push_back(0x30);  // a SEQUENCE identifier
        memory_stream m(in);
        tag_code tag = 0;
        err e = read_tag(m, tag);
        if (c.ok) {
            EXPECT_FALSE(e) << e.message();
            EXPECT_EQ(tag, BE_SEQ);
        } else {
            EXPECT_EQ(e.message(), "Too many filler octets in read_tag");
        }
    }
}

}  // namespace
}  // namespace zp
