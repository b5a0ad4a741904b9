// Tests that run the built executable as a user would: usage and version
// texts, exit codes, fatal configuration errors and command-line overrides.
#include <algorithm>

#include <gtest/gtest.h>

#include "core/agent.h"
#include "core/variables.h"
#include "test_env.h"

namespace zp {
namespace {

class Agent : public ::testing::Test {
protected:
    test::temp_env env;
    void good_conf(const std::string& extra = "") {
        env.machine_conf("server_list = alpha:3241, beta\ndomain = example\nlogfile = " + env.path("agent.log") +
                         "\n" + extra);
    }
};

TEST_F(Agent, UnknownArgumentPrintsUsageAndExitsZero) {
    auto r = test::run_agent({"--bogus"});
    EXPECT_EQ(r.exit_code, 0);
    std::string exe = test::agent_path();
    EXPECT_EQ(r.err, "Usage:  " + exe +
                         "  [-v][-V] [-f <config file>]\n"
                         "                 [-c <name>] [-d <domain>]\n"
                         "                 [-s <server name>] [-p <server port>]\n"
                         "                 [-t <variables file>]\n"
                         "                 [-l <log level>]\n"
                         "                 [-m <log file>]\n"
                         "                 [--down[=<minutes>]] --quiet\n"
                         "                 [--comment \"downtime reason\"]\n");
    auto c = test::run_agent({"-v", "-c"});
    EXPECT_EQ(c.exit_code, 0);
    EXPECT_EQ(c.err, r.err);
}

TEST_F(Agent, VersionBanner) {
    auto r = test::run_agent({"-V"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, std::string("\n Zerpal Agent : ") + version_text() + "\n\n");
}

TEST_F(Agent, MissingConfigurationIsFatal) {
    auto r = test::run_agent({"-v", "-c", "n", "-s", "srv", "-d", "dom", "-t", env.path("vars")});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find(": Fatal error: Unable to read agent configuration.\n"), std::string::npos) << r.err;
}

TEST_F(Agent, StartsFromOptionsAloneAndRecordsVariables) {
    std::string vars = env.path("vars/agent.variables");
    auto r = test::run_agent({"-c", "web1", "-s", "alpha", "-d", "dom", "-t", vars, "-m", env.path("opt.log")});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::string log = test::read_file(env.path("opt.log"));
    EXPECT_NE(log.find("Variables file (" + vars + ") will be created."), std::string::npos) << log;
    EXPECT_NE(log.find("Start-up complete"), std::string::npos) << log;
    std::vector<std::pair<std::string, std::string>> parsed;
    ASSERT_FALSE(parse_variables(test::read_file(vars), parsed));
    EXPECT_NE(std::find(parsed.begin(), parsed.end(), std::pair<std::string, std::string>{"name_conf", "web1"}),
              parsed.end());
    EXPECT_NE(std::find(parsed.begin(), parsed.end(),
                        std::pair<std::string, std::string>{"server_list_conf", "alpha"}),
              parsed.end());
}

TEST_F(Agent, LogsToConfiguredFileUnlessVerbose) {
    good_conf("loglevel = 1\n");
    auto r = test::run_agent({});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(test::read_file(env.path("agent.log")).find("Start-up complete"), std::string::npos);
    EXPECT_EQ(r.err.find("Start-up complete"), std::string::npos);

    std::remove(env.path("agent.log").c_str());
    auto v = test::run_agent({"-v"});
    EXPECT_EQ(v.exit_code, 0);
    EXPECT_NE(v.err.find("Start-up complete"), std::string::npos);
    EXPECT_FALSE(test::exists(env.path("agent.log")));

    auto m = test::run_agent({"-v", "-m", env.path("m.log")});
    EXPECT_NE(test::read_file(env.path("m.log")).find("Start-up complete"), std::string::npos);
}

TEST_F(Agent, LogLevelAndPortOverrides) {
    good_conf("loglevel = 1\nserver_port = 5000\n");
    auto quiet = test::run_agent({"-v", "-l", "2", "-p", "0"});
    EXPECT_EQ(quiet.exit_code, 0);
    EXPECT_NE(quiet.err.find("Config: Couldn't parse server-port. Using default"), std::string::npos);
    EXPECT_NE(quiet.err.find("Config: Using specified loglevel: 2"), std::string::npos);
    EXPECT_EQ(quiet.err.find("Start-up complete"), std::string::npos) << "level 1 is below -l 2";

    auto chatty = test::run_agent({"-v", "-l", "0", "-p", "4100"});
    EXPECT_NE(chatty.err.find("Config: Using specified server-port 4100"), std::string::npos);
    EXPECT_NE(chatty.err.find("Start-up complete"), std::string::npos);
}

TEST_F(Agent, BadPortInServerListIsFatal) {
    env.machine_conf("server_list = alpha:12ab\ndomain = d\n");
    auto r = test::run_agent({"-v"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("Fatal error: Could not parse port number"), std::string::npos);
}

TEST_F(Agent, DamagedVariablesFileIsKeptAsideAndAgentStarts) {
    good_conf("variable_file = " + env.path("state/v") + "\n");
    test::write_file(env.path("state/v"), "not a variables file");
    auto r = test::run_agent({"-v"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("Unable to read variables: "), std::string::npos);
    EXPECT_NE(r.err.find("moved it to \"" + env.path("state/v") + ".corrupt-"), std::string::npos) << r.err;
    std::vector<std::pair<std::string, std::string>> parsed;
    EXPECT_FALSE(parse_variables(test::read_file(env.path("state/v")), parsed));
}

TEST_F(Agent, UserConfigurationKeepsVariablesInUserStateDir) {
    good_conf();
    env.user_conf("name = from-user\n");
    auto r = test::run_agent({"-v"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("Found key in current user's registry - will store variables there too"), std::string::npos);
    EXPECT_TRUE(test::exists(env.path("ustate/ZPAgent.variables")));
    EXPECT_FALSE(test::exists(env.path("state/ZPAgent.variables")));
}

TEST_F(Agent, HostIdSurvivesRestartWithSameName) {
    good_conf("name = web1\n");
    test::write_file(env.path("state/ZPAgent.variables"),
                     "zerpal-variables 1\nhost_id H-9\nname_conf web1\nkeep me\nend 3\n");
    auto r = test::run_agent({"-v"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::pair<std::string, std::string>> parsed;
    ASSERT_FALSE(parse_variables(test::read_file(env.path("state/ZPAgent.variables")), parsed));
    EXPECT_NE(std::find(parsed.begin(), parsed.end(), std::pair<std::string, std::string>{"host_id", "H-9"}),
              parsed.end());
    EXPECT_NE(std::find(parsed.begin(), parsed.end(), std::pair<std::string, std::string>{"keep", "me"}),
              parsed.end());
}

TEST_F(Agent, ClientWithoutAgentOrServerFailsWithExitOne) {
    good_conf();
    auto down = test::run_agent({"--down=5", "--quiet", "--comment", "patching"});
    EXPECT_EQ(down.exit_code, 1);
    EXPECT_NE(down.err.find("[cmd] could not connect to running agent: "), std::string::npos);
    EXPECT_NE(down.err.find("\nFAILED Could not connect to server: "), std::string::npos) << down.err;

    auto rescan = test::run_agent({"--rescan"});
    EXPECT_EQ(rescan.exit_code, 1);
    EXPECT_NE(rescan.err.find("\nFAILED Could not connect to server: "), std::string::npos) << rescan.err;
}

}  // namespace
}  // namespace zp
