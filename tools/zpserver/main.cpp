// main.cpp - the zpserver executable: options, signals, the accept loop.
#include <atomic>
#include <csignal>
#include <cstdio>

#include "core/log.h"
#include "tools/zpserver/server.h"

namespace {

std::atomic<bool> g_stop{false};

extern "C" void on_signal(int) { g_stop.store(true); }

}  // namespace

int main(int argc, char** argv) {
    zp::server::server_options opt;
    bool help = false;
    if (auto e = zp::server::parse_options(argc, argv, opt, help)) {
        std::fprintf(stderr, "zpserver: %s\n%s", e.c_str(), zp::server::usage_text());
        return 2;
    }
    if (help) {
        std::fputs(zp::server::usage_text(), stdout);
        return 0;
    }
    zp::log_to_stderr();
    zp::set_log_level(opt.verbosity);
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    if (auto e = zp::server::run_server(opt, g_stop)) {
        std::fprintf(stderr, "zpserver: %s\n", e.c_str());
        return 1;
    }
    return 0;
}
