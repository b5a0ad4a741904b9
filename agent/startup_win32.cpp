// startup_win32.cpp - start-up's system preparations on Windows.
#include <winsock2.h>
#include <windows.h>

#include "agent/startup_os.h"

namespace zp {

err start_socket_layer() {
    WSADATA data;
    if (int code = WSAStartup(MAKEWORD(2, 2), &data))
        return format_error("Error with wsastartup: %s (%d)", system_error_text(code).c_str(), code);
    return {};
}

void set_quiet_error_mode() { SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX); }

}  // namespace zp
