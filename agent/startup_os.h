// startup_os.h - the system preparations of start-up.
#pragma once

#include <string>

#include "core/err.h"

namespace zp {

// Prepares the socket layer. On Linux a write to a closed connection must come
// back as an error instead of ending the process, so SIGPIPE is ignored.
err start_socket_layer();

// Keeps the system from showing error dialogs for the process (nothing to do
// on Linux).
void set_quiet_error_mode();

// Shows the command client's reply in a message box with `title`, the plain
// style when `ok`, else the exclamation style, and returns when the user has
// closed it. False, at once, when no box can be shown: always on Linux; on
// Windows for a process without a visible window station (a service, a task
// run without a logon) or when the box cannot be made (no desktop).
bool show_reply_box(const char* title, const std::string& text, bool ok);

}  // namespace zp
