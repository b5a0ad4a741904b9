// Tests of the command line, the configuration start-up builds, the server list
// and host id it settles, and the client's reply display.
#include "core/startup.h"

#include <gtest/gtest.h>

#include "core/variables.h"
#include "tests/support/fatal.h"
#include "tests/support/files.h"
#include "tests/support/log_capture.h"

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

TEST(CommandLine, UsageOrVersionForWhatItCannotRun) {
    struct {
        std::vector<const char*> args;
        parse_result want;
    } cases[] = {
        {{"-cname"}, parse_result::usage}, {{"-vV"}, parse_result::usage}, {{"--down5"}, parse_result::usage},
        {{"--Down"}, parse_result::usage}, {{""}, parse_result::usage},     {{"v"}, parse_result::usage},
        {{"--parent-pipes", "5"}, parse_result::usage},   {{"-V", "--bogus"}, parse_result::version},
        {{"--bogus", "-V"}, parse_result::usage},
    };
    for (auto& c : cases) EXPECT_EQ(parse(c.args).result, c.want) << c.args[0];
    // Every option with a value lacks it as the last argument.
    for (const char* opt : {"-c", "-s", "-d", "-p", "-l", "-t", "-f", "-m", "--reg-key", "--comment"})
        EXPECT_EQ(parse({"-v", opt}).result, parse_result::usage) << opt;
}

TEST(CommandLine, DowntimeMinutesReadWithPrefixAndNeverZero) {
    std::pair<const char*, int32_t> cases[] = {{"--down", 30},    {"--down=0", 1},  {"--down=", 1},
                                               {"--down=abc", 1}, {"--down=0x10", 16}, {"--down=45", 45},
                                               {"--down=99999999999", INT32_MAX}};
    for (auto [arg, minutes] : cases) {
        auto p = parse({arg});
        EXPECT_EQ(p.st.mode, client_mode::downtime) << arg;
        EXPECT_EQ(p.st.downtime_minutes, minutes) << arg;
        EXPECT_FALSE(p.st.log_to_file) << arg;
    }
    EXPECT_EQ(parse({"--rescan"}).st.mode, client_mode::rescan);
}

TEST(CommandLine, RegressionTestReadsUpToFourNumbers) {
    auto p = parse({"--regression-test", "0x10", "-5", "077"});
    ASSERT_EQ(p.result, parse_result::run);
    EXPECT_TRUE(p.st.regression_test);
    EXPECT_EQ(p.st.fake_memory_items, 16);
    EXPECT_EQ(p.st.fake_start_time, -5);
    EXPECT_EQ(p.st.fake_end_time, 63);
    EXPECT_EQ(p.st.repeat_count, 1000);
    EXPECT_EQ(parse({"--regression-test", "1", "2", "3", "4", "-v"}).st.repeat_count, 4);
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

TEST_F(StartupConfig, OptionsAloneBuildTheRecordWithZeroMeaningDefault) {
    cmdline_options o = full_options();
    o.port = "0";
    o.log_level = "0";
    config c = load_configuration("ZPAgent", o);
    EXPECT_EQ(c.name, "n");
    EXPECT_EQ(c.log_file, env.path("l"));
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
        EXPECT_FATAL(load_configuration("ZPAgent", o), "Unable to read agent configuration\\.");
    }
}

TEST_F(StartupConfig, OptionsOverFileAreLogged) {
    env.machine_conf("server_list = file\ndomain = fdom\nname = fname\nserver_port = 5000\nloglevel = 2\n");
    cmdline_options o = full_options();
    o.variables_file = "/tmp/cv";
    o.port = "0";
    o.log_level = "0";
    test::log_capture cap(0);
    config c = load_configuration("ZPAgent", o);
    EXPECT_EQ(c.server_list, "s");
    EXPECT_EQ(c.variables_file, "/tmp/cv");
    EXPECT_EQ(c.server_port, 3241);
    EXPECT_EQ(c.log_level, 0) << "-l 0 over a configuration file gives 0";
    EXPECT_EQ(c.log_file, "/var/log/zerpal/agent.log") << "-m does not replace the file's log";
    for (const char* line : {"Config: Using specified name \"n\"", "Config: Using specified server-names \"s\"",
                             "Config: Using specified domain \"d\"", "Config: Using specified variables file \"/tmp/cv\"",
                             "Config: Couldn't parse server-port. Using default", "Config: Using specified loglevel: 0"})
        EXPECT_TRUE(cap.has(line)) << line;
}

TEST_F(StartupConfig, ClusterListReplacesOnlyAnUnchangedConfiguredList) {
    struct {
        const char *conf, *cluster, *configured;
        std::vector<std::string> hosts;
    } cases[] = {
        {"a,b", "c1:4000,c2:4001,", "a,b", {"c1", "c2"}},
        {"a,b", "c1:4000", "new", {"new"}},  // the configured list changed
        {"a", "", "a", {"a"}},               // an empty cluster list names no server
    };
    for (auto& t : cases) {
        ASSERT_FALSE(set_variable("server_list_conf", t.conf));
        ASSERT_FALSE(set_variable("server_list_cluster", t.cluster));
        config c;
        c.server_list = t.configured;
        current_server() = 3;
        settle_server_list(c);
        std::vector<std::string> hosts;
        for (auto& s : c.servers) hosts.push_back(s.host);
        EXPECT_EQ(hosts, t.hosts) << t.configured;
        EXPECT_EQ(current_server(), 0);
        EXPECT_EQ(*get_variable("server_list_conf"), t.configured);
    }
}

TEST_F(StartupConfig, ServerListWithoutServersIsFatal) {
    config c;
    c.server_list = " , ";
    EXPECT_FATAL(settle_server_list(c), "Unable to read agent configuration\\.");
}

TEST_F(StartupConfig, HostIdKeptOnlyForTheSameName) {
    ASSERT_FALSE(set_variable("name_conf", ""));
    ASSERT_FALSE(set_variable("host_id", "H-17"));
    config c;  // an absent name matches an empty name_conf
    settle_host_id(c);
    EXPECT_EQ(c.host_id, "H-17");
    c.name = "web2";
    settle_host_id(c);
    EXPECT_FALSE(c.host_id);
    EXPECT_EQ(*get_variable("name_conf"), "web2");
    delete_variable("host_id");
    settle_host_id(c);
    EXPECT_FALSE(c.host_id);
}

}  // namespace
}  // namespace zp
