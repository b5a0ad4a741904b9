// upgrade_win32.cpp - GetModuleFileName, the idle thread priority, the
// placement of the new executable with MoveFileEx (copied beside the target
// first across volumes), and the parent pipes as inherited HANDLE values.
#include <windows.h>

#include <mutex>

#include "host/upgrade_os.h"

namespace zp::upgrade_os {

namespace {

err sys_error(const std::string& what, int code) {
    return format_error("%s: %s (%d)", what.c_str(), system_error_text(code).c_str(), code);
}

HANDLE as_handle(uint64_t v) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(v)); }

// Copies `from` into a new file beside `to`, flushed to disk; its name in
// `tmp`.
err copy_beside(const std::string& from, const std::string& to, std::string& tmp) {
    const std::string name = to + ".new";
    if (!CopyFileA(from.c_str(), name.c_str(), FALSE))
        return sys_error("Cannot copy " + from + " to " + name, last_system_error());
    HANDLE h = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool flushed = h != INVALID_HANDLE_VALUE && FlushFileBuffers(h);
    int code = last_system_error();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    if (!flushed) {
        DeleteFileA(name.c_str());
        return sys_error("Cannot finish " + name, code);
    }
    tmp = name;
    return {};
}

// The event that cuts a parent read short (manual reset: every later read
// is cut too, until allow_parent_read).
struct cut_event {
    std::mutex mu;
    HANDLE ev = nullptr;
};

HANDLE cut() {
    static cut_event c;
    std::lock_guard lk(c.mu);
    if (!c.ev) c.ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return c.ev;
}

}  // namespace

const char* upgrade_file_name() { return "upgrade.exe"; }

err executable_path(std::string& out) {
    char buf[1024];
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    if (n == 0 || n >= sizeof buf) return sys_error("Cannot get the executable's path", last_system_error());
    out.assign(buf, n);
    // The caller cuts the path at its last '/'; Windows takes either
    // separator.
    for (char& c : out)
        if (c == '\\') c = '/';
    return {};
}

bool lower_thread_priority() { return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE) != 0; }

err place_file(const std::string& from, const std::string& to) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return {};
    int code = last_system_error();
    if (code != ERROR_NOT_SAME_DEVICE) return sys_error("Cannot rename " + from + " to " + to, code);
    std::string tmp;
    if (err e = copy_beside(from, to, tmp)) return e;
    if (!MoveFileExA(tmp.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        code = last_system_error();
        DeleteFileA(tmp.c_str());
        return sys_error("Cannot rename " + tmp + " to " + to, code);
    }
    DeleteFileA(from.c_str());
    return {};
}

int read_parent_byte(uint64_t fd, uint8_t& byte) {
    HANDLE h = as_handle(fd);
    HANDLE stop = cut();
    if (!stop) return -1;
    // An anonymous pipe cannot be waited on, and a blocked read cannot be
    // cut from another thread: what is there is looked at every 50 ms.
    for (;;) {
        if (WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return 0;
        DWORD avail = 0;
        if (!PeekNamedPipe(h, nullptr, 0, nullptr, &avail, nullptr)) {
            // Not a pipe (a file, a device): read it as it comes.
            if (GetLastError() != ERROR_INVALID_FUNCTION) return -1;
            avail = 1;
        }
        if (avail > 0) {
            DWORD n = 0;
            if (!ReadFile(h, &byte, 1, &n, nullptr) || n != 1) return -1;
            return 1;
        }
        if (WaitForSingleObject(stop, 50) == WAIT_OBJECT_0) return 0;
    }
}

void cut_parent_read() {
    if (HANDLE ev = cut()) SetEvent(ev);
}

void allow_parent_read() {
    if (HANDLE ev = cut()) ResetEvent(ev);
}

void keep_from_children(uint64_t fd) { SetHandleInformation(as_handle(fd), HANDLE_FLAG_INHERIT, 0); }

int write_parent_byte(uint64_t fd, uint8_t byte, int& count) {
    DWORD n = 0;
    if (!WriteFile(as_handle(fd), &byte, 1, &n, nullptr)) return last_system_error();
    count = static_cast<int>(n);
    return 0;
}

}  // namespace zp::upgrade_os
