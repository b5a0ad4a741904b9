// report_event_posix.cpp - fatal reports to syslog (identity "Zerpal", daemon, error).
#include <syslog.h>

#include "core/log.h"

namespace zp {

void report_event(const std::string& text) {
    openlog("Zerpal", LOG_PID, LOG_DAEMON);
    syslog(LOG_ERR, "%s", text.c_str());
    closelog();
}

}  // namespace zp
