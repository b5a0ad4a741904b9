// Tests of the command line, the configuration start-up builds, the server list
// and host id it settles, and the client's reply display.
#include "core/startup.h"

#include <gtest/gtest.h>

#include "core/log.h"
#include "core/variables.h"
#include "test_env.h"

namespace zp {
namespace {

struct parsed {
    parse_result result;
    startup_state st;
    cmdline_options opt;
};

parsed parse(std::vector<const char*> args) {
    args.insert(args.begin(), "quillmar");
    parsed p;
    p.result = parse_command_line(static_cast<int>(args.size()), args.data(), p.st, p.opt);
    return p;
}

TEST(CommandLine, DowntimeMinutes) {
    auto p = parse({"--down"});
    EXPECT_EQ(p.result, parse_result::run);
    EXPECT_EQ(p.st.mode, client_mode::downtime);
    EXPECT_EQ(p.st.downtime_minutes, 30);
    EXPECT_FALSE(p.st.log_to_file);
    EXPECT_EQ(parse({"--down=0"}).st.downtime_minutes, 1);
    EXPECT_EQ(parse({"--down="}).st.downtime_minutes, 1);
    EXPECT_EQ(parse({"--down=abc"}).st.downtime_minutes, 1);
    EXPECT_EQ(parse({"--down=0x10"}).st.downtime_minutes, 16);
    EXPECT_EQ(parse({"--down=45"}).st.downtime_minutes, 45);
    EXPECT_EQ(parse({"--down=99999999999"}).st.downtime_minutes, INT32_MAX);
    auto r = parse({"--rescan", "--quiet"});
    EXPECT_EQ(r.st.mode, client_mode::rescan);
    EXPECT_TRUE(r.st.quiet);
    EXPECT_FALSE(r.st.log_to_file);
}

TEST(CommandLine, OptionWithoutItsValuePrintsUsage) {
    for (const char* opt : {"-c", "-s", "-d", "-p", "-l", "-t", "-f", "-m", "--reg-key", "--comment"})
        EXPECT_EQ(parse({"-v", opt}).result, parse_result::usage) << opt;
    EXPECT_EQ(parse({"--parent-pipes", "5"}).result, parse_result::usage);
    EXPECT_EQ(parse({"--parent-pipes"}).result, parse_result::usage);
}

TEST(CommandLine, UnknownOrGluedArgumentsPrintUsage) {
    for (const char* a : {"-cname", "-vV", "-x", "--down5", "--Down", "", "v"})
        EXPECT_EQ(parse({a}).result, parse_result::usage) << a;
}

TEST(CommandLine, VersionStopsAtItsPlace) {
    EXPECT_EQ(parse({"-V", "--bogus"}).result, parse_result::version);
    EXPECT_EQ(parse({"--bogus", "-V"}).result, parse_result::usage);
}

TEST(CommandLine, ValuesAndFlags) {
    auto p = parse({"-c", "n", "-s", "a,b", "-d", "dom", "-p", "99", "-l", "2", "-t", "vars", "-f", "cf", "-m",
                    "log", "--reg-key", "Other", "--parent-pipes", "12", "34", "--upgrade-failed",
                    "--fake-results", "--comment", "why not", "-v"});
    ASSERT_EQ(p.result, parse_result::run);
    EXPECT_EQ(p.opt.name, "n");
    EXPECT_EQ(p.opt.server_list, "a,b");
    EXPECT_EQ(p.opt.domain, "dom");
    EXPECT_EQ(p.opt.port, "99");
    EXPECT_EQ(p.opt.log_level, "2");
    EXPECT_EQ(p.opt.variables_file, "vars");
    EXPECT_EQ(p.opt.config_file, "cf");
    EXPECT_EQ(p.opt.log_file, "log");
    EXPECT_EQ(p.st.reg_key, "Other");
    EXPECT_EQ(p.st.parent_pipe_in, 12u);
    EXPECT_EQ(p.st.parent_pipe_out, 34u);
    EXPECT_TRUE(p.st.upgrade_failed);
    EXPECT_TRUE(p.st.fake_results);
    EXPECT_EQ(p.st.downtime_comment, "why not");
    EXPECT_FALSE(p.st.log_to_file);
    EXPECT_EQ(p.st.mode, client_mode::none);
}

TEST(CommandLine, RegressionTestReadsUpToFourNumbers) {
    auto p = parse({"--regression-test", "0x10", "-5", "077"});
    ASSERT_EQ(p.result, parse_result::run);
    EXPECT_TRUE(p.st.regression_test);
    EXPECT_EQ(p.st.fake_memory_items, 16);
    EXPECT_EQ(p.st.fake_start_time, -5);
    EXPECT_EQ(p.st.fake_end_time, 63);
    EXPECT_EQ(p.st.repeat_count, 1000);
    auto all = parse({"--regression-test", "1", "2", "3", "4", "-v"});
    EXPECT_EQ(all.st.repeat_count, 4);
    EXPECT_FALSE(all.st.log_to_file);
}

TEST(CommandLine, UsageTextIsExact) {
    EXPECT_EQ(usage_text("/x/quillmar"),
              "Usage:  /x/quillmar  [-v][-V] [-f <config file>]\n"
              "                 [-c <name>] [-d <domain>]\n"
              "                 [-s <server name>] [-p <server port>]\n"
              "                 [-t <variables file>]\n"
              "                 [-l <log level>]\n"
              "                 [-m <log file>]\n"
              "                 [--down[=<minutes>]] --quiet\n"
              "                 [--comment \"downtime reason\"]\n");
}

TEST(ClientRequest, PipeTextsCarryMinutesAndComment) {
    startup_state st;
    st.mode = client_mode::downtime;
    st.downtime_minutes = 30;
    EXPECT_EQ(pipe_request_text(st), "DOWN 30\n");
    st.downtime_comment = " backup";
    EXPECT_EQ(pipe_request_text(st), "DOWN 30 backup");
    st.mode = client_mode::rescan;
    EXPECT_EQ(pipe_request_text(st), "RESCAN");
}

TEST(ClientRequest, ReplyDecidesExitCode) {
    struct {
        const char* reply;
        int code;
        const char* shown;
    } cases[] = {
        {"OK", 1, "Too short message from server received\n"},
        {"", 1, "Too short message from server received\n"},
        {"OK d", 0, "OK d\n"},
        {"OK  downtime set", 0, "OK  downtime set\n"},
        {"OKAY fine", 1, "OKAY fine\n"},
        {"FAILED Could not connect to server: x", 1, "FAILED Could not connect to server: x\n"},
    };
    for (auto& c : cases) {
        ::testing::internal::CaptureStderr();
        int code = show_client_reply(client_mode::downtime, c.reply);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.shown);
        EXPECT_EQ(code, c.code) << c.reply;
    }
}

class StartupConfig : public ::testing::Test {
protected:
    void SetUp() override {
        reset_config_from_user();
        clear_variables();
        set_log_level(4);  // quiet unless a test captures the log
    }
    void TearDown() override {
        reset_config_from_user();
        clear_variables();
        set_log_level(0);
    }
    cmdline_options full_options() const {
        cmdline_options o;
        o.name = "n";
        o.server_list = "s";
        o.domain = "d";
        o.variables_file = env.path("v");
        o.log_file = env.path("l");
        return o;
    }
    test::temp_env env;
};

TEST_F(StartupConfig, OptionsAloneBuildTheRecord) {
    cmdline_options o = full_options();
    config c = load_configuration("ZPAgent", o);
    EXPECT_EQ(c.name, "n");
    EXPECT_EQ(c.server_list, "s");
    EXPECT_EQ(c.domain, "d");
    EXPECT_EQ(c.variables_file, env.path("v"));
    EXPECT_EQ(c.log_file, env.path("l"));
    EXPECT_EQ(c.server_port, 3241);
    EXPECT_EQ(c.log_level, 1);
    EXPECT_FALSE(c.custom_chk_conf);
    o.port = "0";
    o.log_level = "0";
    c = load_configuration("ZPAgent", o);
    EXPECT_EQ(c.server_port, 3241);
    EXPECT_EQ(c.log_level, 1) << "-l 0 without a configuration file gives 1";
    o.port = "4000";
    o.log_level = "3";
    c = load_configuration("ZPAgent", o);
    EXPECT_EQ(c.server_port, 4000);
    EXPECT_EQ(c.log_level, 3);
}

TEST_F(StartupConfig, IncompleteOptionsWithoutFileAreFatal) {
    using field = std::optional<std::string> cmdline_options::*;
    for (field f : {&cmdline_options::name, &cmdline_options::server_list, &cmdline_options::domain,
                    &cmdline_options::variables_file, &cmdline_options::log_file}) {
        cmdline_options o = full_options();
        (o.*f).reset();
        EXPECT_EXIT(
            {
                log_to_stderr();
                set_log_level(0);
                load_configuration("ZPAgent", o);
            },
            ::testing::ExitedWithCode(1), "Fatal error: Unable to read agent configuration\\.");
    }
}

TEST_F(StartupConfig, OptionsOverFileAreLogged) {
    env.machine_conf("server_list = file\ndomain = fdom\nname = fname\nserver_port = 5000\nloglevel = 2\n");
    cmdline_options o;
    o.name = "cname";
    o.server_list = "cs";
    o.domain = "cd";
    o.variables_file = "/tmp/cv";
    o.port = "0";
    o.log_level = "0";
    o.log_file = "/tmp/ignored.log";
    test::captured_log cap(env, 0);
    config c = load_configuration("ZPAgent", o);
    EXPECT_EQ(c.name, "cname");
    EXPECT_EQ(c.server_list, "cs");
    EXPECT_EQ(c.domain, "cd");
    EXPECT_EQ(c.variables_file, "/tmp/cv");
    EXPECT_EQ(c.server_port, 3241);
    EXPECT_EQ(c.log_level, 0) << "-l 0 over a configuration file gives 0";
    EXPECT_EQ(c.log_file, "/var/log/zerpal/agent.log") << "-m does not replace the file's log";
    for (const char* line : {"Config: Using specified name \"cname\"", "Config: Using specified server-names \"cs\"",
                             "Config: Using specified domain \"cd\"",
                             "Config: Using specified variables file \"/tmp/cv\"",
                             "Config: Couldn't parse server-port. Using default",
                             "Config: Using specified loglevel: 0"})
        EXPECT_TRUE(cap.has(line)) << line;

    cmdline_options port;
    port.port = "6000";
    EXPECT_EQ(load_configuration("ZPAgent", port).server_port, 6000);
    EXPECT_TRUE(cap.has("Config: Using specified server-port 6000"));
}

TEST_F(StartupConfig, ConfigFileOptionChangesNothing) {
    env.machine_conf("server_list = a\ndomain = d\nloglevel = 2\n");
    cmdline_options with_f;
    with_f.config_file = "/no/such/file.conf";
    config a = load_configuration("ZPAgent", with_f);
    config b = load_configuration("ZPAgent", cmdline_options{});
    EXPECT_EQ(a.server_list, b.server_list);
    EXPECT_EQ(a.log_level, b.log_level);
    EXPECT_EQ(a.variables_file, b.variables_file);
}

TEST_F(StartupConfig, ClusterListReplacesUnchangedConfiguredList) {
    ASSERT_FALSE(set_variable("server_list_conf", "a,b"));
    ASSERT_FALSE(set_variable("server_list_cluster", "c1:4000,c2:4001,"));
    config c;
    c.server_list = "a,b";
    current_server() = 3;
    settle_server_list(c);
    ASSERT_EQ(c.server_count(), 2);
    EXPECT_EQ(c.servers[0].host, "c1");
    EXPECT_EQ(c.servers[1].port, 4001);
    EXPECT_EQ(current_server(), 0);
}

TEST_F(StartupConfig, ChangedConfiguredListWinsOverCluster) {
    ASSERT_FALSE(set_variable("server_list_conf", "a,b"));
    ASSERT_FALSE(set_variable("server_list_cluster", "c1:4000"));
    config c;
    c.server_list = "new";
    settle_server_list(c);
    ASSERT_EQ(c.server_count(), 1);
    EXPECT_EQ(c.servers[0].host, "new");
    EXPECT_EQ(*get_variable("server_list_conf"), "new");
}

TEST_F(StartupConfig, EmptyClusterListFallsBackToConfiguredList) {
    ASSERT_FALSE(set_variable("server_list_conf", "a"));
    ASSERT_FALSE(set_variable("server_list_cluster", ""));
    config c;
    c.server_list = "a";
    settle_server_list(c);
    ASSERT_EQ(c.server_count(), 1);
    EXPECT_EQ(c.servers[0].host, "a");
}

TEST_F(StartupConfig, ServerListWithoutServersIsFatal) {
    config c;
    c.server_list = " , ";
    EXPECT_EXIT(
        {
            log_to_stderr();
            set_log_level(0);
            settle_server_list(c);
        },
        ::testing::ExitedWithCode(1), "Fatal error: Unable to read agent configuration\\.");
}

TEST_F(StartupConfig, HostIdKeptOnlyForTheSameName) {
    ASSERT_FALSE(set_variable("name_conf", "web1"));
    ASSERT_FALSE(set_variable("host_id", "H-17"));
    config c;
    c.name = "web1";
    settle_host_id(c);
    EXPECT_EQ(c.host_id, "H-17");

    c.name = "web2";
    settle_host_id(c);
    EXPECT_FALSE(c.host_id);
    EXPECT_EQ(*get_variable("name_conf"), "web2");
}

TEST_F(StartupConfig, AbsentNameMatchesEmptyNameConf) {
    ASSERT_FALSE(set_variable("name_conf", ""));
    ASSERT_FALSE(set_variable("host_id", "auto"));
    config c;
    settle_host_id(c);
    EXPECT_EQ(c.host_id, "auto");
    delete_variable("host_id");
    settle_host_id(c);
    EXPECT_FALSE(c.host_id);
}

}  // namespace
}  // namespace zp
