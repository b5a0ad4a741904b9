// test_support.h - helpers shared by the device tree tests: a log capture, a
// simulated clock and a reset of the process-wide start-up state.
#pragma once

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

#include "core/agent.h"
#include "core/clock.h"
#include "core/config.h"
#include "core/log.h"

namespace zp::testing {

inline int64_t sim_now = 1'000'000;
inline int64_t sim_clock() { return sim_now; }

// Sends the log to a temporary file at the most verbose level.
class log_capture {
public:
    log_capture() {
        char tmpl[] = "/tmp/zp_logXXXXXX";
        int fd = mkstemp(tmpl);
        if (fd >= 0) close(fd);
        path_ = tmpl;
        open_log(path_);
        set_log_level(-1);
    }
    ~log_capture() {
        close_log();
        log_to_stderr();
        std::remove(path_.c_str());
    }
    std::string text() const {
        std::ifstream f(path_);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    bool has(const std::string& s) const { return text().find(s) != std::string::npos; }
    size_t count(const std::string& s) const {
        std::string t = text();
        size_t n = 0;
        for (size_t p = t.find(s); p != std::string::npos; p = t.find(s, p + 1)) ++n;
        return n;
    }

private:
    std::string path_;
};

// Fresh start-up state and configuration on a simulated clock.
inline void reset_agent_state() {
    startup() = startup_state{};
    the_config() = config{};
    sim_now = 1'000'000;
    set_clock(sim_clock);
}

}  // namespace zp::testing
