// host_hookup.cpp - the host integration started and ended with the main loop.
#include "agent/host_hookup.h"

#include "core/agent.h"
#include "core/config.h"
#include "core/fatal.h"
#include "core/log.h"
#include "host/command_pipe.h"
#include "host/upgrade.h"
#include "protocol/requests.h"
#include "protocol/session.h"

namespace zp {

namespace {

// The server session of the request being served from the command pipe.
stream_ptr& pipe_session() {
    static stream_ptr s;
    return s;
}

command_server_ops pipe_requests() {
    command_server_ops ops;
    ops.open_session = [] { return setup_connection(the_config(), pipe_session()); };
    ops.request_downtime = [](int32_t minutes, const std::optional<std::string>& comment, std::string& reply) {
        return request_downtime(*pipe_session(), minutes, command_buffer_size, comment, reply);
    };
    ops.request_rescan = [](std::string& reply) {
        return request_rescan(*pipe_session(), command_buffer_size, reply);
    };
    ops.close_session = [] { pipe_session().reset(); };
    return ops;
}

}  // namespace

void start_upgrade_download() {
    // The thread gets its own copy: the main thread may reread its record.
    start_download([c = the_config()](const std::string& path) { return download_upgrade(c, path); });
}

void init_os_arch_specific() {
    log(0, "init_os_arch_specific (posix)");
    add_loop_events();
    startup_state& st = startup();
    set_parent_pipes(st.parent_pipe_in, st.parent_pipe_out);
    start_parent_pipe_reader([] { return agent_loop().upgrade_ready.load(); }, request_stop);
    if (st.mode == client_mode::none) {
        on_fatal_release(close_command_pipe);
        setup_command_named_pipe(st.reg_key, pipe_requests());
    }
    if (st.upgrade_failed) {
        log(2, "Upgrade failed, using latest working version");
        st.upgrade_failed = false;
    }
}

void release_host_objects() {
    stop_parent_pipe_reader();
    end_download();
    remove_loop_events();
    if (startup().mode == client_mode::none) close_command_pipe();
}

void plug_host(loop_ops& ops) {
    ops.init_host = init_os_arch_specific;
    ops.release_host = release_host_objects;
    ops.poll_download = [] { poll_download(set_upgrade_ready); };
    ops.notify_parent = report_agent_works;
}

}  // namespace zp
