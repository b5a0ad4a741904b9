// Tests of the wait objects and wake-up events.
#include "host/wait.h"

#include <chrono>
#include <thread>

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/log_capture.h"

namespace zp {
namespace {

class WaitObjects : public ::testing::Test {
protected:
    void SetUp() override { clear_wait_objects(); }
    void TearDown() override { clear_wait_objects(); }
    wait_event make(bool manual, bool set) {
        wait_event ev;
        EXPECT_TRUE(wait_event::create(manual, set, ev).ok());
        return ev;
    }
};

TEST_F(WaitObjects, FifthHandleIsRefusedAndRemovalMovesLaterOnesDown) {
    wait_event ev[5];
    for (auto& e : ev) e = make(true, false);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(add_wait_event(ev[i].handle()));
    EXPECT_FALSE(add_wait_event(ev[4].handle()));
    EXPECT_TRUE(add_wakeup_event(ev[4].handle()));  // the second array is separate
    EXPECT_TRUE(del_wait_event(ev[1].handle()));
    EXPECT_FALSE(del_wait_event(ev[1].handle()));
    ev[3].set();
    EXPECT_EQ(wait_for_objects(1), 3);  // was position 4
    EXPECT_TRUE(add_wait_event(ev[4].handle()));
}

TEST_F(WaitObjects, FirstSignalledPositionWinsAndZeroSecondsReturnsAtOnce) {
    wait_event a = make(true, false), b = make(true, true), c = make(true, true);
    for (auto* e : {&a, &b, &c}) add_wait_event(e->handle());
    EXPECT_EQ(wait_for_objects(5), 2);
    for (int seconds : {0, -3}) EXPECT_EQ(wait_for_objects(seconds), 0);
    EXPECT_EQ(wakeup_wait(0), 0);
}

TEST_F(WaitObjects, AutoResetWakesOneWaitManualResetWakesEvery) {
    wait_event autoev = make(false, true), manual = make(true, false);
    add_wakeup_event(autoev.handle());
    EXPECT_EQ(wakeup_wait(5), 1);
    del_wakeup_event(autoev.handle());
    add_wakeup_event(manual.handle());
    manual.set();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(wakeup_wait(5), 1);
    manual.reset();
    EXPECT_EQ(wakeup_wait(1), 0);  // one real second: the time-out itself
}

TEST_F(WaitObjects, SignalFromAnotherThreadCutsSleepShort) {
    wait_event stop = make(true, false);
    add_wakeup_event(stop.handle());
    add_wait_event(stop.handle());
    std::thread t([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        stop.set();
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wakeup_wait(60), 1);
    EXPECT_EQ(wait_for_objects(60), 1);  // the same stop wakes the next sleep too
    t.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

int served = 0;
void serve() { ++served; }

TEST_F(WaitObjects, PipeEventIsResetAndServedOnlyWhenItIsTheSignalledOne) {
    wait_event other = make(true, true), pipe = make(true, true);
    add_wait_event(other.handle());
    add_wait_event(pipe.handle());
    set_command_pipe_event(pipe.handle(), serve);
    served = 0;
    wait_for_object(5);  // `other` comes first
    EXPECT_EQ(served, 0);
    other.reset();
    wait_for_object(5);
    EXPECT_EQ(served, 1);
    EXPECT_EQ(wait_for_objects(0), 0);
    pipe.set();
    del_wait_event(other.handle());
    EXPECT_EQ(wait_for_objects(5), 1);  // pipe moved to the first position
}

TEST_F(WaitObjects, FailedWaitIsLoggedAndCountsAsTimeOut) {
    test::log_capture cap;
    int closed_fd = dup(0);
    close(closed_fd);
    add_wait_event(closed_fd);
    EXPECT_EQ(wait_for_objects(5), 0);
    EXPECT_TRUE(cap.has("wait_for_objects WAIT_FAILED"));
}

}  // namespace
}  // namespace zp
