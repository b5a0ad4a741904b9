// command_pipe_os.h - the OS calls behind the command pipe: the agent's
// listening end with its hand-over of one client at a time to the main thread,
// and the client's connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/err.h"
#include "host/wait.h"

namespace zp::pipe_os {

// Makes the pipe `name` (creating its directory for the owner alone; a pipe
// left by an agent that died is replaced) and starts accepting clients on a
// thread of its own. Peers of other users than root and ours are refused. The
// first client is kept for the main thread and `event` is signalled; a client
// arriving while one is kept gets `busy_reply` (after its request was read, so
// it sees the reply rather than a failed write). `in_use` is set when another
// process holds the pipe.
err start_server(const std::string& name, os_handle event, const std::string& busy_reply, bool& in_use);
// Stops accepting, drops a kept client and removes the pipe.
void stop_server();

// Reading the kept client. `broken` tells that the client went away.
struct request_read {
    size_t n = 0;           // bytes read
    bool too_long = false;  // the message did not fit into `size` - 1 bytes
    bool broken = false;
    int code = 0;  // system error code of a failed read (0: none)
};
// False when no client is kept.
bool client_waiting();
// Reads one message into buf (at most size - 1 bytes), waiting at most
// `timeout_ms` for it; failed when code or broken is set.
request_read read_request(char* buf, size_t size, int timeout_ms);
// Writes one message and lets the client go, in one step: a client that
// connects again as soon as it has its reply is never found busy. 0 or the
// system error code.
int write_reply(const char* data, size_t n);
// Lets the kept client go; the next one can be accepted.
void end_client();

// The client's side.
enum class connect_result { connected, busy, failed };
connect_result connect_agent(const std::string& name, intptr_t& conn, int& code);
// 0 or the system error code.
int send_message(intptr_t conn, const char* data, size_t n);
// Waits at most `timeout_ms` for one message; 0 (with n) or the error code.
int receive_message(intptr_t conn, char* buf, size_t size, size_t& n, int timeout_ms);
void close_connection(intptr_t conn);
// True when `code` says the other end went away.
bool is_broken_pipe(int code);

}  // namespace zp::pipe_os
