// crash_win32.cpp - the unhandled-exception filter that writes a minidump with
// dbghelp.dll (loaded when a crash happens) and reports where it is; the C
// runtime's invalid-parameter and pure-virtual-call failures and
// std::terminate are routed to the same filter.
#include <windows.h>
// windows.h first: dbghelp.h needs its types.
#include <dbghelp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "host/crash_os.h"

namespace zp::crash_os {

namespace {

using write_dump_fn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                    PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);

char report_path[1024];
char written_text[1536];
char failed_text[1280];
volatile LONG reporting = 0;

void copy_text(char* dst, size_t size, const char* src) {
    size_t n = std::strlen(src);
    if (n >= size) n = size - 1;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

DWORD WINAPI log_text(void* text) {
    log(0, "%s", static_cast<const char*>(text));
    return 0;
}

// The event log, the agent's log and standard error. The agent's log is
// written from a thread of its own that is given two seconds: the crashed
// thread may hold the log's lock.
void report(const char* text) {
    report_event(text);
    if (HANDLE t = CreateThread(nullptr, 0, log_text, const_cast<char*>(text), 0, nullptr)) {
        WaitForSingleObject(t, 2000);
        CloseHandle(t);
    }
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (err && err != INVALID_HANDLE_VALUE) {
        DWORD w;
        WriteFile(err, text, static_cast<DWORD>(std::strlen(text)), &w, nullptr);
        WriteFile(err, "\r\n", 2, &w, nullptr);
    }
}

// 1 when a dump was written (the process ends), 0 to let the system's
// handling go on.
LONG WINAPI write_crash_dump(EXCEPTION_POINTERS* info) {
    // A second crash while the dump is written (another thread, or the
    // writer itself) goes on to the system's handling.
    if (InterlockedExchange(&reporting, 1) != 0) return EXCEPTION_CONTINUE_SEARCH;
    char message[2048];
    LONG result = EXCEPTION_CONTINUE_SEARCH;
    HMODULE dbghelp = LoadLibraryA("dbghelp.dll");
    if (!dbghelp) {
        copy_text(message, sizeof message, "dbghelp.dll not found");
    } else if (auto write_dump = reinterpret_cast<write_dump_fn>(
                   reinterpret_cast<void*>(GetProcAddress(dbghelp, "MiniDumpWriteDump")));
               !write_dump) {
        copy_text(message, sizeof message, "dbghelp.dll too old");
    } else {
        HANDLE file = CreateFileA(report_path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            std::snprintf(message, sizeof message, "%s (error %lu)", failed_text, GetLastError());
        } else {
            MINIDUMP_EXCEPTION_INFORMATION ex{};
            ex.ThreadId = GetCurrentThreadId();
            ex.ExceptionPointers = info;
            ex.ClientPointers = FALSE;
            if (write_dump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal, info ? &ex : nullptr,
                           nullptr, nullptr)) {
                copy_text(message, sizeof message, written_text);
                result = EXCEPTION_EXECUTE_HANDLER;
            } else {
                std::snprintf(message, sizeof message, "%s (error %lu)", failed_text, GetLastError());
            }
            CloseHandle(file);
        }
    }
    report(message);
    if (dbghelp) FreeLibrary(dbghelp);
    return result;
}

// An access violation that the filter sees like any other fault.
[[noreturn]] void raise_fault() {
    RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    std::abort();
}

void on_invalid_parameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, uintptr_t) { raise_fault(); }
void on_pure_call() { raise_fault(); }

}  // namespace

void install(const char* path, const char* written, const char* create_failed) {
    copy_text(report_path, sizeof report_path, path);
    copy_text(written_text, sizeof written_text, written);
    copy_text(failed_text, sizeof failed_text, create_failed);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(write_crash_dump);
    _set_invalid_parameter_handler(on_invalid_parameter);
    _set_purecall_handler(on_pure_call);
}

void terminate_handler() { raise_fault(); }

}  // namespace zp::crash_os
