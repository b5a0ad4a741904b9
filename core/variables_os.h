// variables_os.h - where the variables persist: one file on Linux, the
// "Variables" registry key on Windows. The store (core/variables.cpp) keeps
// the write-behind rule and calls these with its lock held.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/err.h"

namespace zp {

using variable_pairs = std::vector<std::pair<std::string, std::string>>;

// Where the store lives: the variables file (always named; on Windows it only
// names the place of what is kept beside the variables) and the registry key
// name ("ZPAgent" or --reg-key).
struct variables_place {
    const std::string& file;
    const std::string& key_name;
};

// Reads what was persisted into `out`, newest first; `out` is unchanged on
// failure. Nothing persisted yet is an error, as is damage; `fatal_fault` is
// set when the agent must not go on (what holds the host id exists but cannot
// be read). Damage is kept for a person to look at, never overwritten by a
// later store_variables.
err load_variables(const variables_place& place, variable_pairs& out, bool* fatal_fault);

// Persists exactly `vars` (newest first), so that a crash at any moment leaves
// either the previous store or this one, whole. On failure what was persisted
// before stays.
err store_variables(const variables_place& place, const variable_pairs& vars);

}  // namespace zp
