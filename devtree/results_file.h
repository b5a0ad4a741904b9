// results_file.h - the results waiting for the server, kept across a stop of
// the agent: every check's queue with the check's identifier, written
// atomically to a file beside the variables file and put back on the checks of
// the configured tree at start-up. Main thread only.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/err.h"
#include "devtree/devtree.h"

namespace zp {

// "<variables file>.results".
std::string results_file_path();

// The queued results of every check of `tree` that has an identifier.
std::string serialize_results(const devtree_list& tree);

// The results of one check as read back.
struct saved_results {
    std::string identifier;
    std::vector<std::unique_ptr<resnode>> results;  // oldest first
};

// Parses what serialize_results wrote. Results beyond the result budget are
// not made; *dropped (when given) counts them. Fails on anything the agent
// did not write; `out` is unchanged on failure.
err parse_results(std::string_view data, std::vector<saved_results>& out, size_t* dropped = nullptr);

// Writes the file atomically (the old file or the new one survives any crash).
err save_results_file(const std::string& path, const devtree_list& tree);

// Reads the file (if any) and puts each check's results in front of the queue
// of the check of `tree` with the same identifier, then applies the retention
// time. Results of checks that no longer exist are dropped and counted in a
// log line; an unreadable file is logged and ignored.
void restore_results_file(const std::string& path, devtree_list& tree);

}  // namespace zp
