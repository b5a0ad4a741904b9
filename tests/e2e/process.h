// process.h - child processes for the end-to-end tests: start with extra
// environment, a working directory and output files, wait with a bound,
// stop for sure at the end of the test.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace zp::test {

class process {
public:
    process() = default;
    process(const process&) = delete;
    process& operator=(const process&) = delete;
    ~process() { stop(); }

    // Starts `argv` with the environment changed by `env` (name -> value), in
    // `cwd`. Standard output goes to a pipe read by read_line (when
    // `stdout_file` is empty) or to that file; standard error to `stderr_file`
    // (or /dev/null). False when the program could not be started.
    bool start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
               const std::string& cwd, const std::string& stdout_file, const std::string& stderr_file) {
        stop();
        exit_code_.reset();
        buffer_.clear();
        std::vector<std::string> envs;
        for (char** e = environ; *e; ++e) {
            std::string kv = *e;
            std::string name = kv.substr(0, kv.find('='));
            if (!env.count(name)) envs.push_back(kv);
        }
        for (const auto& [k, v] : env) envs.push_back(k + "=" + v);
        std::vector<char*> args, envp;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        for (const auto& e : envs) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        int fds[2] = {-1, -1};
        if (stdout_file.empty() && ::pipe2(fds, O_CLOEXEC) != 0) return false;
        pid_ = ::fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            if (::chdir(cwd.c_str()) != 0) _exit(126);
            int out = stdout_file.empty() ? fds[1] : ::open(stdout_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            int errfd = ::open(stderr_file.empty() ? "/dev/null" : stderr_file.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                               0644);
            int in = ::open("/dev/null", O_RDONLY);
            if (out < 0 || errfd < 0 || in < 0) _exit(126);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(errfd, 2);
            ::execve(args[0], args.data(), envp.data());
            _exit(127);
        }
        if (fds[1] >= 0) ::close(fds[1]);
        out_ = fds[0];
        return true;
    }

    // One line of standard output (without the line feed), waiting at most
    // `seconds`; empty on time-out or end.
    std::string read_line(int seconds) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < end) {
            size_t nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char b[256];
            ssize_t n = ::read(out_, b, sizeof b);
            if (n <= 0) return {};
            buffer_.append(b, static_cast<size_t>(n));
        }
        return {};
    }

    // The exit code once the process ended within `seconds` (a signal gives
    // 128 + its number), else nothing.
    std::optional<int> wait_exit(int seconds) {
        if (exit_code_) return exit_code_;
        if (pid_ <= 0) return std::nullopt;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        for (;;) {
            int status = 0;
            pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return exit_code_;
            }
            if (std::chrono::steady_clock::now() >= end) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    bool running() { return pid_ > 0 && !wait_exit(0); }

    // Terminates the process (SIGTERM, then SIGKILL after 3 s) and reaps it.
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            if (!wait_exit(3)) {
                ::kill(pid_, SIGKILL);
                (void)wait_exit(3);
            }
        }
        if (out_ >= 0) ::close(out_);
        out_ = -1;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
    std::optional<int> exit_code_;
};

}  // namespace zp::test
