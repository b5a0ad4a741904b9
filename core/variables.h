// variables.h - the persistent variables: a small store of named texts (host id,
// server lists, log positions) kept across restarts in the variables file.
//
// The store is process-wide. Agent start-up names and loads the file;
// protocol/ (keys, hallmark, host id, server list) and agent/ read and write
// variables, logcheck/ keeps the log positions; the main loop flushes. Every
// operation takes the store's lock, so the main thread and the upgrade
// download thread (whose server sessions read and write the keys) may use it
// at once. Keys and values are arbitrary bytes, at most variable_max_size
// bytes each.
//
// Write-behind: a new key makes the next flush write; a changed key makes the
// first unforced flush 30 seconds later write; a forced flush always writes.
// What is persisted (the variables file on Linux, the registry key
// "SOFTWARE\\Zerpal\\<key>\\Variables" on Windows) is replaced as a whole
// and holds exactly the store (core/variables_os.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/err.h"

namespace zp {

inline constexpr size_t variable_max_size = 1023;

// The value of `key`, or null when there is none. The pointer stays valid until
// the variable is set again or deleted: use it only for keys that no other
// thread sets (configuration and log state); keys that server sessions set
// are read with variable_value.
const std::string* get_variable(const std::string& key);
// A copy of the value of `key`, or nothing; any thread.
std::optional<std::string> variable_value(const std::string& key);

// Sets `key` to `value`; a new key goes to the front of the store. A key or
// value over variable_max_size bytes is refused with an error and nothing changes.
err set_variable(const std::string& key, const std::string& value);

// Removes `key` (if present); the store becomes dirty so the file forgets it.
void delete_variable(const std::string& key);

// Records the file name used for the store (start-up).
int set_variables_file(const std::string& name);
const std::string& variables_file();
// Records the registry key name ("ZPAgent" or --reg-key) whose "Variables"
// subkey holds the store on Windows (start-up; "ZPAgent" until then).
void set_variables_key(const std::string& key_name);

// Loads the store from where it persists (replacing what it held; the store
// is clean afterwards). Nothing persisted yet is an error and leaves the store
// as it is.
// Linux: a regular file that cannot be parsed (or is too large to be one) is
// renamed to "<file>.corrupt-<time>" (logged at level 3), so that no flush
// overwrites it, and the error is returned. What is not a regular file
// ("Variables file \"%s\" is %s, not a regular file") and a file that cannot be
// read ("Cannot read variables file \"%s\": %s", as for a permission error)
// are left alone and their error returned with `fatal_fault` set: the agent
// must not go on without the host id the file may hold.
// Windows: a value that is not text or is too long is skipped (logged at
// level 3) and left in the registry; a key that exists but cannot be opened
// sets `fatal_fault`.
err read_variables(bool* fatal_fault = nullptr);

// Writes the store when dirty (see write-behind above), timed by time_now().
// Each variable is logged ("%s: %d", key and value length) at level -1. On
// failure the store stays dirty and the file keeps its previous contents.
err flush_variables(bool force);

// How many times flush_variables has written the file since start-up; what
// is kept beside the variables is written whenever this changes.
uint64_t variables_writes();

// The contents of a variables file holding `vars` (newest first).
std::string serialize_variables(const std::vector<std::pair<std::string, std::string>>& vars);

// Parses the contents of a variables file into (key, value) pairs in file
// order. An empty text is an empty store. Fails on anything the agent did not
// write: a bad header, a bad escape, a missing end line, a repeated key, and
// "Cannot read variabel key" for a key or value over variable_max_size bytes.
// `out` is unchanged on failure.
err parse_variables(const std::string& data, std::vector<std::pair<std::string, std::string>>& out);

// Empties the store and forgets its dirty state (tests and shutdown).
void clear_variables();

}  // namespace zp
