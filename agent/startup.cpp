// startup.cpp - the command line and the start-up steps, in their order.
#include "agent/startup.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "core/fatal.h"
#include "core/file_os.h"
#include "core/file_text.h"
#include "core/log.h"
#include "agent/startup_os.h"
#include "core/variables.h"
#include "host/command_pipe.h"
#include "host/crash.h"

namespace zp {

namespace {

// strtoll with base 0 (prefix decides), clamped to 32 bits.
int32_t number32(const char* text) {
    long long v = std::strtoll(text, nullptr, 0);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// The client's way to the running agent: true when an agent was reached
// (busy included), with its reply in `reply`; false with the failure text.
bool send_pipe_request(const std::string& request, std::string& reply) {
    return send_command(startup().reg_key, request, reply);
}

// The client's own conversation with the server, for when no agent answers.
// Server sessions are not part of this build yet.
err connect_to_server() { return err::text("Server connections are not available"); }

std::string connect_and_request_downtime() {
    log(0, "[cmd] connect_and_request_downtime");
    if (err e = connect_to_server()) return strprintf("FAILED Could not connect to server: %.900s", e.c_str());
    return "FAILED Could not request downtime: not available";
}

std::string send_rescan_to_server() {
    log(0, "[cmd] send_rescan_to_server");
    if (err e = connect_to_server()) return strprintf("FAILED Could not connect to server: %.900s", e.c_str());
    return "FAILED request_rescan: not available";
}

// Where the main loop takes over; it does not return. Until the main loop is
// wired in here, start-up ends after its last step: the variables it recorded
// are written as they would be at shutdown, and the process exits with 0.
int enter_main_loop() {
    log(1, "Start-up complete");
    if (err e = flush_variables(true)) log(3, "Flush error: %s", e.c_str());
    return 0;
}

}  // namespace

parse_result parse_command_line(int argc, const char* const argv[], startup_state& st, cmdline_options& opt) {
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        // Options with a value take the next argument; as the last argument
        // they lack it.
        auto value = [&](std::optional<std::string>& dst) {
            if (i + 1 >= argc) return false;
            dst = argv[++i];
            return true;
        };
        if (a == "-v") {
            st.log_to_file = false;
        } else if (a == "-V") {
            return parse_result::version;
        } else if (a == "-c") {
            if (!value(opt.name)) return parse_result::usage;
        } else if (a == "-s") {
            if (!value(opt.server_list)) return parse_result::usage;
        } else if (a == "-d") {
            if (!value(opt.domain)) return parse_result::usage;
        } else if (a == "-p") {
            if (!value(opt.port)) return parse_result::usage;
        } else if (a == "-l") {
            if (!value(opt.log_level)) return parse_result::usage;
        } else if (a == "-t") {
            if (!value(opt.variables_file)) return parse_result::usage;
        } else if (a == "-f") {
            if (!value(opt.config_file)) return parse_result::usage;
        } else if (a == "-m") {
            if (!value(opt.log_file)) return parse_result::usage;
        } else if (a == "--parent-pipes") {
            if (i + 2 >= argc) return parse_result::usage;
            st.parent_pipe_in = std::strtoull(argv[++i], nullptr, 10);
            st.parent_pipe_out = std::strtoull(argv[++i], nullptr, 10);
        } else if (a == "--upgrade-failed") {
            st.upgrade_failed = true;
        } else if (a == "--reg-key") {
            std::optional<std::string> key;
            if (!value(key)) return parse_result::usage;
            st.reg_key = *key;
        } else if (a == "--regression-test") {
            st.regression_test = true;
            if (i + 1 < argc) st.fake_memory_items = number32(argv[++i]);
            if (i + 1 < argc) st.fake_start_time = std::strtoll(argv[++i], nullptr, 0);
            if (i + 1 < argc) st.fake_end_time = std::strtoll(argv[++i], nullptr, 0);
            if (i + 1 < argc) st.repeat_count = number32(argv[++i]);
        } else if (a == "--fake-results") {
            st.fake_results = true;
        } else if (a == "--down") {
            st.log_to_file = false;
            st.mode = client_mode::downtime;
            st.downtime_minutes = 30;
        } else if (a == "--comment") {
            if (!value(st.downtime_comment)) return parse_result::usage;
        } else if (a == "--quiet") {
            st.quiet = true;
        } else if (a.substr(0, 7) == "--down=") {
            st.log_to_file = false;
            st.mode = client_mode::downtime;
            int32_t minutes = number32(argv[i] + 7);
            st.downtime_minutes = minutes ? minutes : 1;
        } else if (a == "--scan") {
            opt.scan = true;
        } else if (a == "--check") {
            if (!value(opt.check)) return parse_result::usage;
        } else if (a == "--rescan") {
            st.log_to_file = false;
            st.mode = client_mode::rescan;
        } else {
            return parse_result::usage;
        }
    }
    return parse_result::run;
}

std::string usage_text(const char* program) {
    const char* indent = "                 ";  // 17 blanks
    std::string s = strprintf("Usage:  %s  [-v][-V] [-f <config file>]\n", program);
    for (const char* line : {"[-c <name>] [-d <domain>]", "[-s <server name>] [-p <server port>]",
                             "[-t <variables file>]", "[-l <log level>]", "[-m <log file>]",
                             "[--down[=<minutes>]] --quiet", "[--comment \"downtime reason\"]"}) {
        s += indent;
        s += line;
        s += '\n';
    }
    return s;
}

std::string version_banner() { return strprintf("\n Zerpal Agent : %s\n\n", version_text()); }

config load_configuration(const std::string& key_name, const cmdline_options& opt) {
    std::optional<config> read;
    // -f names a file that is never read: the configuration files of the key
    // are read for it, and read again when that gave nothing.
    if (opt.config_file) read = read_config(key_name, opt.config_file->c_str());
    if (!read) read = read_config(key_name, nullptr);

    if (!read) {
        if (!opt.name || !opt.server_list || !opt.domain || !opt.variables_file || !opt.log_file)
            fatal("Unable to read agent configuration.");
        config c;
        c.name = *opt.name;
        c.server_list = *opt.server_list;
        c.domain = *opt.domain;
        c.variables_file = *opt.variables_file;
        c.log_file = *opt.log_file;
        uint16_t port = opt.port ? parse_server_port(*opt.port) : 0;
        c.server_port = port ? port : default_server_port;
        int32_t level = opt.log_level ? atoi32(*opt.log_level) : 0;
        c.log_level = level ? level : 1;
        return c;
    }

    config c = std::move(*read);
    if (opt.name) {
        log(0, "Config: Using specified name \"%s\"", opt.name->c_str());
        c.name = *opt.name;
    }
    if (opt.server_list) {
        log(0, "Config: Using specified server-names \"%s\"", opt.server_list->c_str());
        c.server_list = *opt.server_list;
    }
    if (opt.domain) {
        log(0, "Config: Using specified domain \"%s\"", opt.domain->c_str());
        c.domain = *opt.domain;
    }
    if (opt.variables_file) {
        log(0, "Config: Using specified variables file \"%s\"", opt.variables_file->c_str());
        c.variables_file = *opt.variables_file;
    }
    if (opt.port) {
        uint16_t port = parse_server_port(*opt.port);
        if (port == 0) {
            log(2, "Config: Couldn't parse server-port. Using default");
            c.server_port = default_server_port;
        } else {
            log(0, "Config: Using specified server-port %i", port);
            c.server_port = port;
        }
    }
    if (opt.log_level) {
        c.log_level = atoi32(*opt.log_level);
        log(0, "Config: Using specified loglevel: %i", c.log_level);
    }
    return c;
}

void settle_server_list(config& c) {
    const std::string* conf = get_variable("server_list_conf");
    const std::string* cluster = get_variable("server_list_cluster");
    bool use_cluster = conf && cluster && c.server_list == *conf;
    if (use_cluster) {
        std::vector<server_entry> servers = parse_server_list(*cluster);
        if (!servers.empty()) {
            c.server_list = *cluster;
            c.servers = std::move(servers);
            current_server() = 0;
            return;
        }
        // An empty cluster list would leave the agent without a server.
        log(2, "Config: The cluster server list names no server; using \"%s\"", c.server_list.c_str());
    } else if (err e = set_variable("server_list_conf", c.server_list)) {
        log(2, "%s", e.c_str());
    }
    c.servers = parse_server_list(c.server_list);
    if (c.servers.empty()) {
        log(3, "Config: The server list \"%s\" names no server", c.server_list.c_str());
        fatal("Unable to read agent configuration.");
    }
    current_server() = 0;
}

void settle_host_id(config& c) {
    std::string name = c.name.value_or("");
    const std::string* name_conf = get_variable("name_conf");
    if (name_conf && *name_conf == name) {
        const std::string* host_id = get_variable("host_id");
        if (host_id)
            c.host_id = *host_id;
        else
            c.host_id.reset();
        return;
    }
    if (err e = set_variable("name_conf", name)) log(2, "%s", e.c_str());
    c.host_id.reset();
}

std::string pipe_request_text(const startup_state& st) {
    if (st.mode == client_mode::rescan) return "RESCAN";
    // One blank keeps a comment that begins with a digit off the number.
    if (st.downtime_comment) return strprintf("DOWN %d %s", st.downtime_minutes, st.downtime_comment->c_str());
    return strprintf("DOWN %d\n", st.downtime_minutes);
}

int show_client_reply(client_mode mode, std::string reply, bool quiet) {
    if (reply.size() < 4) reply = "Too short message from server received";
    bool ok = reply.compare(0, 3, "OK ") == 0;
    const char* title = mode == client_mode::rescan ? "Zerpal: Start Agent Rescan" : "Zerpal: Set Agent In Downtime";
    // Where no box can be shown the reply still reaches the user.
    if (quiet || !show_reply_box(title, reply, ok)) std::fprintf(stderr, "%s\n", reply.c_str());
    return ok ? 0 : 1;
}

int agent_main(int argc, const char* const argv[], const agent_parts& parts) {
    startup_state& st = startup();
    cmdline_options opt;

    log_to_stderr();
    set_log_level(0);
    setup_library_logging();

    switch (parse_command_line(argc, argv, st, opt)) {
    case parse_result::run:
        break;
    case parse_result::usage:
        std::fputs(usage_text(argc > 0 ? argv[0] : "quillmar").c_str(), stderr);
        return 0;
    case parse_result::version:
        std::fputs(version_banner().c_str(), stderr);
        return 0;
    }

    if (opt.scan || opt.check) {
        // The test mode reads the same configuration files, needs no server
        // and writes neither the log file nor the variables: its log stays on
        // standard error, errors only unless -l asks for more.
        set_log_level(opt.log_level ? atoi32(*opt.log_level) : 3);
        if (opt.log_file) open_log(*opt.log_file);
        setup_library_logging();
        std::optional<config> read = read_config(st.reg_key, nullptr, false);
        the_config() = read ? std::move(*read) : config{};
        if (!parts.test_mode) {
            std::fputs("The test mode is not part of this build\n", stderr);
            return 1;
        }
        return parts.test_mode(opt);
    }

    if (st.mode != client_mode::none && (st.mode == client_mode::rescan || st.downtime_minutes != 0)) {
        std::string reply;
        if (send_pipe_request(pipe_request_text(st), reply)) return show_client_reply(st.mode, reply, st.quiet);
        log(0, "[cmd] could not connect to running agent: %.500s", reply.c_str());
    }

    config& c = the_config();
    c = load_configuration(st.reg_key, opt);

    const std::string* log_path = st.log_to_file ? &c.log_file : opt.log_file ? &*opt.log_file : nullptr;
    if (log_path) {
        if (err e = check_log_file(*log_path)) fatal("%s", e.c_str());
        open_log(*log_path);
    }
    set_log_level(c.log_level);

    if (set_variables_file(c.variables_file) != 0) log(2, "Unable to set variables file name");
    set_variables_key(st.reg_key);
    bool unusable = false;
    if (err e = read_variables(&unusable)) {
        if (unusable) fatal("%s", e.c_str());
        log(2, "Unable to read variables: %s", e.c_str());
        log(2, "Variables file (%s) will be created.", c.variables_file.c_str());
    }

    settle_server_list(c);
    settle_host_id(c);
    c.checkin_interval = 30;

    if (err e = start_socket_layer()) fatal("Error initializing socket subsystem: %s", e.c_str());
    set_quiet_error_mode();
    // The crash report goes beside the variables file: the state directory,
    // writable where the executable's own directory is not.
    install_crash_handler(parent_dir(c.variables_file));

    if (st.mode == client_mode::downtime)
        return show_client_reply(
            st.mode, parts.request_downtime ? parts.request_downtime() : connect_and_request_downtime(), st.quiet);
    if (st.mode == client_mode::rescan)
        return show_client_reply(st.mode, parts.request_rescan ? parts.request_rescan() : send_rescan_to_server(),
                                 st.quiet);

    setup_library_logging();
    return parts.main_loop ? parts.main_loop() : enter_main_loop();
}

}  // namespace zp
