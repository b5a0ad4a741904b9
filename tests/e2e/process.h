// process.h - child processes for the end-to-end tests: start in a working
// directory with output files, wait with a bound, stop for sure at the end of
// the test. Children inherit the test's environment.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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

}  // namespace zp::test
