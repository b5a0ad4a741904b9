// config_posix.cpp - configuration and state directories on Linux.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "core/build_config.h"
#include "core/config_os.h"

namespace zp {

namespace {

const char* env(const char* name) {
    const char* v = std::getenv(name);
    return v && *v ? v : nullptr;
}

std::string home_dir() {
    if (const char* h = env("HOME")) return h;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/";
}

// $var, else $xdg/zerpal, else ~/<fallback>/zerpal.
std::string user_dir(const char* var, const char* xdg, const char* fallback) {
    if (const char* v = env(var)) return v;
    if (const char* x = env(xdg)) return std::string(x) + "/zerpal";
    return home_dir() + "/" + fallback + "/zerpal";
}

}  // namespace

std::string machine_config_dir() {
    const char* v = env("ZERPAL_CONF_DIR");
    return v ? v : build::conf_dir;
}

std::string user_config_dir() { return user_dir("ZERPAL_USER_CONF_DIR", "XDG_CONFIG_HOME", ".config"); }

std::string machine_state_dir() {
    const char* v = env("ZERPAL_STATE_DIR");
    return v ? v : build::state_dir;
}

std::string user_state_dir() { return user_dir("ZERPAL_USER_STATE_DIR", "XDG_STATE_HOME", ".local/state"); }

std::string default_log_file() { return std::string(build::log_dir) + "/agent.log"; }

}  // namespace zp
