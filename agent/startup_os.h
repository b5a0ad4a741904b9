// startup_os.h - the system preparations of start-up.
#pragma once

#include "core/err.h"

namespace zp {

// Prepares the socket layer. On Linux a write to a closed connection must come
// back as an error instead of ending the process, so SIGPIPE is ignored.
err start_socket_layer();

// Keeps the system from showing error dialogs for the process (nothing to do
// on Linux).
void set_quiet_error_mode();

}  // namespace zp
