// stop_signal_posix.cpp - SIGTERM, SIGINT, SIGHUP and SIGQUIT received by sigwait on a thread of
// their own (nothing runs in signal context).
#include <pthread.h>
#include <signal.h>

#include <thread>

#include "core/log.h"
#include "host/stop_signal.h"

namespace zp {

bool watch_stop_signals(void (*on_stop)()) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    // A closed terminal or a quit key would otherwise end the agent without
    // its shutdown (variables unwritten).
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGQUIT);
    if (int rc = pthread_sigmask(SIG_BLOCK, &set, nullptr); rc != 0) {
        log(2, "Cannot block the stop signals: %s", system_error_text(rc).c_str());
        return false;
    }
    std::thread([set, on_stop] {
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0) continue;
            log(1, "Received signal %d, stopping", sig);
            on_stop();
        }
    }).detach();
    return true;
}

}  // namespace zp
