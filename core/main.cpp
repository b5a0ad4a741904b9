// main.cpp - the quillmar executable: start-up with the server conversations
// and the main loop plugged in, or its own command client.
#include "core/agent.h"
#include "core/config.h"
#include "core/log.h"
#include "core/main_loop.h"
#include "core/startup.h"
#include "protocol/checkin.h"
#include "protocol/configure.h"
#include "protocol/requests.h"

namespace {

// Registration and check-in work on the main loop's trees.
zp::conversation_env& loop_conversations() {
    static zp::conversation_env env;
    auto& st = zp::agent_loop();
    env.configured = &st.configured;
    env.actions = &st.actions;
    env.client_info = &st.client_info;
    return env;
}

int run_main_loop() {
    zp::loop_ops ops;
    ops.register_agent = [] { return zp::register_agent(zp::the_config(), loop_conversations()); };
    // The loop adjusts the limit and fails over after each check-in.
    ops.checkin = [](bool& acknowledged) {
        return zp::checkin(zp::the_config(), loop_conversations(), zp::agent_loop().result_throttle, acknowledged);
    };
    // Only the configured log file is rotated, not a -m file chosen with -v.
    ops.log_reopen = [] {
        const zp::config& c = zp::the_config();
        if (zp::startup().log_to_file) zp::check_log_reopen(c.log_file, c.log_days, c.max_log_files);
    };
    zp::agent_main_loop(ops);
}

}  // namespace

int main(int argc, char** argv) {
    zp::agent_parts parts;
    parts.request_downtime = [] {
        const auto& st = zp::startup();
        return zp::connect_and_request_downtime(zp::the_config(), st.downtime_minutes, st.downtime_comment);
    };
    parts.request_rescan = [] { return zp::send_rescan_to_server(zp::the_config()); };
    parts.main_loop = run_main_loop;
    return zp::agent_main(argc, argv, parts);
}
