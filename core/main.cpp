// main.cpp - the quillmar executable: the agent, or its own command client.
#include "core/agent.h"
#include "core/log.h"

int main(int, char**) {
    zp::log_to_stderr();
    zp::log(1, "Zerpal %s", zp::version_text());
    return 0;
}
