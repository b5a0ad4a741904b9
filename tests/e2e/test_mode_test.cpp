// The administrator's test mode run as the built executable: the scan tree of
// a log check configuration over a temporary directory and of custom checks,
// and single checks, with standard output and error compared whole.
#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "process.h"
#include "tests/support/files.h"

namespace zp {
namespace {

const std::string agent = std::string(ZP_BINARY_DIR) + "/agent/quillmar";

struct outcome {
    int exit_code = -1;
    std::string out, err;
};

class TestMode : public ::testing::Test {
protected:
    test::temp_env env;

    void SetUp() override {
        std::filesystem::create_directories(env.path("logs/sub"));
        test::write_file(env.path("logs/app.log"), "one\n");
        test::write_file(env.path("logs/sub/b.log"), "two\n");
        test::write_file(env.path("logs/skip.txt"), "three\n");
        test::write_file(env.path("logchk.conf"), "# the test logs\n" + env.root + "/logs/**/*.log\n");
        test::write_file(env.path("custom.conf"),
                         "[answer]\ncommand=echo value 42\ntype=integer\nunit=things\nresult_pattern=value ([0-9]+)\n"
                         "[ratio]\ncommand=echo 2.5\ntype=real\nresult_pattern=(.*)\n"
                         "[counter]\ncommand=echo 7\ntype=diff_integer\nresult_pattern=(.*)\n"
                         "[mute]\ncommand=echo nothing\ntype=integer\n");
        ::chmod(env.path("custom.conf").c_str(), 0600);
        conf("disable_checks = fs mem system proc smart ifthrough ifevents scm perf safte ipmisens csmiplus block\n");
    }

    // No server_list and no domain: the test mode needs neither. The host's own
    // scanners are disabled where the output is compared whole.
    void conf(const std::string& extra) {
        env.machine_conf("log_chk_conf = " + env.path("logchk.conf") + "\ncustom_chk_conf = " +
                         env.path("custom.conf") + "\nlogfile = " + env.path("agent.log") + "\n" + extra);
    }

    outcome run(const std::string& args) {
        auto [code, out] = test::shell("'" + agent + "' " + args + " 2>'" + env.path("stderr") + "' </dev/null");
        return {code, out, test::read_file(env.path("stderr"))};
    }
};

TEST_F(TestMode, ScanPrintsTheWholeTree) {
    // The temporary directory is /tmp/<name>: its groups sit below "/".
    std::string name = env.root.substr(5);
    auto r = run("--scan");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "custom  \"Custom AgentChecks\"\n"
                     "  - mute  \"mute\"  type 0\n"
                     "  - counter  \"counter\"  type 7\n"
                     "  - ratio  \"ratio\"  type 7\n"
                     "  - answer  \"answer\"  type 0  unit \"things\"\n"
                     "log  \"Log checks\"\n"
                     "  /  \"/\"\n"
                     "    tmp  \"tmp\"\n"
                     "      " + name + "  \"" + name + "\"\n"
                     "        logs  \"logs\"\n"
                     "          - app.log  \"app.log\"  type 9\n"
                     "          sub  \"sub\"\n"
                     "            - b.log  \"b.log\"  type 9\n"
                     "  /forward  \"Forward LogChecks\"\n"
                     "action  \"AgentActions\"\n");
    // Neither the log file nor a variables file is written.
    EXPECT_FALSE(test::exists(env.path("agent.log")));
    EXPECT_TRUE(std::filesystem::is_empty(env.path("state")));
}

TEST_F(TestMode, CheckPrintsValueTextAndStatusOrTheError) {
    struct {
        std::string path;
        int exit_code;
        std::string out, err;
    } cases[] = {
        {"custom/answer", 0, "value: 42\nstatus: ok\n", ""},
        {"custom/ratio", 0, "value: 2.5\nstatus: ok\n", ""},
        // A counter gives its value at the second reading.
        {"custom/counter", 0, "value: 0\nstatus: ok\n", ""},
        {"custom/mute", 1, "", "Error: Custom check returned no value\n"},
        // The group "/" below "log" holds a "/" of its own.
        {"log///tmp/" + env.root.substr(5) + "/logs/sub/b.log", 0, "value: 0\nstatus: ok\n", ""},
        {"log///tmp/" + env.root.substr(5) + "/logs/skip.txt", 1, "",
         "Error: No check \"log///tmp/" + env.root.substr(5) + "/logs/skip.txt\" in the scan tree\n"},
        {"custom", 1, "", "Error: No check \"custom\" in the scan tree\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        auto r = run("--check '" + c.path + "'");
        EXPECT_EQ(r.exit_code, c.exit_code);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST_F(TestMode, RateCounterOfTheHostGivesItsSecondReading) {
    conf("");
    auto r = run("--check system/cswitch");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(r.out.starts_with("value: ")) << r.out;
    EXPECT_TRUE(r.out.ends_with("\nstatus: ok\n")) << r.out;
}

TEST_F(TestMode, CheckWithoutPathPrintsUsage) {
    auto r = run("--check");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err.rfind("Usage:  " + agent, 0), 0u);
}

}  // namespace
}  // namespace zp
