// startup_posix.cpp - start-up's system preparations on Linux.
#include <csignal>

#include "agent/startup_os.h"

namespace zp {

err start_socket_layer() {
    if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) return err::text(system_error_text(last_system_error()));
    return {};
}

void set_quiet_error_mode() {}

bool show_reply_box(const char*, const std::string&, bool) { return false; }

}  // namespace zp
