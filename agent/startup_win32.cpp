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

bool show_reply_box(const char* title, const std::string& text, bool ok) {
    // On a window station nobody sees, a box would wait for ever for a click.
    USEROBJECTFLAGS flags{};
    DWORD size = 0;
    HWINSTA station = GetProcessWindowStation();
    if (!station || !GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, &size) ||
        !(flags.dwFlags & WSF_VISIBLE))
        return false;
    // Without a desktop to draw on, the box fails at once (0, or -1 under Wine).
    return MessageBoxA(nullptr, text.c_str(), title, ok ? MB_OK : MB_OK | MB_ICONEXCLAMATION) > 0;
}

}  // namespace zp
