// main.cpp - the quillmar executable: start-up with the command client's
// direct requests to the server plugged in.
#include "core/agent.h"
#include "core/config.h"
#include "core/startup.h"
#include "protocol/requests.h"

int main(int argc, char** argv) {
    zp::agent_parts parts;
    parts.request_downtime = [] {
        const auto& st = zp::startup();
        return zp::connect_and_request_downtime(zp::the_config(), st.downtime_minutes, st.downtime_comment);
    };
    parts.request_rescan = [] { return zp::send_rescan_to_server(zp::the_config()); };
    // The main loop (agent_main_loop with plug_conversations) is not entered
    // yet: start-up still ends after its last step.
    return zp::agent_main(argc, argv, parts);
}
