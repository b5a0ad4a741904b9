// loop_conversations.cpp - registration and check-in plugged into the main loop.
#include "agent/loop_conversations.h"

#include "agent/host_hookup.h"
#include "core/config.h"
#include "protocol/checkin.h"
#include "protocol/configure.h"

namespace zp {

namespace {

// The loop's trees, borrowed for each conversation.
conversation_env& loop_env() {
    static conversation_env env;
    auto& st = agent_loop();
    env.configured = &st.configured;
    env.actions = &st.actions;
    env.client_info = &st.client_info;
    env.start_upgrade = start_upgrade_download;
    return env;
}

}  // namespace

void plug_conversations(loop_ops& ops) {
    ops.register_agent = [] { return register_agent(the_config(), loop_env()); };
    ops.checkin = [](bool& acknowledged) {
        return checkin(the_config(), loop_env(), agent_loop().result_throttle, acknowledged);
    };
}

}  // namespace zp
