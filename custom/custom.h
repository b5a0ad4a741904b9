// custom.h - custom checks and agent actions: the two definition files, the
// parsing of a custom check's output into a typed result, and the "custom" and
// "action" scanners that offer the definitions to the server and run them.
//
// Everything here belongs to the main thread. The definition lists are
// process-wide and replaced at every scan; the commands themselves are run by
// run.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/err.h"
#include "devtree/devtree.h"

namespace zp {

class pattern;

// Value types of a custom check.
inline constexpr int32_t custom_boolean = 0;
inline constexpr int32_t custom_integer = 1;
inline constexpr int32_t custom_real = 2;
inline constexpr int32_t custom_diff_integer = 3;
inline constexpr int32_t custom_diff_real = 4;

inline constexpr int32_t custom_default_timeout = 10;  // seconds

// One custom check definition (a section of the custom check file).
struct custom_check {
    std::string name;  // also the id of its check in the device tree
    std::string command;
    int32_t type = custom_boolean;
    int32_t timeout = 0;  // seconds; at least 1 once the section is complete
    int32_t no_value_exitcode = 0;     // 0: none
    int32_t no_value_if_no_match = 0;  // 1: no matching line means no result
    std::optional<std::string> unit;
    // Its first sub-expression is the value; absent only for booleans.
    std::shared_ptr<pattern> result_pattern;
    // The previous reading of the diff types (time 0: none yet).
    int64_t prev_time = 0;
    uint64_t prev_integer = 0;
    double prev_real = 0;
};

// One agent action: a command the server can have the agent start.
struct agent_action {
    std::string name;  // also the id of its check in the device tree
    std::string command;
};

// Both lists are in reverse file order, so that a lookup by name finds the
// last definition of that name.
using custom_check_list = std::vector<custom_check>;
using agent_action_list = std::vector<agent_action>;

// Largest definition file read.
inline constexpr size_t custom_file_max = 1 << 20;

// Parse a definition file's text. Lines are read as at most 1023 bytes each (a
// longer line goes on as the next one), trailing white space is dropped, empty
// lines and lines starting with "#" are skipped; sections and keys begin in the
// first column. Any error ends the reading: `out` is unchanged and the error
// text says what was wrong.
err parse_custom_checks(std::string_view text, custom_check_list& out);
err parse_agent_actions(std::string_view text, agent_action_list& out);

// Read and parse the file at `path`. A file that cannot be opened gives
// "Cannot open file"; when the file or a directory on its path may be changed
// by anyone but its owner, or is owned by neither root nor the agent's user,
// it is refused with a text naming the problem, since its commands would run
// as the agent.
err read_custom_checks(const std::string& path, custom_check_list& out);
err read_agent_actions(const std::string& path, agent_action_list& out);

// ---------------------------------------------------------------------------
// Output of a custom check's command.

// The output buffer shared by the reader thread and the parser: 256 bytes of
// data and room for the NUL written after them.
inline constexpr size_t custom_output_size = 256;
struct output_buffer {
    char data[custom_output_size + 1] = {};
    size_t fill = 0;
};

// What the parser took from the first matching line; cleared at the start of
// each run.
struct output_values {
    bool matched = false;
    uint64_t ivalue = 0;
    double dvalue = 0;
    std::string text;
};

// Consumes every complete line of `buf` (moving the rest to the front); the
// first line that matches the check's pattern sets `v`. A full buffer without
// a line feed is logged and emptied, so a line longer than 256 bytes never
// matches. Returns an error for a negative value.
err process_output(const custom_check& c, output_buffer& buf, output_values& v);

// Fills `res` from the command's exit code and what the parser found. Returns
// none, an error text or err::no_result(). Updates the previous reading of the
// diff types (time from time_now()).
err make_custom_result(resnode& res, custom_check& c, const output_values& v, int exit_code);

// ---------------------------------------------------------------------------
// The scanners.

// The definitions of the last scan.
custom_check_list& custom_checks();
agent_action_list& agent_actions();

// Re-read the files that "custom_chk_conf" and "actions_conf" name and add the
// groups "custom" and "action" with one check per definition. A file with an
// error is logged and yields an empty group. Always return none.
err scan_custom(devtree& root);
err scan_action(devtree& root);

// Run the definition named by the check's id: a custom check to completion
// (none, an error text or err::no_result()), an action only started (its
// outcome goes into `result`; always none).
err check_custom(devnode& node, resnode* result);
err check_action(devnode& node, resnode* result);

// Puts the four operations above into the scanner table. Called once at
// start-up by the wiring.
void register_custom_scanners();

}  // namespace zp
