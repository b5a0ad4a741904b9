// Tests of the configuration files, the command-line values laid over them,
// and the server list and host id that start-up settles.
#include "core/config.h"

#include <random>

#include <gtest/gtest.h>

#include "agent/startup.h"
#include "core/config_os.h"
#include "core/variables.h"
#include "tests/support/fatal.h"
#include "tests/support/files.h"
#include "tests/support/log_capture.h"

namespace zp {
namespace {

class Config : public ::testing::Test {
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
    // Every value that start-up cannot do without, as options.
    cmdline_options full_options() const {
        return {.name = "n", .server_list = "s", .domain = "d", .variables_file = env.path("v"),
                .log_file = env.path("l")};
    }
    std::optional<config> read(const std::string& extra = "") {
        env.machine_conf(std::string("server_list = s1\ndomain = dom\n") + extra);
        return read_config("ZPAgent", nullptr);
    }
    test::temp_env env;
};

TEST_F(Config, MissingServerListOrDomainGivesNoRecordAndRegKeyNamesTheFiles) {
    EXPECT_FALSE(read_config("ZPAgent", nullptr));
    env.machine_conf("server_list = s1\n");
    EXPECT_FALSE(read_config("ZPAgent", nullptr));
    env.machine_conf("domain = d\n");
    EXPECT_FALSE(read_config("ZPAgent", nullptr));
    // --reg-key names the files.
    env.machine_conf("server_list = s1\ndomain = dom\n", "Other");
    EXPECT_FALSE(read_config("ZPAgent", nullptr));
    auto c = read_config("Other", nullptr);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->variables_file, env.path("state/Other.variables"));
    EXPECT_TRUE(read());
}

TEST_F(Config, UserValueWinsAndMovesVariablesToUserStateDir) {
    env.machine_conf("server_list = machine\ndomain = mdom\nloglevel = 3\n");
    env.user_conf("# the user's own server\n  server_list =  user:99  \n");
    test::log_capture cap;
    auto c = read_config("ZPAgent", nullptr);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->server_list, "user:99");
    EXPECT_EQ(c->domain, "mdom");  // value by value: the machine's where the user has none
    EXPECT_EQ(c->log_level, 3);
    EXPECT_EQ(c->variables_file, env.path("ustate/ZPAgent.variables"));
    EXPECT_EQ(cap.count("Found key in current user's registry - will store variables there too"), 1u);

    // The user's file holding only the last value read still moves the variables.
    reset_config_from_user();
    env.user_conf("disable_checks = smart\n");
    EXPECT_EQ(read()->variables_file, env.path("ustate/ZPAgent.variables"));
}

TEST_F(Config, MissingFilesAndValuesAreLoggedAtTheirLevels) {
    {
        test::log_capture cap(-1);
        ASSERT_TRUE(read());
        // ENOENT and ERROR_FILE_NOT_FOUND are both 2.
        EXPECT_TRUE(cap.has("Cannot open path \"" + env.user_conf_path() + "\": " + system_error_text(2)));
        EXPECT_TRUE(cap.has("Cannot read key \"logfile\": "));
    }
    // The user's failures are trace (-1), the machine's info (1).
    test::log_capture quiet(0);
    ASSERT_TRUE(read());
    EXPECT_FALSE(quiet.has(env.user_conf_path()));
    EXPECT_TRUE(quiet.has("Cannot read key \"logfile\": "));
}

// The fields a value line can change, as "name=value " pairs.
std::string fields(const config& c) {
    auto opt = [](const std::optional<std::string>& v) { return v ? "\"" + *v + "\"" : std::string("absent"); };
    return "list=" + c.server_list + " domain=" + c.domain + " log=" + c.log_file + " " +
           strprintf("port=%u level=%d days=%d files=%d retention=%d upgrade=%d psapi=%d safte=%d%d perf=%u ",
                     c.server_port, c.log_level, c.log_days, c.max_log_files, c.max_data_retention_days,
                     c.allow_autoupgrade, c.use_psapi, c.safte_assume_active, c.safte_assume_inactive,
                     c.perf_cnt_level) +
           "name=" + opt(c.name) + " disable=" + opt(c.disable_checks) + " skip=" + opt(c.skip_event_source) + " ";
}

// How each kind of value reads: numbers like atoi, counts and ports with their
// fall-backs, booleans only for "true", and the words of the counter level;
// comments, lines without "=" and overlong values are not read.
TEST_F(Config, ValuesReadAsTheAgentReadsThem) {
    const std::string default_log = "log=" + default_log_file() + " ";
    std::pair<std::string, std::string> cases[] = {
        {"#server_list = commented", "list=s1 "},
        {"just words\nserver_list=a#b\r", "list=a#b "},
        {"domain = d = e", "domain=d = e "},
        {"logfile = /" + std::string(1100, 'x'), default_log},
        {"server_port = 0", "port=3241 "},
        {"server_port = 70000", "port=3241 "},
        {"server_port = 4000", "port=4000 "},
        {"loglevel = 2abc", "level=2 "},
        {"log_days = junk", "days=0 "},
        {"max_log_files = -3", "files=5 "},
        {"max_data_retention_days = 99999999999999", "retention=2147483647 "},
        {"allow_autoupgrade =   TRUE  ", "upgrade=1 "},
        {"use_psapi = yes", "psapi=0 "},
        {"safte_assume_active = True", "safte=10 "},
        {"safte_assume_active = FALSE", "safte=01 "},
        {"safte_assume_active = maybe", "safte=00 "},
        {"perf_cnt_level = Expert", "perf=300 "},
        {"perf_cnt_level = WIZARD", "perf=400 "},
        {"perf_cnt_level = 250", "perf=250 "},
        {"perf_cnt_level = 25x", "perf=200 "},
        {"perf_cnt_level =", "perf=0 "},
        {"perf_cnt_level = 99999999999", "perf=200 "},
        {"name =   ", "name=absent "},
        {"disable_checks =", "disable=absent "},
        {"skip_event_source =", "skip=\"\" "},
    };
    for (auto [line, want] : cases) {
        auto c = read(line + "\n");
        ASSERT_TRUE(c) << line;
        EXPECT_NE(fields(*c).find(want), std::string::npos) << line << " gave " << fields(*c);
    }
}

TEST_F(Config, PackagedAgentNeverUpgradesItself) {
    autoupgrade_locked() = true;
    test::log_capture cap(1);
    auto c = read("allow_autoupgrade = true\n");
    autoupgrade_locked() = false;
    ASSERT_TRUE(c);
    EXPECT_FALSE(c->allow_autoupgrade);
    EXPECT_TRUE(cap.has("Config: allow_autoupgrade is off: the package manager upgrades this agent"));
}

TEST_F(Config, ArbitraryBytesInFilesNeverCrash) {
    std::mt19937 rng(11);
    for (int round = 0; round < 200; ++round) {
        std::string junk(std::uniform_int_distribution<size_t>(0, 3000)(rng), '\0');
        for (char& c : junk) c = "=# \n\r\tab0\xff"[rng() % 11];
        env.user_conf(junk);
        auto c = read(junk);
        EXPECT_TRUE(!c || c->server_list.size() <= 1023u);
    }
}

TEST_F(Config, OptionsAloneBuildTheRecordWithZeroMeaningDefault) {
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

TEST_F(Config, IncompleteOptionsWithoutFileAreFatal) {
    using field = std::optional<std::string> cmdline_options::*;
    for (field f : {&cmdline_options::name, &cmdline_options::server_list, &cmdline_options::domain,
                    &cmdline_options::variables_file, &cmdline_options::log_file}) {
        cmdline_options o = full_options();
        (o.*f).reset();
        EXPECT_FATAL(load_configuration("ZPAgent", o), "Unable to read agent configuration\\.");
    }
}

TEST_F(Config, OptionsOverFileAreLogged) {
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
    EXPECT_EQ(c.log_file, default_log_file()) << "-m does not replace the file's log";
    for (const char* line : {"Config: Using specified name \"n\"", "Config: Using specified server-names \"s\"",
                             "Config: Using specified domain \"d\"", "Config: Using specified variables file \"/tmp/cv\"",
                             "Config: Couldn't parse server-port. Using default", "Config: Using specified loglevel: 0"})
        EXPECT_TRUE(cap.has(line)) << line;
}

TEST_F(Config, ClusterListReplacesOnlyAnUnchangedConfiguredList) {
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

TEST_F(Config, ServerListWithoutServersIsFatal) {
    config c;
    c.server_list = " , ";
    EXPECT_FATAL(settle_server_list(c), "Unable to read agent configuration\\.");
}

TEST_F(Config, HostIdKeptOnlyForTheSameName) {
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

TEST(ServerList, HostsPortsAndSeparators) {
    std::string got;
    for (auto& s : parse_server_list(" ,, alpha:3241, beta,c:0x10 ,d:010,,"))
        got += s.host + ":" + std::to_string(s.port) + " ";
    EXPECT_EQ(got, "alpha:3241 beta:0 c:16 d:8 ");
    EXPECT_TRUE(parse_server_list(" , ").empty());
    std::string full;
    for (int i = 0; i < 255; ++i) full += "h" + std::to_string(i) + ",";
    EXPECT_EQ(parse_server_list(full).size(), 255u);
}

TEST(ServerListDeathTest, BadPortAndTheServerPastTheLimitAreFatal) {
    std::string too_many;
    for (int i = 0; i < 256; ++i) too_many += "h" + std::to_string(i) + " ";
    EXPECT_FATAL((void)parse_server_list(too_many), "Too many servers in list");
    for (const char* text : {"a:3241x", "a:65536", "a:-1"})
        EXPECT_FATAL((void)parse_server_list(text), "Could not parse port number");
}

}  // namespace
}  // namespace zp
