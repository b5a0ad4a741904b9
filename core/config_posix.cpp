// config_posix.cpp - the configuration files and the configuration and state
// directories on Linux.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <map>

#include "core/build_config.h"
#include "core/config_os.h"
#include "core/fatal.h"
#include "core/file_text.h"
#include "core/log.h"

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

namespace {

// A configuration file is a few dozen short lines; anything past this is not one.
constexpr size_t max_config_file_size = 1 << 20;

}  // namespace

struct config_source::impl {
    std::map<std::string, std::string> values;
};

config_source::config_source(config_scope scope, const std::string& key_name) : impl_(std::make_unique<impl>()) {
    path_ = (scope == config_scope::user ? user_config_dir() : machine_config_dir()) + "/" + key_name + ".conf";
    std::string data;
    file_fault fault;
    if (err e = read_text_file(path_, max_config_file_size, data, &fault)) {
        // A FIFO or a device where the configuration belongs is a mistake to
        // report, not a file to skip.
        if (fault == file_fault::not_regular) fatal("Configuration file %s", e.c_str());
        open_error_ = std::move(e);
        return;
    }
    size_t pos = 0;
    int line_no = 0;
    while (pos < data.size()) {
        size_t end = data.find('\n', pos);
        if (end == std::string::npos) end = data.size();
        std::string line = trim(data.substr(pos, end - pos));
        pos = end + 1;
        ++line_no;
        if (line.empty() || line[0] == '#') continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos) {
            log(2, "Config: Ignoring line %d of \"%s\": no \"=\"", line_no, path_.c_str());
            continue;
        }
        // A name given twice: the later line wins.
        impl_->values[trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
    }
}

config_source::~config_source() = default;

err config_source::read(const char* name, std::string& out) const {
    auto it = impl_->values.find(name);
    if (it == impl_->values.end()) return err::text("No such value");
    out = it->second;
    return {};
}

}  // namespace zp
