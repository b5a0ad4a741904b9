// config.cpp - reading the configuration record from the user's and the
// machine's configuration (core/config_os.h), and parsing the server list.
// Every value is looked up in the user's first and then in the machine's; the
// user's value wins value by value.
#include "core/config.h"

#include <cerrno>
#include <cstdlib>

#include "core/config_os.h"
#include "core/fatal.h"
#include "core/file_text.h"
#include "core/log.h"

namespace zp {

namespace {

// The longest value kept: the values were read into 1024-byte buffers with
// their terminating zero, and a longer one was a read failure.
constexpr size_t max_value_size = 1023;

bool found_in_user_file = false;

// A trimmed copy of the value `name` in `src`, or none. `quiet` selects the
// log level of the failures: -1 when set, 1 when not.
std::optional<std::string> read_registry_value(const config_source& src, const char* name, bool quiet) {
    int level = quiet ? -1 : 1;
    if (src.open_error()) {
        log(level, "Cannot open path \"%s\": %s", src.path().c_str(), src.open_error().c_str());
        return std::nullopt;
    }
    std::string value;
    if (err e = src.read(name, value)) {
        log(level, "Cannot read key \"%s\": %s", name, e.c_str());
        return std::nullopt;
    }
    if (value.size() > max_value_size) {
        log(level, "Cannot read key \"%s\": %s", name, "Value longer than 1023 bytes");
        return std::nullopt;
    }
    return trim(value);
}

struct conf_sources {
    config_source user;
    config_source machine;

    std::optional<std::string> value(const char* name) {
        if (auto v = read_registry_value(user, name, true)) {
            if (!found_in_user_file) {
                found_in_user_file = true;
                log(1, "Found key in current user's registry - will store variables there too");
            }
            return v;
        }
        return read_registry_value(machine, name, false);
    }
};

bool is_true(std::string s) {
    lower_case(s);
    return s == "true";
}

// A day or file count: a negative number is no count, the default applies.
int32_t read_count(conf_sources& src, const char* name, int32_t def) {
    auto v = src.value(name);
    if (!v) return def;
    int32_t n = atoi32(*v);
    return n < 0 ? def : n;
}

uint32_t parse_perf_cnt_level(std::string s) {
    lower_case(s);
    if (s == "novice") return 100;
    if (s == "advanced") return 200;
    if (s == "expert") return 300;
    if (s == "wizard") return 400;
    if (s.find_first_not_of("0123456789") != std::string::npos) return 200;
    // Only digits (or nothing, which reads as 0).
    errno = 0;
    unsigned long long v = std::strtoull(s.c_str(), nullptr, 10);
    if (errno == ERANGE || v > UINT32_MAX) return 200;
    return static_cast<uint32_t>(v);
}

}  // namespace

uint16_t parse_server_port(const std::string& text) {
    int32_t v = atoi32(text);
    if (v <= 0 || v > 65535) return 0;
    return static_cast<uint16_t>(v);
}

bool& autoupgrade_locked() {
    static bool locked = false;
    return locked;
}

std::optional<config> read_config(const std::string& key_name, const char* /*config_file*/, bool need_server) {
    conf_sources src{config_source(config_scope::user, key_name), config_source(config_scope::machine, key_name)};
    config c;

    c.max_data_retention_days = read_count(src, "max_data_retention_days", 7);
    if (auto v = src.value("name"); v && !v->empty()) c.name = *v;
    auto servers = src.value("server_list");
    if (!servers && need_server) return std::nullopt;
    c.server_list = servers.value_or("");
    if (auto v = src.value("server_port")) {
        uint16_t p = parse_server_port(*v);
        c.server_port = p ? p : default_server_port;
    }
    auto domain = src.value("domain");
    if (!domain && need_server) return std::nullopt;
    c.domain = domain.value_or("");
    auto logfile = src.value("logfile");
    c.log_file = logfile ? *logfile : default_log_file();
    auto variable_file = src.value("variable_file");
    c.custom_chk_conf = src.value("custom_chk_conf");
    c.actions_conf = src.value("actions_conf");
    c.log_chk_conf = src.value("log_chk_conf");
    c.log_days = read_count(src, "log_days", 7);
    c.max_log_files = read_count(src, "max_log_files", 5);
    if (auto v = src.value("loglevel")) c.log_level = atoi32(*v);
    if (auto v = src.value("allow_autoupgrade")) c.allow_autoupgrade = is_true(*v);
    if (c.allow_autoupgrade && autoupgrade_locked()) {
        // The executable belongs to the package manager: an upgrade it did
        // not make would be undone, or would break, at the next package update.
        log(1, "Config: allow_autoupgrade is off: the package manager upgrades this agent");
        c.allow_autoupgrade = false;
    }
    if (auto v = src.value("use_psapi")) c.use_psapi = is_true(*v);
    if (auto v = src.value("disable_smart")) c.disable_smart = is_true(*v);
    if (auto v = src.value("safte_assume_active")) {
        std::string s = *v;
        lower_case(s);
        if (s == "true") c.safte_assume_active = true;
        if (s == "false") c.safte_assume_inactive = true;
    }
    if (auto v = src.value("perf_cnt_level")) c.perf_cnt_level = parse_perf_cnt_level(*v);
    c.skip_event_source = src.value("skip_event_source");
    if (auto v = src.value("disable_checks"); v && !v->empty()) c.disable_checks = *v;

    // Known only now: whether any value came from the user's file, which
    // decides where the variables live.
    c.variables_file = variable_file ? *variable_file : default_variables_file(key_name);
    return c;
}

std::string default_variables_file(const std::string& key_name) {
    std::string dir = config_from_user() ? user_state_dir() : machine_state_dir();
    return dir + "/" + key_name + ".variables";
}

std::vector<server_entry> parse_server_list(const std::string& text) {
    std::vector<server_entry> out;
    size_t pos = 0;
    for (;;) {
        pos = text.find_first_not_of(", ", pos);
        if (pos == std::string::npos) break;
        size_t end = text.find_first_of(", ", pos);
        if (end == std::string::npos) end = text.size();
        std::string token = text.substr(pos, end - pos);
        pos = end;

        server_entry e;
        size_t colon = token.find(':');
        if (colon == std::string::npos) {
            e.host = token;
        } else {
            e.host = token.substr(0, colon);
            std::string port = token.substr(colon + 1);
            char* stop = nullptr;
            errno = 0;
            long v = std::strtol(port.c_str(), &stop, 0);
            // A port the 16 bits cannot hold is as unusable as one with letters.
            if (*stop != '\0' || errno == ERANGE || v < 0 || v > 65535)
                fatal("Could not parse port number");
            e.port = static_cast<uint16_t>(v);
        }
        if (out.size() == max_servers) fatal("Too many servers in list");
        out.push_back(std::move(e));
    }
    return out;
}

void lower_case(std::string& text) {
    for (char& ch : text)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
}

bool config_from_user() { return found_in_user_file; }

void reset_config_from_user() { found_in_user_file = false; }

}  // namespace zp
