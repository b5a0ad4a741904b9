// wait_win32.cpp - events as event HANDLEs and the timed wait as
// WaitForMultipleObjects.
#include "host/wait_os.h"

#include <windows.h>

#include <algorithm>

namespace zp::wait_os {

os_handle create_event(bool manual_reset, bool initially_set, err& e) {
    HANDLE h = CreateEventA(nullptr, manual_reset ? TRUE : FALSE, initially_set ? TRUE : FALSE, nullptr);
    if (!h) {
        int code = last_system_error();
        e = format_error("Error creating event: %s (%d)", system_error_text(code).c_str(), code);
        return invalid_os_handle;
    }
    return reinterpret_cast<os_handle>(h);
}

void close_event(os_handle h) { CloseHandle(reinterpret_cast<HANDLE>(h)); }
void set_event(os_handle h) { SetEvent(reinterpret_cast<HANDLE>(h)); }
void reset_event(os_handle h) { ResetEvent(reinterpret_cast<HANDLE>(h)); }

int wait_any(const os_handle* handles, size_t n, int64_t ms) {
    HANDLE hs[max_wait_handles];
    if (n > max_wait_handles) n = max_wait_handles;
    for (size_t i = 0; i < n; ++i) hs[i] = reinterpret_cast<HANDLE>(handles[i]);
    DWORD wait = static_cast<DWORD>(std::clamp<int64_t>(ms, 0, INFINITE - 1));
    DWORD r = WaitForMultipleObjects(static_cast<DWORD>(n), hs, FALSE, wait);
    if (r == WAIT_TIMEOUT) return 0;
    if (r >= WAIT_OBJECT_0 && r < WAIT_OBJECT_0 + n) return static_cast<int>(r - WAIT_OBJECT_0) + 1;
    return -1;
}

void sleep_ms(int64_t ms) {
    if (ms > 0) Sleep(static_cast<DWORD>(std::min<int64_t>(ms, INFINITE - 1)));
}

}  // namespace zp::wait_os
