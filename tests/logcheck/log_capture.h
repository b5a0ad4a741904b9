// log_capture.h - sends the agent's log to a temporary file at the most
// verbose level for the duration of a test, so that its lines can be checked.
#pragma once

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

#include "core/log.h"

namespace zp::testing {

struct log_capture {
    std::string path = "/tmp/zp_logcheck_logXXXXXX";

    log_capture() {
        close(mkstemp(path.data()));
        open_log(path);
        set_log_level(-1);
    }
    ~log_capture() {
        close_log();
        log_to_stderr();
        set_log_level(1);
        std::remove(path.c_str());
    }
    std::string text() const {
        std::stringstream ss;
        ss << std::ifstream(path).rdbuf();
        return ss.str();
    }
    bool has(const std::string& s) const { return text().find(s) != std::string::npos; }
};

}  // namespace zp::testing
