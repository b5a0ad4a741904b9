// agent.cpp - process-wide start-up state.
#include "core/agent.h"

#include "core/config.h"

namespace zp {

startup_state& startup() {
    static startup_state s;
    return s;
}

config& the_config() {
    static config c;
    return c;
}

int& current_server() {
    static int index = 0;
    return index;
}

bool& server_changed() {
    static bool changed = false;
    return changed;
}

}  // namespace zp
