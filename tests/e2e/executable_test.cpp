// Tests that run the built executable as a user would: usage and version
// texts, exit codes, fatal configuration errors and command-line overrides.
#include <algorithm>

#include <gtest/gtest.h>

#include "core/agent.h"
#include "core/variables.h"
#include "process.h"
#include "tests/support/files.h"

namespace zp {
namespace {

const std::string agent = std::string(ZP_BINARY_DIR) + "/agent/quillmar";

struct run_result {
    int exit_code = -1;
    std::string err;  // standard error
};

// Runs the agent with `args` in the current environment; no argument may hold "'".
// With `stop_after` seconds the agent, which then runs its main loop, is sent
// SIGTERM after that long; the exit code is then the agent's own.
run_result run_agent(const std::vector<std::string>& args, int stop_after = 0) {
    std::string cmd = "'" + agent + "'";
    if (stop_after > 0) cmd = "timeout --preserve-status -k 20 -s TERM " + std::to_string(stop_after) + " " + cmd;
    for (const auto& a : args) cmd += " '" + a + "'";
    auto [code, err] = test::shell(cmd + " 2>&1 >/dev/null </dev/null");
    return {code, err};
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class Agent : public ::testing::Test {
protected:
    test::temp_env env;
    void good_conf(const std::string& extra = "") {
        env.machine_conf("server_list = alpha:3241, beta\ndomain = example\nlogfile = " + env.path("agent.log") +
                         "\n" + extra);
    }
};

TEST_F(Agent, UnknownArgumentOrMissingValuePrintsUsageAndExitsZero) {
    for (auto args : {std::vector<std::string>{"--bogus"}, std::vector<std::string>{"-v", "-c"}}) {
        auto r = run_agent(args);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.err, "Usage:  " + agent +
                             "  [-v][-V] [-f <config file>]\n"
                             "                 [-c <name>] [-d <domain>]\n"
                             "                 [-s <server name>] [-p <server port>]\n"
                             "                 [-t <variables file>]\n"
                             "                 [-l <log level>]\n"
                             "                 [-m <log file>]\n"
                             "                 [--down[=<minutes>]] --quiet\n"
                             "                 [--comment \"downtime reason\"]\n");
    }
    auto v = run_agent({"-V"});
    EXPECT_EQ(v.exit_code, 0);
    EXPECT_EQ(v.err, std::string("\n Zerpal Agent : ") + version_text() + "\n\n");
}

TEST_F(Agent, StartsFromOptionsAloneAndRecordsVariables) {
    std::string vars = env.path("vars/agent.variables");
    auto r = run_agent({"-c", "web1", "-s", "alpha", "-d", "dom", "-t", vars, "-m", env.path("opt.log")}, 2);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::string log = test::read_file(env.path("opt.log"));
    EXPECT_TRUE(has(log, "Variables file (" + vars + ") will be created.")) << log;
    EXPECT_TRUE(has(log, "Zerpal agent name: dom: web1")) << log;
    EXPECT_TRUE(has(log, "Agent shutting down.")) << "a stop signal ends the loop cleanly\n" << log;
    std::vector<std::pair<std::string, std::string>> parsed;
    ASSERT_FALSE(parse_variables(test::read_file(vars), parsed));
    for (std::pair<std::string, std::string> v : {std::pair{"name_conf", "web1"}, {"server_list_conf", "alpha"}})
        EXPECT_NE(std::find(parsed.begin(), parsed.end(), v), parsed.end()) << v.first;
}

TEST_F(Agent, LogsToConfiguredFileUnlessVerboseAtTheLevelOfTheOption) {
    good_conf("loglevel = 1\nserver_port = 5000\n");
    auto r = run_agent({}, 2);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(has(test::read_file(env.path("agent.log")), "Zerpal agent name: "));
    EXPECT_FALSE(has(r.err, "Zerpal agent name: "));

    std::remove(env.path("agent.log").c_str());
    auto v = run_agent({"-v", "-p", "4100"}, 2);
    EXPECT_TRUE(has(v.err, "Config: Using specified server-port 4100"));
    EXPECT_TRUE(has(v.err, "Zerpal agent name: "));
    EXPECT_FALSE(test::exists(env.path("agent.log")));
    auto quiet = run_agent({"-v", "-l", "2", "-m", env.path("m.log")}, 2);
    EXPECT_TRUE(test::exists(env.path("m.log")));
    EXPECT_FALSE(has(test::read_file(env.path("m.log")), "Zerpal agent name: ")) << "level 1 is below -l 2";
}

TEST_F(Agent, ClientWithoutAgentOrServerFailsWithExitOne) {
    good_conf();
    for (auto args : {std::vector<std::string>{"--down=5", "--quiet", "--comment", "patching"}, {"--rescan"}}) {
        auto r = run_agent(args);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_TRUE(has(r.err, "[cmd] could not connect to running agent: "));
        EXPECT_TRUE(has(r.err, "\nFAILED Could not connect to server: ")) << r.err;
    }
}

}  // namespace
}  // namespace zp
