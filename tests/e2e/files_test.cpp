// files_test.cpp - the executable with odd local files: what is not a regular
// file is a fatal error naming it, never a hang and never renamed; a variables
// file the agent may not read stays where it is.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "process.h"
#include "tests/support/files.h"

namespace zp {
namespace {

namespace fs = std::filesystem;

struct run_result {
    int exit_code = -1;
    std::string out;  // standard error and the log file
};

// Runs the agent (bounded to 10 s, as `prefix` + agent when given) with
// options only, its log in `log`.
run_result run(const std::string& prefix, const std::vector<std::string>& args, const std::string& log) {
    std::string cmd = "timeout -k 2 10 " + prefix + "'" + std::string(ZP_BINARY_DIR) + "/agent/quillmar'";
    for (const auto& a : args) cmd += " '" + a + "'";
    auto [code, out] = test::shell(cmd + " 2>&1 >/dev/null </dev/null");
    return {code, out + (fs::is_regular_file(log) ? test::read_file(log) : "")};
}

// The names in a directory, sorted.
std::vector<std::string> names(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

TEST(OddFiles, WhatIsNotARegularFileIsFatalAndKeptInPlace) {
    test::temp_env env;
    auto p = [&](const char* rel) { return env.path(rel); };
    fs::create_directories(p("odd/dir"));
    ASSERT_EQ(::mkfifo(p("odd/fifo").c_str(), 0600), 0);
    fs::create_symlink("/dev/null", p("odd/device"));  // a device reached through a link of our own
    const std::string log = p("agent.log");
    struct file_case {
        const char* name;
        const char* variables;    // -t
        const char* log_file;     // -m
        const char* config_file;  // placed as the machine configuration file
        std::string fatal;
    } cases[] = {
        {"variables FIFO", "odd/fifo", nullptr, nullptr,
         "Variables file \"" + p("odd/fifo") + "\" is a FIFO, not a regular file"},
        {"variables device", "odd/device", nullptr, nullptr,
         "Variables file \"" + p("odd/device") + "\" is a character device, not a regular file"},
        {"variables directory", "odd/dir", nullptr, nullptr,
         "Variables file \"" + p("odd/dir") + "\" is a directory, not a regular file"},
        {"log FIFO", "vars", "odd/fifo", nullptr,
         "Log file \"" + p("odd/fifo") + "\" is a FIFO, not a regular file or a terminal"},
        {"configuration FIFO", "vars", nullptr, "odd/fifo",
         "Configuration file \"" + p("etc/ZPAgent.conf") + "\" is a FIFO, not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(p("etc/ZPAgent.conf"));
        if (c.config_file) fs::create_symlink(p(c.config_file), p("etc/ZPAgent.conf"));
        fs::remove(log);
        auto r = run("", {"-c", "h1", "-s", "alpha", "-d", "dom", "-t", p(c.variables), "-m",
                          c.log_file ? p(c.log_file) : log},
                     log);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.out.find("Fatal error: " + c.fatal), std::string::npos) << r.out;
        EXPECT_EQ(names(p("odd")), (std::vector<std::string>{"device", "dir", "fifo"})) << "nothing renamed";
    }
}

TEST(OddFiles, UnreadableVariablesFileIsFatalAndKept) {
    test::temp_env env;
    // The agent runs as an unprivileged user: root reads whatever it likes.
    std::string prefix = ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    ::chmod(env.root.c_str(), 0755);
    const std::string vars = env.path("state/agent.variables"), log = env.path("state/agent.log");
    ::chmod(env.path("state").c_str(), 0777);
    test::write_file(vars, "zerpal-variables 1\nhost_id h-1\nend 1\n");
    ::chmod(vars.c_str(), 0600);
    if (::geteuid() != 0) ::chmod(vars.c_str(), 0);
    auto r = run(prefix, {"-c", "h1", "-s", "alpha", "-d", "dom", "-t", vars, "-m", log}, log);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("Fatal error: Cannot read variables file \"" + vars + "\": Permission denied"),
              std::string::npos)
        << r.out;
    ::chmod(vars.c_str(), 0600);
    EXPECT_EQ(test::read_file(vars), "zerpal-variables 1\nhost_id h-1\nend 1\n");
    EXPECT_EQ(names(env.path("state")), (std::vector<std::string>{"agent.log", "agent.variables"}))
        << "nothing moved aside";
}

}  // namespace
}  // namespace zp
