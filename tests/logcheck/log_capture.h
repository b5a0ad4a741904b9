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

class log_capture {
public:
    log_capture() {
        char tmpl[] = "/tmp/zp_logcheck_logXXXXXX";
        int fd = mkstemp(tmpl);
        if (fd >= 0) close(fd);
        path_ = tmpl;
        open_log(path_);
        set_log_level(-1);
    }
    ~log_capture() {
        close_log();
        log_to_stderr();
        set_log_level(1);
        std::remove(path_.c_str());
    }
    std::string text() const {
        std::ifstream f(path_);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    bool has(const std::string& s) const { return text().find(s) != std::string::npos; }

private:
    std::string path_;
};

}  // namespace zp::testing
