// stop_signal_win32.cpp - Ctrl-C, Ctrl-Break, closing the console, logoff and
// shutdown received by the console control handler, which Windows runs on a
// thread of its own.
#include <windows.h>

#include <atomic>

#include "core/log.h"
#include "host/stop_signal.h"

namespace zp {

namespace {

std::atomic<void (*)()> stop_fn{nullptr};

BOOL WINAPI on_console_event(DWORD type) {
    log(1, "Received console event %lu, stopping", static_cast<unsigned long>(type));
    if (auto fn = stop_fn.load()) fn();
    // Windows ends the process when the handler of a close, logoff or
    // shutdown event returns: give the main loop time to flush.
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) Sleep(5000);
    return TRUE;
}

}  // namespace

bool watch_stop_signals(void (*on_stop)()) {
    stop_fn = on_stop;
    if (!SetConsoleCtrlHandler(on_console_event, TRUE)) {
        log(2, "Cannot install the console control handler: %s", system_error_text(last_system_error()).c_str());
        return false;
    }
    return true;
}

}  // namespace zp
