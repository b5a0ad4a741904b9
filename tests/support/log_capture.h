// log_capture.h - sends the agent's log to a temporary file for the life of
// the object, so that a test can look for the lines it expects.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

#include "core/log.h"
#include "tests/support/files.h"

namespace zp::test {

class log_capture {
public:
    // Records at `level` and above are kept; the previous threshold comes back
    // at the end, with the log on standard error.
    explicit log_capture(int level = -1) : saved_level_(get_log_level()) {
        char tmpl[] = "/tmp/zp-log-XXXXXX";
        int fd = ::mkstemp(tmpl);
        if (fd >= 0) ::close(fd);
        path_ = tmpl;
        open_log(path_);
        set_log_level(level);
    }
    ~log_capture() {
        log_to_stderr();
        set_log_level(saved_level_);
        std::remove(path_.c_str());
    }
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    std::string text() const { return read_file(path_); }
    bool has(const std::string& s) const { return text().find(s) != std::string::npos; }
    size_t count(const std::string& s) const {
        std::string t = text();
        size_t n = 0;
        for (size_t p = t.find(s); p != std::string::npos; p = t.find(s, p + 1)) ++n;
        return n;
    }

private:
    int saved_level_;
    std::string path_;
};

}  // namespace zp::test
