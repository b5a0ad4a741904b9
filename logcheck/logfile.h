// logfile.h - the check side of the log scanner: following a growing text file
// across agent restarts and rotations, splitting new data into entries at the
// check's record separator and handing them to the check's rules; and the
// silence watch of advanced log checks.
//
// Everything here runs on the main thread. The reading position of a check
// lives in its devnode's state (tag state_tag_log) and in the persistent
// variables named after the check's dotted name K: K (offset), "size:" K,
// "first_bin:" K, "last_bin:" K, "file_id:" K (the identity of the file read),
// and the silence variables "timestamp:" K and "status_sent:" K.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/err.h"
#include "core/variables.h"
#include "devtree/devtree.h"
#include "logcheck/logfile_os.h"

namespace zp {

inline constexpr size_t log_sample_size = 256;        // head and tail kept per file
inline constexpr size_t log_read_buffer_size = 16384;  // one read, and the longest entry
inline constexpr int64_t log_reread_limit = 33554431;  // a too-large file is read again below this
// Directory entries a rotation look-up examines at most.
inline constexpr size_t log_rotation_scan_max = 300;
// Longest event log bookmark: its hexadecimal form fills a variable.
inline constexpr size_t log_bookmark_max = variable_max_size / 2;

// Reading position of one log file (event log readers use the same record).
struct log_file_state : check_state {
    int64_t offset = 0;  // entries before it were handed to the rules; -1: too large
    int64_t size = -1;   // position reached by the last read; -1 unknown
    unsigned char head[log_sample_size] = {};  // first bytes of the file as last seen
    int64_t head_len = 0;
    // The bytes before offset as last seen (at most log_sample_size); for an
    // event log, the bookmark of the last event handed to the rules, whole.
    unsigned char tail[log_bookmark_max] = {};
    int64_t tail_len = 0;
    file_identity identity;  // the file read, when identity_known
    bool identity_known = false;
    // False until the position was taken from the variables (a file check
    // loads it at its first successful open): until then nothing is saved,
    // so that a file missing at start-up keeps its stored position.
    bool loaded = false;
};

// What the top layer lends the reader: whether a check-in is due (reading
// stops for it), and the wait before the second attempt to open a file (it
// returns early when the agent is woken). Null members: never due, a plain
// one-second sleep.
struct log_file_hooks {
    bool (*checkin_due)() = nullptr;
    void (*wait)(int seconds) = nullptr;
};

// Fills the scanner table's "log" entry (scan_log, log_check) and keeps the
// hooks. Call once at start-up, before the first scan.
void register_log_scanner(const log_file_hooks& hooks);
// Replaces the hooks only (tests).
void set_log_file_hooks(const log_file_hooks& hooks);

// The check operation of "log": reads the file, event log or nothing,
// according to the check's group at depth 2, saves the reading position, and
// appends an ok result without texts when the check's queue is empty. Returns
// the reader's error text, if any. A wrong state tag is fatal.
err log_check(devnode& node, resnode* unused);

// Reads the new entries of the check's file; `is_new` when the state was just
// made (it is then loaded from the variables). Returns an error text or none.
err log_check_file(devnode& node, bool is_new);

// Reads `f` from its position to its end and hands every complete entry to
// log_got_entry in place. Sets *pending_tail to the bytes at the end of what
// was read that were not handed over (read again next time). Stops early
// when the results waiting exceed half the budget or a check-in is due;
// *finished (when given) tells whether everything up to the end was handed over.
err log_read_entries(os_file& f, devnode& node, bool size_changed, int64_t* pending_tail,
                     bool* finished = nullptr);

// Writes the reading variables of the check.
void log_save_state(devnode& node, const log_file_state& state);

// The silence watch, after every run of an advanced log check, with the run's
// start time: raises warning and alert results once when the check has
// recorded nothing for its limits.
void log_silence_check(devnode& node, int64_t now);

// Release operation of the state; fatal "Magic mismatch in log_free_state"
// when the tag is not the log tag.
void log_free_state(devnode& node);

// The path of a log file check: on Linux "/" and the ids of the groups below
// the group "/", then the check's id, joined by "/"; on Windows the ids of the
// groups below "log" (the drive first) and the check's id, joined by "\\".
std::string log_file_path(const devnode& node, path_style style = os_path_style());

// Upper-case hexadecimal, two digits a byte.
std::string log_hex_encode(const unsigned char* data, size_t len);
// Decodes at most `max` bytes from `text`. On an odd count or a byte other
// than 0-9 A-F logs at level 3 and returns 0 (nothing stored).
size_t log_hex_decode(std::string_view text, unsigned char* out, size_t max = log_sample_size);

}  // namespace zp
