// run_win32.cpp - commands through CreateProcess with no application name: a
// pipe whose read end is overlapped (so that another thread can cut a read
// short), a job object that holds the command and everything it starts, so
// that a time-out ends the whole tree.
#include "custom/run_os.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

namespace zp::run_os {

namespace {

// No console window, the system's default error mode, normal priority.
constexpr DWORD start_flags = CREATE_NO_WINDOW | CREATE_DEFAULT_ERROR_MODE | NORMAL_PRIORITY_CLASS;

HANDLE as_handle(intptr_t v) { return reinterpret_cast<HANDLE>(v); }
intptr_t as_value(HANDLE h) { return reinterpret_cast<intptr_t>(h); }

err last_error_text() { return err::text(system_error_text(last_system_error())); }

// A job that kills what is left in it when its last handle is closed; null
// when none could be made.
HANDLE new_job() {
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    if (!job) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

// The job of each started child, by its process handle.
struct job_entry {
    HANDLE process;
    HANDLE job;
};
std::vector<job_entry>& jobs() {
    static std::vector<job_entry> v;
    return v;
}

HANDLE job_of(HANDLE process) {
    for (const auto& j : jobs())
        if (j.process == process) return j.job;
    return nullptr;
}

}  // namespace

bool make_pipe(pipe_reader& read_end, intptr_t& write_end) {
    // An anonymous pipe cannot be read with overlapped I/O: a named pipe of
    // a name of its own, with one instance that is connected at once.
    static std::atomic<unsigned> serial{0};
    char name[96];
    std::snprintf(name, sizeof name, "\\\\.\\pipe\\Zerpal-run-%lu-%u", GetCurrentProcessId(), serial++);
    HANDLE r = CreateNamedPipeA(name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0, 4096, 0, nullptr);
    if (r == INVALID_HANDLE_VALUE) return false;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE w = CreateFileA(name, GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE cancel = w == INVALID_HANDLE_VALUE ? nullptr : CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!cancel) {
        if (w != INVALID_HANDLE_VALUE) CloseHandle(w);
        CloseHandle(r);
        return false;
    }
    read_end = {as_value(r), as_value(cancel)};
    write_end = as_value(w);
    return true;
}

void close_write_end(intptr_t write_end) {
    if (write_end != -1) CloseHandle(as_handle(write_end));
}

err start_child(const std::string& command_line, intptr_t write_end, child& out) {
    STARTUPINFOEXA si{};
    si.StartupInfo.cb = sizeof si;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = nullptr;
    si.StartupInfo.hStdOutput = as_handle(write_end);
    si.StartupInfo.hStdError = as_handle(write_end);
    // Only the pipe's write end is inherited, not whatever else happens to
    // be inheritable in the agent.
    HANDLE inherited[1] = {as_handle(write_end)};
    alignas(8) char list_space[256];
    SIZE_T list_size = sizeof list_space;
    DWORD flags = start_flags | CREATE_SUSPENDED;
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_space);
    bool listed = false;
    if (InitializeProcThreadAttributeList(list, 1, 0, &list_size)) {
        if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited,
                                      nullptr, nullptr)) {
            si.lpAttributeList = list;
            flags |= EXTENDED_STARTUPINFO_PRESENT;
            si.StartupInfo.cb = sizeof si;
            listed = true;
        } else {
            DeleteProcThreadAttributeList(list);
        }
    }
    if (!listed) si.StartupInfo.cb = sizeof si.StartupInfo;
    PROCESS_INFORMATION pi{};
    std::string line = command_line;  // CreateProcessA may write into it
    // Suspended until it is in its job, so that nothing it starts escapes.
    BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                                  &si.StartupInfo, &pi);
    err failure = started ? err{} : last_error_text();
    if (listed) DeleteProcThreadAttributeList(list);
    if (!started) return failure;
    HANDLE job = new_job();
    // Without a job (a system that does not allow one here) only the command
    // itself can be ended.
    if (job && !AssignProcessToJobObject(job, pi.hProcess)) {
        CloseHandle(job);
        job = nullptr;
    }
    if (ResumeThread(pi.hThread) == static_cast<DWORD>(-1)) {
        err e = last_error_text();
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, 1000);
        if (job) CloseHandle(job);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        return e;
    }
    CloseHandle(pi.hThread);
    if (job) jobs().push_back({pi.hProcess, job});
    out.id = pi.dwProcessId;
    out.exit_handle = as_value(pi.hProcess);
    return {};
}

read_outcome read_pipe(pipe_reader p, char* buf, size_t n) {
    read_outcome o;
    // A full buffer reads nothing: the output has ended as far as the
    // caller can take it.
    if (n == 0) {
        o.status = read_status::ended;
        return o;
    }
    HANDLE h = as_handle(p.fd);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) {
        o.error = last_system_error();
        return o;
    }
    DWORD want = static_cast<DWORD>(std::min<size_t>(n, 1u << 20));
    DWORD code = ReadFile(h, buf, want, nullptr, &ov) ? 0 : GetLastError();
    bool cancelled = false;
    if (code == ERROR_IO_PENDING) {
        HANDLE hs[2] = {ov.hEvent, as_handle(p.cancel)};
        if (WaitForMultipleObjects(2, hs, FALSE, INFINITE) != WAIT_OBJECT_0) {
            CancelIoEx(h, &ov);
            cancelled = true;
        }
        code = 0;
    }
    DWORD got = 0;
    // Waits for a cancelled read to finish too: `ov` and `buf` must outlive it.
    if (code == 0 && !GetOverlappedResult(h, &ov, &got, TRUE)) code = GetLastError();
    CloseHandle(ov.hEvent);
    if (cancelled) {
        o.error = ERROR_OPERATION_ABORTED;
    } else if (code == ERROR_BROKEN_PIPE) {
        o.status = read_status::ended;
    } else if (code != 0) {
        o.error = static_cast<int>(code);
    } else {
        o.status = read_status::data;
        o.bytes = got;
    }
    return o;
}

void cancel_read(const pipe_reader& p) {
    if (p.cancel != -1) SetEvent(as_handle(p.cancel));
}

void close_pipe(pipe_reader& p) {
    if (p.fd != -1) CloseHandle(as_handle(p.fd));
    if (p.cancel != -1) CloseHandle(as_handle(p.cancel));
    p = {};
}

void kill_child(child& c) {
    if (c.exit_handle == -1) return;
    HANDLE process = as_handle(c.exit_handle);
    if (HANDLE job = job_of(process)) TerminateJobObject(job, 1);
    TerminateProcess(process, 1);
}

wait_status wait_child(child& c, int64_t ms, int& exit_code, int& error) {
    HANDLE process = as_handle(c.exit_handle);
    DWORD r = WaitForSingleObject(process, static_cast<DWORD>(std::clamp<int64_t>(ms, 0, INFINITE - 1)));
    if (r == WAIT_TIMEOUT) return wait_status::running;
    if (r != WAIT_OBJECT_0) {
        error = last_system_error();
        return wait_status::failed;
    }
    DWORD code;
    if (!GetExitCodeProcess(process, &code)) return wait_status::abnormal;
    exit_code = static_cast<int>(code);
    return wait_status::exited;
}

void release_child(child& c) {
    if (c.exit_handle != -1) {
        HANDLE process = as_handle(c.exit_handle);
        auto& v = jobs();
        for (auto it = v.begin(); it != v.end(); ++it) {
            if (it->process != process) continue;
            // What the command left running ends with its job.
            TerminateJobObject(it->job, 1);
            CloseHandle(it->job);
            v.erase(it);
            break;
        }
        CloseHandle(process);
    }
    c = {};
}

std::optional<std::string> shell_start_failure(int) {
    // No shell stands between: a command that cannot start fails CreateProcess.
    return std::nullopt;
}

err start_detached(const std::string& command_line) {
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::string line = command_line;
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, start_flags, nullptr, nullptr, &si, &pi))
        return last_error_text();
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return {};
}

}  // namespace zp::run_os
