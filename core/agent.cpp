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

std::atomic<int>& current_server() {
    static std::atomic<int> index{0};
    return index;
}

std::atomic<bool>& server_changed() {
    static std::atomic<bool> changed{false};
    return changed;
}

}  // namespace zp
