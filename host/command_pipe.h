// command_pipe.h - the command pipe between a command client (quillmar --down,
// --rescan) and the running agent: the agent's side, served from the main
// loop's wait one request at a time, the request grammar and its replies, and
// the client's side.
//
// The pipe is named "Zerpal-agent-command<key>" after the configuration key, so
// a client finds the agent of its key. On Linux it is a socket of that name in
// the run directory; the agent holds a lock beside it for its whole life, so a
// second agent of the same key cannot take the first one's socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/err.h"

namespace zp {

// Requests and replies are single messages of at most this many bytes,
// terminator included: a request of command_buffer_size bytes or more is
// answered with a "FAILURE" text.
inline constexpr size_t command_buffer_size = 1024;

// The server session a request is forwarded on, supplied by the agent's wiring
// (the protocol lives above this module). Each call runs on the main thread.
struct command_server_ops {
    // Sets up a server session; an error text when that fails.
    std::function<err()> open_session;
    // Asks the server on the open session; the server's reply text in `reply`.
    std::function<err(int32_t minutes, const std::optional<std::string>& comment, std::string& reply)>
        request_downtime;
    std::function<err(std::string& reply)> request_rescan;
    // Closes the session when it is still open (every way out of a request).
    std::function<void()> close_session;
};

// "Zerpal-agent-command" followed by the key.
std::string command_pipe_name(const std::string& key);

// Executes the request in `buf` and leaves the reply there (at most
// command_buffer_size - 1 bytes). "DOWN <minutes>[<comment>]" with the minutes
// read as C's strtol base 0 reads them; one blank between the number and the
// comment is dropped, and a rest of fewer than 2 bytes is no comment.
// "RESCAN..." asks for a rescan. Anything else: "FAILED unknown command.".
void handle_command(const command_server_ops& ops, std::string& buf);

// Creates the pipe for `key` and arms it among the main loop's wait objects;
// requests go to `ops`. Fatal when the pipe cannot be created, and when
// another agent of the same key is running. Main thread.
void setup_command_named_pipe(const std::string& key, command_server_ops ops);

// Serves one waiting client: reads its request (bounded in time and size),
// forwards it, writes the reply, lets the client go and re-arms. Called by the
// main loop's wait when the pipe's event is signalled. Main thread.
void handle_named_pipe();

// Removes the pipe from the wait objects and closes it (shutdown and the fatal
// routine). Safe to call when there is none.
void close_command_pipe();

// The client's side: sends `request` to the agent of `key` and puts the
// agent's reply (or a "FAILURE ..." text) into `reply`. True when an agent was
// reached, busy included; false when there is none to reach, and the client
// then asks the server itself.
bool send_command(const std::string& key, const std::string& request, std::string& reply);

}  // namespace zp
