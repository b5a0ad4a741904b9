// detaching_thread.h - a thread that a process exiting while it still runs
// (a fatal error) leaves behind instead of ending in std::terminate.
#pragma once

#include <thread>

namespace zp {

struct detaching_thread {
    std::thread t;
    ~detaching_thread() {
        if (t.joinable()) t.detach();
    }
};

}  // namespace zp
