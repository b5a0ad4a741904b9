// startup.h - the entry point of the quillmar executable: the command line,
// the start-up steps in their order, and the command client's reply display.
// Everything here runs on the main thread before any other thread exists.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "core/agent.h"
#include "core/config.h"

namespace zp {

// The configuration values given on the command line, as given.
struct cmdline_options {
    std::optional<std::string> name;            // -c
    std::optional<std::string> server_list;     // -s
    std::optional<std::string> domain;          // -d
    std::optional<std::string> port;            // -p (read as a number when applied)
    std::optional<std::string> log_level;       // -l (read as a number when applied)
    std::optional<std::string> variables_file;  // -t
    std::optional<std::string> config_file;     // -f (accepted, not used)
    std::optional<std::string> log_file;        // -m
    // The administrator's test mode: print the scan tree (--scan) or run one
    // check of it (--check <path>), without a server.
    bool scan = false;
    std::optional<std::string> check;
};

enum class parse_result {
    run,      // go on with start-up
    usage,    // print usage_text, exit 0
    version,  // print version_banner, exit 0
};

// Examines argv[1..argc-1] and fills `st` and `opt`. Stops at the first
// argument that is unknown or lacks its value (usage) and at -V (version).
parse_result parse_command_line(int argc, const char* const argv[], startup_state& st, cmdline_options& opt);

// The usage text with `program` (the first argument) in it.
std::string usage_text(const char* program);
// "\n Zerpal Agent : <version>\n\n", what -V prints.
std::string version_banner();

// Reads the configuration (the configuration files, else the command-line
// values) and lays the command-line values over it. Fatal "Unable to read
// agent configuration." when there is neither.
config load_configuration(const std::string& key_name, const cmdline_options& opt);

// Chooses the server list (the cluster's when the configured list is the one
// the cluster list was learnt with), parses it into c.servers and makes the
// first server current. Needs the variables loaded. Fatal on a bad list.
void settle_server_list(config& c);
// Takes the host id from the variables when the agent name is the one it was
// given for; otherwise records the name and leaves the host id absent.
void settle_host_id(config& c);

// What the command client sends to the running agent: "DOWN %d %s" (minutes,
// one blank and the comment), "DOWN %d\n" without a comment, or "RESCAN".
std::string pipe_request_text(const startup_state& st);

// Shows the reply of a client request and returns the exit code: 0 when the
// reply begins with "OK ", else 1. A reply shorter than 4 bytes reads "Too
// short message from server received". The reply goes to a message box titled
// after the mode, or, with `quiet` or where no box can be shown (always on
// Linux), to standard error as "%s\n".
int show_client_reply(client_mode mode, std::string reply, bool quiet);

// The parts of the agent that start-up hands over to, filled in by the
// executable (the modules that hold them build on this one). An empty member
// keeps start-up's stand-in: a "FAILED ..." reply, or an exit after start-up.
struct agent_parts {
    // The command client's requests to the server itself (the configuration
    // and the start-up state are set): the reply text to show.
    std::function<std::string()> request_downtime;
    std::function<std::string()> request_rescan;
    // The main loop; returns the exit code when it ends.
    std::function<int()> main_loop;
    // The test mode (the configuration is read, nothing else is set up): the
    // exit code.
    std::function<int(const cmdline_options&)> test_mode;
};

// The whole start-up (steps in order), then the main loop. Returns the process
// exit code; fatal errors exit with 1 from inside.
int agent_main(int argc, const char* const argv[], const agent_parts& parts = {});

}  // namespace zp
