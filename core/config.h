// config.h - the agent's configuration record, read once at start-up from the
// configuration files (machine and user), with command-line values laid over it.
// The record lives for the whole process; the main thread owns it.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/err.h"

namespace zp {

inline constexpr uint16_t default_server_port = 3241;
inline constexpr uint32_t checkin_interval_unset = 0xFFFFFFFFu;
inline constexpr size_t max_servers = 255;

// One server of the list; port 0 means the configured server port applies.
struct server_entry {
    std::string host;
    uint16_t port = 0;
};

struct config {
    std::optional<std::string> name;  // absent: the server decides ("(autodetect)")
    std::string domain;
    std::optional<std::string> host_id;  // from the variables, set at start-up
    std::string server_list;
    std::vector<server_entry> servers;   // parsed from server_list
    uint16_t server_port = default_server_port;
    std::string log_file;
    std::string variables_file;
    std::optional<std::string> custom_chk_conf;
    std::optional<std::string> actions_conf;
    std::optional<std::string> log_chk_conf;
    int32_t log_level = 1;
    int32_t log_days = 7;
    int32_t max_log_files = 5;
    int32_t max_data_retention_days = 7;
    bool use_psapi = false;
    uint32_t perf_cnt_level = 200;
    std::optional<std::string> skip_event_source;
    bool allow_autoupgrade = false;
    bool disable_smart = false;
    bool safte_assume_active = false;
    bool safte_assume_inactive = false;
    std::optional<std::string> disable_checks;
    uint32_t checkin_interval = 30;

    int server_count() const { return static_cast<int>(servers.size()); }
};

// True when a package manager owns the installed executable: the agent then
// never replaces itself, whatever "allow_autoupgrade" says. Set by the
// executable before start-up reads the configuration; main thread only.
bool& autoupgrade_locked();

// Reads the configuration files of the key `key_name` ("ZPAgent" or --reg-key).
// None when "server_list" or "domain" is missing, unless `need_server` is false
// (the administrator's test mode, which never talks to a server: they are then
// left empty). `config_file` (-f) is not used.
std::optional<config> read_config(const std::string& key_name, const char* config_file, bool need_server = true);

// Parses "host[:port]" tokens separated by runs of "," and " ". Fatal on a bad
// port ("Could not parse port number") and at the 256th entry ("Too many
// servers in list").
std::vector<server_entry> parse_server_list(const std::string& text);

// Lower-cases ASCII letters in place.
void lower_case(std::string& text);

// A server port as the configuration and -p give it (C atoi): 0 when it reads
// as 0 or does not fit in 1..65535, so that the default port applies.
uint16_t parse_server_port(const std::string& text);

// "<state dir>/<key>.variables", in the user's state directory when the
// configuration came from the user's file, else in the machine's.
std::string default_variables_file(const std::string& key_name);

// True once any value was found in the user's configuration file; the variables
// then live in the user's state directory.
bool config_from_user();
// Forgets that the configuration came from the user's file (tests only).
void reset_config_from_user();

// The process-wide configuration (empty until start-up has read it). Written
// by agent/ start-up (files and command line), then on the main thread by the
// conversations of protocol/ that agent/ hands it to (registration sets the
// name, host id, server list and check-in interval). Read on the main thread by
// agent/ and devtree/ (disabled checks, data retention). No other thread.
config& the_config();

// The current server: an index into the_config().servers, and the flag that
// says it moved since the main loop last reported it. Written by agent/
// start-up (0), the main loop (failover after failed check-ins) and protocol/
// (failover in a set-up, a new server list from the server); server_changed()
// is cleared only by the main loop when it logs the change. The main thread
// moves it; the upgrade download thread's set-ups read it.
std::atomic<int>& current_server();
std::atomic<bool>& server_changed();

}  // namespace zp
