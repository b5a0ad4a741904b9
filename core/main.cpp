// main.cpp - the quillmar executable: the agent, or its own command client.
#include "core/startup.h"

int main(int argc, char** argv) { return zp::agent_main(argc, argv); }
