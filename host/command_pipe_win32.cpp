// command_pipe_win32.cpp - the command pipe as a named pipe of message type
// with overlapped I/O, and an accepting thread that keeps one client for the
// main thread and answers the others "busy".
#include <windows.h>

#include <mutex>
#include <thread>

#include "core/log.h"
#include "host/detaching_thread.h"
#include "host/command_pipe_os.h"
#include "host/wait_os.h"

namespace zp::pipe_os {

namespace {

constexpr DWORD pipe_buffer_size = 1024;

struct server_state {
    std::mutex mu;
    HANDLE listening = INVALID_HANDLE_VALUE;  // the instance the acceptor waits on
    HANDLE stop = nullptr;                    // ends the accepting thread
    HANDLE owner = nullptr;                   // the named mutex of the running agent
    HANDLE client = INVALID_HANDLE_VALUE;     // kept for the main thread
    os_handle event = invalid_os_handle;
    std::string busy;
    std::string path;
    detaching_thread acceptor;
};

server_state& srv() {
    static server_state s;
    return s;
}

std::string full_name(const std::string& name) { return "\\\\.\\pipe\\" + name; }

err sys_error(const char* what, int code) {
    return format_error("%s: %s (%d)", what, system_error_text(code).c_str(), code);
}

HANDLE new_instance(const std::string& path, bool first) {
    DWORD open_mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    // Clients of other machines are refused: the commands are local.
    DWORD pipe_mode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
    return CreateNamedPipeA(path.c_str(), open_mode, pipe_mode, PIPE_UNLIMITED_INSTANCES, pipe_buffer_size,
                            pipe_buffer_size, 0, nullptr);
}

// One overlapped read or write that waits at most `timeout_ms`; 0,
// ERROR_MORE_DATA (a read of part of a message), ERROR_TIMEOUT or the system
// error code.
DWORD transfer(HANDLE h, bool write, void* buf, DWORD n, DWORD timeout_ms, DWORD& got) {
    got = 0;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) return GetLastError();
    BOOL ok = write ? WriteFile(h, buf, n, nullptr, &ov) : ReadFile(h, buf, n, nullptr, &ov);
    DWORD code = ok ? 0 : GetLastError();
    bool timed_out = false;
    if (code == ERROR_IO_PENDING) {
        if (WaitForSingleObject(ov.hEvent, timeout_ms) != WAIT_OBJECT_0) {
            CancelIoEx(h, &ov);
            timed_out = true;
        }
        code = 0;
    }
    if (code == 0 || code == ERROR_MORE_DATA) {
        // After a cancel this waits for the cancel to finish: `ov` and `buf`
        // must outlive the I/O.
        if (!GetOverlappedResult(h, &ov, &got, TRUE)) code = GetLastError();
        if (timed_out && code == ERROR_OPERATION_ABORTED) code = ERROR_TIMEOUT;
    }
    CloseHandle(ov.hEvent);
    return code;
}

// Lets a client go once it has read what was written to it: disconnecting
// at once would throw away an unread reply. Waits at most `timeout_ms` for
// the client to close its end.
void let_go(HANDLE h, DWORD timeout_ms) {
    char sink[pipe_buffer_size];
    DWORD got;
    for (int i = 0; i < 8; ++i) {
        DWORD code = transfer(h, false, sink, sizeof sink, timeout_ms, got);
        if (code != 0 && code != ERROR_MORE_DATA) break;
    }
    DisconnectNamedPipe(h);
    CloseHandle(h);
}

// Reads the busy client's request first, so that its write succeeds and it
// reads the reply.
void answer_busy(HANDLE h, const std::string& busy) {
    char buf[pipe_buffer_size];
    DWORD got;
    (void)transfer(h, false, buf, sizeof buf, 2000, got);
    (void)transfer(h, true, const_cast<char*>(busy.data()), static_cast<DWORD>(busy.size()), 2000, got);
    let_go(h, 2000);
}

enum class wait_result { connected, stopped, failed };

// Waits for a client on `h`.
wait_result wait_for_client(HANDLE h, HANDLE stop) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) return wait_result::failed;
    wait_result result = wait_result::failed;
    for (;;) {
        DWORD code = ConnectNamedPipe(h, &ov) ? 0 : GetLastError();
        if (code == 0 || code == ERROR_PIPE_CONNECTED) {
            result = wait_result::connected;
        } else if (code == ERROR_NO_DATA) {
            // A client that came and went before it was waited for.
            DisconnectNamedPipe(h);
            continue;
        } else if (code == ERROR_IO_PENDING) {
            HANDLE hs[2] = {ov.hEvent, stop};
            DWORD r = WaitForMultipleObjects(2, hs, FALSE, INFINITE);
            DWORD ignored;
            if (r == WAIT_OBJECT_0) {
                if (GetOverlappedResult(h, &ov, &ignored, FALSE)) {
                    result = wait_result::connected;
                } else {
                    log(3, "[cmd] ConnectNamedPipe -> GetLastError=%d", static_cast<int>(GetLastError()));
                }
            } else {
                CancelIoEx(h, &ov);
                GetOverlappedResult(h, &ov, &ignored, TRUE);
                result = wait_result::stopped;
            }
        } else {
            log(3, "[cmd] ConnectNamedPipe -> GetLastError=%d", static_cast<int>(code));
        }
        break;
    }
    CloseHandle(ov.hEvent);
    return result;
}

void accept_loop() {
    auto& s = srv();
    for (;;) {
        HANDLE h;
        {
            std::lock_guard lk(s.mu);
            h = s.listening;
        }
        wait_result w = h == INVALID_HANDLE_VALUE ? wait_result::failed : wait_for_client(h, s.stop);
        if (w == wait_result::stopped || WaitForSingleObject(s.stop, 0) == WAIT_OBJECT_0) return;
        if (w == wait_result::failed) {
            // A new instance in place of the failed one, after a pause that
            // keeps a lasting failure from spinning.
            if (WaitForSingleObject(s.stop, 1000) == WAIT_OBJECT_0) return;
            HANDLE fresh = new_instance(s.path, false);
            std::lock_guard lk(s.mu);
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
            s.listening = fresh;
            continue;
        }
        // The next instance is there before this client is kept, so that a
        // client coming back at once finds one free.
        HANDLE next = new_instance(s.path, false);
        if (next == INVALID_HANDLE_VALUE)
            log(3, "[cmd] CreateNamedPipe failed: %s", system_error_text(last_system_error()).c_str());
        bool keep;
        {
            std::lock_guard lk(s.mu);
            s.listening = next;
            keep = s.client == INVALID_HANDLE_VALUE;
            if (keep) {
                s.client = h;
                wait_os::set_event(s.event);
            }
        }
        if (!keep) answer_busy(h, s.busy);
    }
}

HANDLE take_client() {
    auto& s = srv();
    std::lock_guard lk(s.mu);
    HANDLE h = s.client;
    s.client = INVALID_HANDLE_VALUE;
    return h;
}

}  // namespace

err start_server(const std::string& name, os_handle event, const std::string& busy_reply, bool& in_use) {
    auto& s = srv();
    in_use = false;
    const std::string path = full_name(name);
    if (s.stop) {
        in_use = true;
        return format_error("%s is in use", path.c_str());
    }
    // A mutex of the pipe's name tells a second agent of the same key that
    // the first one runs, also where the system does not refuse a second
    // first instance of the pipe.
    HANDLE owner = CreateMutexA(nullptr, FALSE, name.c_str());
    if (!owner) return sys_error("Cannot create the agent's mutex", last_system_error());
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(owner);
        in_use = true;
        return format_error("%s is in use", path.c_str());
    }
    // The first instance is ours alone: an agent with the same key holds the
    // name. The default security lets only the system, administrators and
    // the agent's user open the pipe for writing.
    HANDLE h = new_instance(path, true);
    if (h == INVALID_HANDLE_VALUE) {
        int code = last_system_error();
        CloseHandle(owner);
        in_use = code == ERROR_ACCESS_DENIED || code == ERROR_PIPE_BUSY;
        return in_use ? format_error("%s is in use", path.c_str()) : sys_error(("Cannot create " + path).c_str(), code);
    }
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!stop) {
        int code = last_system_error();
        CloseHandle(h);
        CloseHandle(owner);
        return sys_error("Cannot create an event", code);
    }
    s.owner = owner;
    s.listening = h;
    s.stop = stop;
    s.event = event;
    s.busy = busy_reply;
    s.path = path;
    s.acceptor.t = std::thread(accept_loop);
    return {};
}

void stop_server() {
    auto& s = srv();
    if (!s.stop) return;
    SetEvent(s.stop);
    if (s.acceptor.t.joinable()) s.acceptor.t.join();
    end_client();
    if (s.listening != INVALID_HANDLE_VALUE) CloseHandle(s.listening);
    s.listening = INVALID_HANDLE_VALUE;
    CloseHandle(s.stop);
    s.stop = nullptr;
    CloseHandle(s.owner);
    s.owner = nullptr;
}

bool client_waiting() {
    auto& s = srv();
    std::lock_guard lk(s.mu);
    return s.client != INVALID_HANDLE_VALUE;
}

request_read read_request(char* buf, size_t size, int timeout_ms) {
    request_read r;
    HANDLE h;
    {
        auto& s = srv();
        std::lock_guard lk(s.mu);
        h = s.client;
    }
    DWORD got = 0;
    DWORD code = transfer(h, false, buf, static_cast<DWORD>(size - 1), static_cast<DWORD>(timeout_ms), got);
    r.n = got;
    buf[r.n] = '\0';
    if (code == ERROR_MORE_DATA) {
        r.too_long = true;
    } else if (code != 0) {
        r.code = static_cast<int>(code);
        r.broken = is_broken_pipe(r.code);
    }
    return r;
}

int write_reply(const char* data, size_t n) {
    // The client is no longer kept while its reply goes out: when it comes
    // back at once, it is the next one kept rather than found busy.
    HANDLE h = take_client();
    if (h == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    DWORD got;
    DWORD code = transfer(h, true, const_cast<char*>(data), static_cast<DWORD>(n), 5000, got);
    let_go(h, code == 0 ? 2000 : 0);
    return static_cast<int>(code);
}

void end_client() {
    HANDLE h = take_client();
    if (h == INVALID_HANDLE_VALUE) return;
    DisconnectNamedPipe(h);
    CloseHandle(h);
}

connect_result connect_agent(const std::string& name, intptr_t& conn, int& code) {
    HANDLE h = CreateFileA(full_name(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        code = last_system_error();
        return code == ERROR_PIPE_BUSY ? connect_result::busy : connect_result::failed;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(h, &mode, nullptr, nullptr)) {
        code = last_system_error();
        CloseHandle(h);
        return connect_result::failed;
    }
    conn = reinterpret_cast<intptr_t>(h);
    return connect_result::connected;
}

int send_message(intptr_t conn, const char* data, size_t n) {
    DWORD got;
    return static_cast<int>(
        transfer(reinterpret_cast<HANDLE>(conn), true, const_cast<char*>(data), static_cast<DWORD>(n), 60000, got));
}

int receive_message(intptr_t conn, char* buf, size_t size, size_t& n, int timeout_ms) {
    DWORD got = 0;
    DWORD code = transfer(reinterpret_cast<HANDLE>(conn), false, buf, static_cast<DWORD>(size),
                          static_cast<DWORD>(timeout_ms), got);
    // A reply longer than the buffer is cut to it.
    if (code == ERROR_MORE_DATA) code = 0;
    n = got;
    return static_cast<int>(code);
}

void close_connection(intptr_t conn) { CloseHandle(reinterpret_cast<HANDLE>(conn)); }

bool is_broken_pipe(int code) {
    return code == ERROR_BROKEN_PIPE || code == ERROR_NO_DATA || code == ERROR_PIPE_NOT_CONNECTED;
}

}  // namespace zp::pipe_os
