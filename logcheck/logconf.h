// logconf.h - the scan side of the log scanner: the log check configuration
// file (which log files and event logs may be offered), wildcard matching of
// its components, and the walk that builds the subtree below the group "log".
//
// A configuration line names a path from the root: "/var/log/*.log" on Linux,
// "C:\\logs\\*.log" or "\\\\server\\share\\*.log" on Windows (where "/"
// separates as well), where a component may hold "*" (one or more bytes) and
// "?" (one byte), or be "**" (any number of directory levels, never last); or
// "eventlog:" and a name.
// Main thread only; the configuration last read successfully is kept
// process-wide.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/err.h"
#include "devtree/devtree.h"
#include "logcheck/logfile_os.h"

namespace zp {

// One component of a configuration line.
struct log_conf_part {
    enum : uint32_t { eventlog = 0, drive = 1, name = 2, recursive = 3 };
    uint32_t kind = name;
    std::string text;
};

// The components of one line, read only once built.
using log_conf_line = std::vector<log_conf_part>;
using log_config = std::vector<std::shared_ptr<const log_conf_line>>;

// Reads the configuration file at `path`. None when the file cannot be
// opened, has no entry, or has a line that cannot be parsed (each case
// logged).
std::optional<log_config> read_log_config(const std::string& path);
// The same for the file's contents, its paths written in `style`.
std::optional<log_config> parse_log_config(std::string_view text, path_style style = os_path_style());

// True when `name` matches `pattern` (letters without regard to case).
bool log_wildcard_match(std::string_view name, std::string_view pattern);

// The chains still to be matched below one place of the walk: each is a line
// and the index of its next component.
struct log_chain_ref {
    std::shared_ptr<const log_conf_line> line;
    size_t pos = 0;
};

// A candidate found in one directory.
struct log_match {
    enum : int { directory = 1, file = 2, eventlog = 3 };
    int kind = directory;
    int32_t strict = 0;  // found by a wildcard in a listing, or below such a place
    std::string name;
    std::vector<log_chain_ref> chains;
};

// Adds below `group` what the chains of `here` find in the directory `dir`
// ("" at the top, else ending with a separator). `depth` bounds the recursion.
void log_fs_scan(const std::string& dir, devtree& group, const log_match& here, int depth = 0);

// The scan operation of "log": reads "log_chk_conf" when set and builds the
// groups "log" and "log"/"/forward" under `root`. Always succeeds.
err scan_log(devtree& root);

// Forgets the kept configuration (tests).
void reset_log_config();

}  // namespace zp
