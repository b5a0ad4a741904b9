// test_env.h - shared helpers of the core tests: a temporary directory that
// every ZERPAL_* directory points into, file helpers, a log captured in a file,
// and a way to run the built executable as a user would.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/log.h"

namespace zp::test {

inline std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline void write_file(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
}

inline bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// A fresh temporary directory with etc/, user/, state/, ustate/ and run/ below
// it, and the ZERPAL_* variables pointing there. Removed at the end.
class temp_env {
public:
    temp_env() {
        char tmpl[] = "/tmp/zp-core-XXXXXX";
        const char* d = ::mkdtemp(tmpl);
        if (!d) std::abort();
        root = d;
        for (const char* sub : {"etc", "user", "state", "ustate", "run"}) ::mkdir((root + "/" + sub).c_str(), 0700);
        ::setenv("ZERPAL_CONF_DIR", (root + "/etc").c_str(), 1);
        ::setenv("ZERPAL_USER_CONF_DIR", (root + "/user").c_str(), 1);
        ::setenv("ZERPAL_STATE_DIR", (root + "/state").c_str(), 1);
        ::setenv("ZERPAL_USER_STATE_DIR", (root + "/ustate").c_str(), 1);
        ::setenv("ZERPAL_RUN_DIR", (root + "/run").c_str(), 1);
    }
    ~temp_env() {
        std::string cmd = "rm -rf '" + root + "'";
        if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", root.c_str());
    }
    temp_env(const temp_env&) = delete;
    temp_env& operator=(const temp_env&) = delete;

    std::string path(const std::string& rel) const { return root + "/" + rel; }
    void machine_conf(const std::string& text, const std::string& key = "ZPAgent") const {
        write_file(path("etc/" + key + ".conf"), text);
    }
    void user_conf(const std::string& text, const std::string& key = "ZPAgent") const {
        write_file(path("user/" + key + ".conf"), text);
    }

    std::string root;
};

// Sends the log to a file in `env` at threshold -1 for the life of the object.
class captured_log {
public:
    explicit captured_log(const temp_env& env, int level = -1) : file_(env.path("captured.log")) {
        std::remove(file_.c_str());
        open_log(file_);
        set_log_level(level);
    }
    ~captured_log() {
        log_to_stderr();
        set_log_level(0);
    }
    std::string text() const { return read_file(file_); }
    bool has(const std::string& part) const { return text().find(part) != std::string::npos; }

private:
    std::string file_;
};

struct run_result {
    int exit_code = -1;
    std::string err;  // standard error
};

// Runs the built agent executable with `args` (argv[0] is its path) in the
// current environment and collects its standard error and exit code.
inline run_result run_agent(const std::vector<std::string>& args) {
    std::string exe = std::string(ZP_BINARY_DIR) + "/core/quillmar";
    int fds[2];
    if (::pipe(fds) != 0) std::abort();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 2);
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::close(fds[0]);
        ::close(fds[1]);
        std::vector<char*> argv;
        argv.push_back(exe.data());
        std::vector<std::string> copy = args;
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    run_result r;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) r.err.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

inline std::string agent_path() { return std::string(ZP_BINARY_DIR) + "/core/quillmar"; }

}  // namespace zp::test
