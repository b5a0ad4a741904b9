// config_os.h - where the configuration comes from on this platform (the
// registry on Windows, configuration files on Linux) and where the state
// lives. Each directory comes from its ZERPAL_* environment variable when
// that is set and not empty, else from the platform's default (on Linux the
// build's, core/build_config.h: the paths below for a default build).
#pragma once

#include <memory>
#include <string>

#include "core/err.h"

namespace zp {

enum class config_scope { user, machine };

// Windows: the key below which each agent's key lives, under the current user
// and the local machine: $ZERPAL_REG_BASE, else "SOFTWARE\\Zerpal".
std::string registry_base();

// The values of one scope, opened once per reading of the configuration:
// Windows: the key "<registry base>\\<key>" under HKEY_CURRENT_USER (user) or
// HKEY_LOCAL_MACHINE (machine). Linux: the file "<key>.conf" in the user's or
// the machine's configuration directory, one "name = value" per line, lines
// starting with "#" comments, the later of two lines of a name winning. A
// configuration file that is not a regular file is fatal.
class config_source {
public:
    config_source(config_scope scope, const std::string& key_name);
    ~config_source();
    config_source(const config_source&) = delete;
    config_source& operator=(const config_source&) = delete;

    // The key or file, as "Cannot open path" names it.
    const std::string& path() const { return path_; }
    // Set when the key or file could not be opened.
    const err& open_error() const { return open_error_; }
    // The text of the value `name` into `out`, or the system's reason there
    // is none. Windows: string values as they are (expandable ones with the
    // environment expanded), numbers in decimal, a multi-string with its
    // strings joined by ","; other types are refused.
    err read(const char* name, std::string& out) const;

private:
    struct impl;
    std::string path_;
    err open_error_;
    std::unique_ptr<impl> impl_;
};

// Machine configuration directory: $ZERPAL_CONF_DIR, else /etc/zerpal.
std::string machine_config_dir();
// User configuration directory: $ZERPAL_USER_CONF_DIR, else
// $XDG_CONFIG_HOME/zerpal, else ~/.config/zerpal.
std::string user_config_dir();
// Machine state directory (variables): $ZERPAL_STATE_DIR, else /var/lib/zerpal.
std::string machine_state_dir();
// User state directory: $ZERPAL_USER_STATE_DIR, else $XDG_STATE_HOME/zerpal,
// else ~/.local/state/zerpal.
std::string user_state_dir();

// The default log file: /var/log/zerpal/agent.log.
std::string default_log_file();

}  // namespace zp
