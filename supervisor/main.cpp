// main.cpp - zpsupervise: runs the agent under supervision.
//
//   zpsupervise [--upgrade-timeout SECONDS] [--max-restart-delay SECONDS]
//               [--] <agent executable> [agent arguments...]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/log.h"
#include "supervisor/supervise.h"

namespace {

int usage() {
    std::fputs("Usage: zpsupervise [--upgrade-timeout SECONDS] [--max-restart-delay SECONDS] [--]\n"
               "                   <agent executable> [agent arguments...]\n"
               "Runs the agent, installs the upgrades it downloads (keeping <exe>.previous) and goes back\n"
               "to the previous version when a new one does not report that it works within the upgrade\n"
               "time-out (600 s); restarts an agent that ended, pausing up to the restart delay (60 s).\n",
               stderr);
    return 2;
}

bool seconds(const char* text, int& out) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (!*text || *end || v < 1 || v > 86400) return false;
    out = static_cast<int>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    zp::supervise_options o;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "--upgrade-timeout" || a == "--max-restart-delay") {
            int& dst = a == "--upgrade-timeout" ? o.upgrade_timeout : o.max_restart_delay;
            if (i + 1 >= argc || !seconds(argv[++i], dst)) return usage();
        } else if (a.rfind("--", 0) == 0) {
            return usage();
        } else {
            break;
        }
    }
    if (i >= argc || argv[i][0] != '/') {
        if (i < argc) std::fputs("zpsupervise: the agent executable must be given by its full path\n", stderr);
        return usage();
    }
    o.exe = argv[i];
    for (++i; i < argc; ++i) o.args.push_back(argv[i]);
    zp::log_to_stderr();
    zp::set_log_level(1);
    return zp::supervise(o);
}
