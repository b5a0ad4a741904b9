// agent.h - process-wide start-up state: what the command line chose, and the
// version text of this build.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zp {

enum class client_mode { none = 0, downtime = 1, rescan = 2 };

struct startup_state {
    bool log_to_file = true;
    client_mode mode = client_mode::none;
    int32_t downtime_minutes = 0;
    std::optional<std::string> downtime_comment;
    bool quiet = false;
    bool regression_test = false;
    int32_t fake_memory_items = 1;
    int64_t fake_start_time = -1;  // -1: now
    int64_t fake_end_time = -1;    // -1: none
    int32_t repeat_count = 1000;
    bool fake_results = false;
    uint64_t parent_pipe_in = 0;
    uint64_t parent_pipe_out = 0;
    bool upgrade_failed = false;
    std::string reg_key = "ZPAgent";
};

// What the command line chose. Written only by agent/ start-up (the command-line
// parser), on the main thread, before the main loop starts; read afterwards on the
// main thread by agent/ (client mode, regression exit), devtree/ (the fake scan
// and fake checks) and protocol/ (an empty scan with fake results). No other
// thread touches it.
startup_state& startup();

// "v.4.6.2 build 6183 on Linux (x86-64)": the one version text of this build.
const char* version_text();

}  // namespace zp
