// Tests of the configuration files and the server list.
#include "core/config.h"

#include <random>

#include <gtest/gtest.h>

#include "core/log.h"
#include "test_env.h"

namespace zp {
namespace {

class Config : public ::testing::Test {
protected:
    void SetUp() override {
        reset_config_from_user();
        set_log_level(4);  // quiet unless a test captures the log
    }
    void TearDown() override {
        reset_config_from_user();
        set_log_level(0);
    }
    test::temp_env env;
};

constexpr const char* minimal = "server_list = s1\ndomain = dom\n";

TEST_F(Config, MissingServerListOrDomainGivesNoRecord) {
    EXPECT_FALSE(read_config("ZPAgent", nullptr));
    env.machine_conf("server_list = s1\n");
    EXPECT_FALSE(read_config("ZPAgent", nullptr));
    env.machine_conf("domain = d\n");
    EXPECT_FALSE(read_config("ZPAgent", nullptr));
    env.machine_conf(minimal);
    EXPECT_TRUE(read_config("ZPAgent", nullptr));
}

TEST_F(Config, DefaultsWhenOnlyRequiredValuesGiven) {
    env.machine_conf(minimal);
    auto c = read_config("ZPAgent", nullptr);
    ASSERT_TRUE(c);
    EXPECT_FALSE(c->name);
    EXPECT_EQ(c->server_port, 3241);
    EXPECT_EQ(c->log_file, "/var/log/zerpal/agent.log");
    EXPECT_EQ(c->variables_file, env.path("state/ZPAgent.variables"));
    EXPECT_EQ(c->log_level, 1);
    EXPECT_EQ(c->log_days, 7);
    EXPECT_EQ(c->max_log_files, 5);
    EXPECT_EQ(c->max_data_retention_days, 7);
    EXPECT_EQ(c->perf_cnt_level, 200u);
    EXPECT_FALSE(c->allow_autoupgrade);
    EXPECT_FALSE(c->custom_chk_conf);
    EXPECT_FALSE(c->disable_checks);
}

TEST_F(Config, UserValueWinsAndMovesVariablesToUserStateDir) {
    env.machine_conf("server_list = machine\ndomain = mdom\nloglevel = 3\n");
    env.user_conf("# the user's own server\n  server_list =  user:99  \n");
    test::captured_log cap(env);
    auto c = read_config("ZPAgent", nullptr);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->server_list, "user:99");
    EXPECT_EQ(c->domain, "mdom");   // value by value: the machine's where the user has none
    EXPECT_EQ(c->log_level, 3);
    EXPECT_TRUE(config_from_user());
    EXPECT_EQ(c->variables_file, env.path("ustate/ZPAgent.variables"));
    std::string log = cap.text();
    size_t first = log.find("Found key in current user's registry - will store variables there too");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(log.find("Found key in current user's", first + 1), std::string::npos) << "logged once";
}

TEST_F(Config, UserFileFoundLateStillMovesVariables) {
    // The user's file holds only the last value read; the default variables
    // file must still be the user's.
    env.machine_conf(minimal);
    env.user_conf("disable_checks = smart\n");
    auto c = read_config("ZPAgent", nullptr);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->variables_file, env.path("ustate/ZPAgent.variables"));
}

TEST_F(Config, RegKeyNamesTheFiles) {
    env.machine_conf(minimal, "Other");
    EXPECT_FALSE(read_config("ZPAgent", nullptr));
    auto c = read_config("Other", nullptr);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->variables_file, env.path("state/Other.variables"));
}

TEST_F(Config, MissingFilesAndValuesAreLoggedAtTheirLevels) {
    env.machine_conf(minimal);
    test::captured_log cap(env, -1);
    ASSERT_TRUE(read_config("ZPAgent", nullptr));
    EXPECT_TRUE(cap.has("Cannot open path \"" + env.path("user/ZPAgent.conf") + "\": No such file or directory"));
    EXPECT_TRUE(cap.has("Cannot read key \"logfile\": "));

    // The user's failures are trace (-1), the machine's info (1).
    test::captured_log quiet(env, 0);
    ASSERT_TRUE(read_config("ZPAgent", nullptr));
    EXPECT_FALSE(quiet.has("user/ZPAgent.conf"));
    EXPECT_TRUE(quiet.has("Cannot read key \"logfile\": "));
}

TEST_F(Config, UnreadableFileCountsAsMissing) {
    // A directory in place of the file cannot be read.
    ::mkdir(env.path("etc/ZPAgent.conf").c_str(), 0700);
    test::captured_log cap(env);
    EXPECT_FALSE(read_config("ZPAgent", nullptr));
    EXPECT_TRUE(cap.has("Cannot open path \"" + env.path("etc/ZPAgent.conf") + "\""));
}

TEST_F(Config, OverlongValueIsNotReadAndDefaultApplies) {
    env.machine_conf(std::string(minimal) + "logfile = /" + std::string(1100, 'x') + "\n");
    test::captured_log cap(env);
    auto c = read_config("ZPAgent", nullptr);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->log_file, "/var/log/zerpal/agent.log");
    EXPECT_TRUE(cap.has("Cannot read key \"logfile\": "));
}

TEST_F(Config, LinesWithoutEqualsAndCommentsAreIgnored) {
    env.machine_conf("#server_list = commented\njust words\nserver_list=a#b\r\ndomain = d = e\n");
    auto c = read_config("ZPAgent", nullptr);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->server_list, "a#b");
    EXPECT_EQ(c->domain, "d = e");
}

TEST_F(Config, NumbersReadLikeAtoi) {
    env.machine_conf(std::string(minimal) +
                     "server_port = 0\nloglevel = 2abc\nlog_days = junk\nmax_log_files = -3\n"
                     "max_data_retention_days = 99999999999999\n");
    auto c = read_config("ZPAgent", nullptr);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->server_port, 3241);
    EXPECT_EQ(c->log_level, 2);
    EXPECT_EQ(c->log_days, 0);
    EXPECT_EQ(c->max_log_files, 5) << "a negative count falls back to the default";
    EXPECT_EQ(c->max_data_retention_days, INT32_MAX);
}

TEST_F(Config, PortBeyond16BitsFallsBackToDefault) {
    env.machine_conf(std::string(minimal) + "server_port = 70000\n");
    EXPECT_EQ(read_config("ZPAgent", nullptr)->server_port, 3241);
    env.machine_conf(std::string(minimal) + "server_port = 4000\n");
    EXPECT_EQ(read_config("ZPAgent", nullptr)->server_port, 4000);
}

TEST_F(Config, BooleansAreTrueOnlyForTheWordTrue) {
    env.machine_conf(std::string(minimal) + "allow_autoupgrade =   TRUE  \nuse_psapi = yes\ndisable_smart = True\n");
    auto c = read_config("ZPAgent", nullptr);
    ASSERT_TRUE(c);
    EXPECT_TRUE(c->allow_autoupgrade);
    EXPECT_FALSE(c->use_psapi);
    EXPECT_TRUE(c->disable_smart);
}

TEST_F(Config, SafteAssumeActiveHasThreeStates) {
    for (auto [text, active, inactive] : {std::tuple{"True", true, false}, std::tuple{"FALSE", false, true},
                                          std::tuple{"maybe", false, false}}) {
        env.machine_conf(std::string(minimal) + "safte_assume_active = " + text + "\n");
        auto c = read_config("ZPAgent", nullptr);
        ASSERT_TRUE(c);
        EXPECT_EQ(c->safte_assume_active, active) << text;
        EXPECT_EQ(c->safte_assume_inactive, inactive) << text;
    }
}

TEST_F(Config, PerfCounterLevelWordsNumbersAndJunk) {
    for (auto [text, want] : {std::pair{"Expert", 300u}, std::pair{"novice", 100u}, std::pair{"WIZARD", 400u},
                              std::pair{"250", 250u}, std::pair{"lots", 200u}, std::pair{"25x", 200u},
                              std::pair{"", 0u}, std::pair{"99999999999", 200u}}) {
        env.machine_conf(std::string(minimal) + "perf_cnt_level = " + text + "\n");
        auto c = read_config("ZPAgent", nullptr);
        ASSERT_TRUE(c);
        EXPECT_EQ(c->perf_cnt_level, want) << "\"" << text << "\"";
    }
}

TEST_F(Config, EmptyNameAndDisableChecksCountAsAbsent) {
    env.machine_conf(std::string(minimal) + "name =   \ndisable_checks =\nskip_event_source =\n");
    auto c = read_config("ZPAgent", nullptr);
    ASSERT_TRUE(c);
    EXPECT_FALSE(c->name);
    EXPECT_FALSE(c->disable_checks);
    EXPECT_EQ(c->skip_event_source, "");
}

TEST_F(Config, ArbitraryBytesInFilesNeverCrash) {
    std::mt19937 rng(11);
    for (int round = 0; round < 200; ++round) {
        std::string junk(std::uniform_int_distribution<size_t>(0, 3000)(rng), '\0');
        for (char& c : junk) c = "=# \n\r\tab0\xff"[rng() % 11];
        env.machine_conf(std::string(minimal) + junk);
        env.user_conf(junk);
        auto c = read_config("ZPAgent", nullptr);
        if (c) {
            EXPECT_LE(c->server_list.size(), 1023u);
        }
    }
}

TEST(ServerList, HostsPortsAndSeparators) {
    auto s = parse_server_list("alpha:3241, beta");
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].host, "alpha");
    EXPECT_EQ(s[0].port, 3241);
    EXPECT_EQ(s[1].host, "beta");
    EXPECT_EQ(s[1].port, 0);

    s = parse_server_list(" ,, a:0x10 ,b:010,,");
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].port, 16);
    EXPECT_EQ(s[1].port, 8);
    EXPECT_TRUE(parse_server_list("").empty());
    EXPECT_TRUE(parse_server_list(" , ").empty());
}

TEST(ServerList, ExactlyTheLimitIsAccepted) {
    std::string text;
    for (int i = 0; i < 255; ++i) text += "h" + std::to_string(i) + ",";
    auto s = parse_server_list(text);
    ASSERT_EQ(s.size(), 255u);
    EXPECT_EQ(s[254].host, "h254");
}

TEST(ServerListDeathTest, OneOverTheLimitIsFatal) {
    std::string text;
    for (int i = 0; i < 256; ++i) text += "h" + std::to_string(i) + " ";
    EXPECT_EXIT(
        {
            log_to_stderr();
            set_log_level(0);
            parse_server_list(text);
        },
        ::testing::ExitedWithCode(1), "Fatal error: Too many servers in list");
}

TEST(ServerListDeathTest, PortWithLettersIsFatal) {
    EXPECT_EXIT(
        {
            log_to_stderr();
            set_log_level(0);
            parse_server_list("a:3241x");
        },
        ::testing::ExitedWithCode(1), "Fatal error: Could not parse port number");
}

TEST(ServerListDeathTest, PortBeyond16BitsIsFatal) {
    EXPECT_EXIT(
        {
            log_to_stderr();
            set_log_level(0);
            parse_server_list("a:65536");
        },
        ::testing::ExitedWithCode(1), "Fatal error: Could not parse port number");
    EXPECT_EXIT(
        {
            log_to_stderr();
            set_log_level(0);
            parse_server_list("a:-1");
        },
        ::testing::ExitedWithCode(1), "Fatal error: Could not parse port number");
}

}  // namespace
}  // namespace zp
