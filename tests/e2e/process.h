// process.h - child processes for the end-to-end tests: start in a working
// directory with output files, wait with a bound, stop for sure at the end of
// the test; and the reference server started for the agent. Children inherit
// the test's environment.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <utility>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/files.h"

namespace zp::test {

class process {
public:
    process() = default;
    process(const process&) = delete;
    process& operator=(const process&) = delete;
    ~process() { stop(); }

    // Starts `argv` in `cwd`, standard output and error appended to the two
    // files. False when it could not be started.
    bool start(const std::vector<std::string>& argv, const std::string& cwd, const std::string& out_file,
               const std::string& err_file) {
        stop();
        exit_code_.reset();
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            int in = ::open("/dev/null", O_RDONLY);
            int out = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            int err = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (::chdir(cwd.c_str()) != 0 || in < 0 || out < 0 || err < 0) _exit(126);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(err, 2);
            ::execv(args[0], args.data());
            _exit(127);
        }
        return pid_ > 0;
    }

    // The exit code once the process ended within `seconds` (a signal gives
    // 128 + its number), else nothing.
    std::optional<int> wait_exit(int seconds) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!exit_code_ && pid_ > 0) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            } else if (std::chrono::steady_clock::now() >= end) {
                break;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        return exit_code_;
    }

    bool running() { return pid_ > 0 && !wait_exit(0); }
    pid_t pid() const { return pid_; }

    void send_signal(int sig) {
        if (pid_ > 0) ::kill(pid_, sig);
    }

    // Terminates the process (SIGTERM, then SIGKILL after 3 s) and reaps it.
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        if (!wait_exit(3)) {
            ::kill(pid_, SIGKILL);
            (void)wait_exit(3);
        }
    }

private:
    pid_t pid_ = -1;
    std::optional<int> exit_code_;
};

// Runs `cmd` through the shell: its exit code (-1 when it did not exit) and
// standard output.
inline std::pair<int, std::string> shell(const std::string& cmd) {
    std::FILE* p = ::popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    int status = ::pclose(p);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// Waits until `done` holds, looking every 100 ms, for at most `seconds`.
inline bool wait_until(const std::function<bool()>& done, int seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return done();
}

// Starts the reference server in env.root with short intervals and `args` (its
// first line gives the port) and configures the agent for it, logging to
// agent.log, with `more_conf` added.
inline void start_server(process& server, temp_env& env, const std::vector<std::string>& args,
                         const std::string& more_conf = "", const char* io_timeout = "20") {
    const std::filesystem::path dir = env.root;
    for (const char* f : {"server.out", "server.log"}) std::filesystem::remove(dir / f);
    std::vector<std::string> argv = {std::string(ZP_BINARY_DIR) + "/tools/zpserver/zpserver",
                                     "-p", "0", "-v", "--no-summary",
                                     "--state-dir", (dir / "server-state").string(),
                                     "--results", (dir / "results.jsonl").string(),
                                     "--frequency", "1", "--checkin-frequency", "1", "--io-timeout", io_timeout};
    argv.insert(argv.end(), args.begin(), args.end());
    ASSERT_TRUE(server.start(argv, dir, dir / "server.out", dir / "server.log"));
    std::string line;
    wait_until([&] { return (line = read_file(dir / "server.out")).find('\n') != std::string::npos; }, 10);
    ASSERT_EQ(line.rfind("listening on 127.0.0.1:", 0), 0u) << line;
    env.machine_conf("name = agent1\ndomain = e2e\nserver_list = " + line.substr(13, line.find('\n') - 13) +
                     "\nlogfile = " + (dir / "agent.log").string() + "\nloglevel = 0\n" + more_conf);
}

}  // namespace zp::test
