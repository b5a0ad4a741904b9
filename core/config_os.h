// config_os.h - where the configuration files and the variables file live on
// this platform. Each directory comes from its ZERPAL_* environment variable
// when that is set and not empty, else from the platform's default (on Linux
// the build's, core/build_config.h: the paths below for a default build).
#pragma once

#include <string>

namespace zp {

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
