// config_win32.cpp - configuration and state directories on Windows.
#include <windows.h>

#include <cstdlib>

#include "core/config_os.h"

namespace zp {

namespace {

const char* env(const char* name) {
    const char* v = std::getenv(name);
    return v && *v ? v : nullptr;
}

// $var, else $base\Zerpal, else the fallback.
std::string dir_of(const char* var, const char* base, const char* fallback) {
    if (const char* v = env(var)) return v;
    if (const char* b = env(base)) return std::string(b) + "\\Zerpal";
    return fallback;
}

}  // namespace

std::string machine_config_dir() { return dir_of("ZERPAL_CONF_DIR", "ProgramData", "C:\\ProgramData\\Zerpal"); }
std::string user_config_dir() { return dir_of("ZERPAL_USER_CONF_DIR", "APPDATA", "C:\\Zerpal"); }
std::string machine_state_dir() { return dir_of("ZERPAL_STATE_DIR", "ProgramData", "C:\\ProgramData\\Zerpal"); }
std::string user_state_dir() { return dir_of("ZERPAL_USER_STATE_DIR", "LOCALAPPDATA", "C:\\Zerpal"); }

std::string default_log_file() { return "c:\\temp\\agent.log"; }

}  // namespace zp
