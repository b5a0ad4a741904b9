// command_pipe.cpp - the command pipe's request grammar, the serving of one
// request from the main loop's wait, and the client's side.
#include "host/command_pipe.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "core/fatal.h"
#include "core/log.h"
#include "host/command_pipe_os.h"
#include "host/wait.h"

namespace zp {

namespace {

constexpr const char* busy_reply = "FAILURE Agent is busy. Try later.";
// A client that connected gets this long to send its request.
constexpr int request_timeout_ms = 5000;
// A client waits this long for the agent's reply: the agent serves the pipe
// between checks, and the server conversation has time-outs of its own.
constexpr int reply_timeout_ms = 600000;

struct pipe_server {
    wait_event event;
    command_server_ops ops;
};

pipe_server& server() {
    static pipe_server s;
    return s;
}

// What a buffer of command_buffer_size bytes holds of `text`.
std::string fit(std::string text) {
    if (text.size() > command_buffer_size - 1) text.resize(command_buffer_size - 1);
    return text;
}

void serve_pipe() { handle_named_pipe(); }

}  // namespace

std::string command_pipe_name(const std::string& key) { return "Zerpal-agent-command" + key; }

void handle_command(const command_server_ops& ops, std::string& buf) {
    // The request is a text: it ends at its first NUL.
    buf.resize(std::strlen(buf.c_str()));
    log(0, "[cmd] handle_command \"%s\"", buf.c_str());
    std::string reply;
    if (buf.compare(0, 5, "DOWN ") == 0) {
        const char* number = buf.c_str() + 5;
        char* rest = nullptr;
        long long v = std::strtoll(number, &rest, 0);
        if (v > INT32_MAX) v = INT32_MAX;
        if (v < INT32_MIN) v = INT32_MIN;
        const auto minutes = static_cast<int32_t>(v);
        std::optional<std::string> comment;
        if (std::strlen(rest) >= 2) {
            // Clients write one blank between the number and the comment, so
            // that a comment beginning with a digit does not change the
            // number; older clients wrote none.
            comment = std::string(rest[0] == ' ' ? rest + 1 : rest);
        }
        if (minutes == 0) {
            reply = "FAILED Not a number in DOWN command.";
        } else if (err e = ops.request_downtime(minutes, comment, reply)) {
            reply = strprintf("FAILED request_downtime: %.900s", e.c_str());
        }
    } else if (buf.compare(0, 6, "RESCAN") == 0) {
        if (err e = ops.request_rescan(reply)) reply = strprintf("FAILED request_rescan: %.900s", e.c_str());
    } else {
        reply = "FAILED unknown command.";
    }
    buf = fit(std::move(reply));
}

void setup_command_named_pipe(const std::string& key, command_server_ops ops) {
    auto& s = server();
    s.ops = std::move(ops);
    if (err e = wait_event::create(true, false, s.event)) fatal("CreateEvent failed in setup_command_named_pipe: %s", e.c_str());
    bool in_use = false;
    const std::string name = command_pipe_name(key);
    if (err e = pipe_os::start_server(name, s.event.handle(), busy_reply, in_use)) {
        if (in_use) fatal("CreateNamedPipe failed: another agent with the key %s is running (%s)", key.c_str(), e.c_str());
        fatal("CreateNamedPipe failed: %s", e.c_str());
    }
    log(0, "[cmd] Created named pipe %s", name.c_str());
    if (!add_wait_event(s.event.handle())) {
        log(3, "[cmd] add_wait_event(g_pipe_event) failed");
        return;
    }
    set_command_pipe_event(s.event.handle(), serve_pipe);
    log(0, "[cmd] add_wait_event(g_pipe_event) -> 0x%x %d", static_cast<unsigned>(s.event.handle()),
        wait_event_position(s.event.handle()));
}

void handle_named_pipe() {
    auto& s = server();
    log(0, "[cmd] handle_named_pipe");
    if (!pipe_os::client_waiting()) {
        log(3, "handle_named_pipe: not connected GLE=%d", 0);
        return;
    }
    char buf[command_buffer_size];
    pipe_os::request_read r = pipe_os::read_request(buf, sizeof buf, request_timeout_ms);
    if (r.code != 0 || r.broken) {
        pipe_os::end_client();
        log(3, "handle_named_pipe: ReadFile failed GLE=%d%s bytesRead=%d", r.code,
            r.broken ? "(ERROR_BROKEN_PIPE)" : "", static_cast<int>(r.n));
        return;
    }
    std::string request(buf, r.n);
    std::string reply;
    // The server is asked only for a request worth asking.
    bool session_open = false;
    if (r.too_long) {
        reply = strprintf("FAILURE Command too long (at most %d bytes)", static_cast<int>(command_buffer_size - 1));
    } else if (r.n == 0) {
        reply = "FAILURE empty command";
    } else {
        request.resize(std::strlen(request.c_str()));
        log(1, "handle_named_pipe Got \"%s\"", request.c_str());
        if (err e = s.ops.open_session ? s.ops.open_session() : err::text("no server session in this build")) {
            reply = fit(strprintf("FAILURE setup_connection: %s", e.c_str()));
        } else {
            session_open = true;
            reply = std::move(request);
            handle_command(s.ops, reply);
        }
    }
    if (int code = pipe_os::write_reply(reply.data(), reply.size()))
        log(3, "handle_named_pipe: WriteFile failed GLE=%d", code);
    else
        log(1, "handle_named_pipe: Wrote %d bytes back", static_cast<int>(reply.size()));
    if (session_open && s.ops.close_session) s.ops.close_session();
}

void close_command_pipe() {
    auto& s = server();
    if (!s.event.valid()) return;
    if (!del_wait_event(s.event.handle())) log(2, "del_wait_event() failed for g_pipe_event");
    set_command_pipe_event(invalid_os_handle, nullptr);
    pipe_os::stop_server();
    s.event = wait_event();
}

bool send_command(const std::string& key, const std::string& request, std::string& reply) {
    intptr_t conn = -1;
    int code = 0;
    switch (pipe_os::connect_agent(command_pipe_name(key), conn, code)) {
    case pipe_os::connect_result::busy:
        reply = busy_reply;
        return true;
    case pipe_os::connect_result::failed:
        log(3, "[cmd] CreateFile -> Expected ERROR_PIPE_BUSY");
        reply = "FAILURE Could not connect to agent (expected busy pipe)";
        return false;
    case pipe_os::connect_result::connected:
        break;
    }
    log(0, "[cmd] send_command \"%.500s\"", request.c_str());
    int write_code = pipe_os::send_message(conn, request.data(), request.size());
    if (write_code != 0) log(3, "[cmd] send_command: WriteFile failed GLE=%d", write_code);
    // An agent that refuses the request (busy) may answer before it has read
    // it: its reply counts even when the write failed.
    char buf[command_buffer_size];
    size_t n = 0;
    int read_code = pipe_os::receive_message(conn, buf, sizeof buf, n, reply_timeout_ms);
    pipe_os::close_connection(conn);
    if (read_code == 0 && n > 0) {
        reply.assign(buf, n);
        log(0, "[cmd] ReadFile OK: \"%.900s\"", reply.c_str());
    } else if (write_code != 0) {
        reply = "FAILURE Could write command to agent";
    } else if (read_code == 0) {
        reply = "FAILURE Got empty command result from agent";
    } else {
        log(3, "[cmd] ReadFile failed %d%s", read_code, pipe_os::is_broken_pipe(read_code) ? " ERROR_BROKEN_PIPE" : "");
        reply = "FAILURE Could not read command result from agent";
    }
    return true;
}

}  // namespace zp
