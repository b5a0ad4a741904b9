// startup_win32.cpp - start-up's system preparations on Windows.
#include <windows.h>

#include "agent/startup_os.h"

namespace zp {

// Winsock is started by the socket layer itself.
err start_socket_layer() { return {}; }

void set_quiet_error_mode() { SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX); }

}  // namespace zp
