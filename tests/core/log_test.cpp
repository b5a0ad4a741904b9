// Tests of the log: record format, threshold, the library loggers' sink, and
// the reopen and rotation of the log file by age.
#include "core/log.h"

#include <ctime>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "core/clock.h"
#include "core/library_log.h"
#include "test_env.h"

namespace zp {
namespace {

int64_t fake_now = 0;
int64_t fake_clock() { return fake_now; }
int waits = 0;
void count_wait(int seconds) {
    EXPECT_EQ(seconds, 10);
    ++waits;
}

class Log : public ::testing::Test {
protected:
    void SetUp() override {
        log_path = env.path("agent.log");
        fake_now = static_cast<int64_t>(std::time(nullptr));
        set_clock(fake_clock);
        set_log_reopen_wait(count_wait);
        waits = 0;
        reset_log_reopen();
        set_log_level(-1);
    }
    void TearDown() override {
        log_to_stderr();
        set_log_level(0);
        set_clock(nullptr);
        set_log_reopen_wait(nullptr);
        reset_log_reopen();
    }
    test::temp_env env;
    std::string log_path;
};

TEST_F(Log, RecordIsCtimeColonMessageNewline) {
    ASSERT_TRUE(open_log(log_path));
    log(1, "hello %d", 5);
    std::string text = test::read_file(log_path);
    EXPECT_TRUE(std::regex_match(text, std::regex("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 123][0-9] "
                                                  "[0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}: hello 5\n")))
        << text;
}

TEST_F(Log, LevelBelowThresholdWritesNothing) {
    ASSERT_TRUE(open_log(log_path));
    set_log_level(3);
    log(2, "not written");
    log_text(2, "not written either");
    log(3, "written");
    std::string text = test::read_file(log_path);
    EXPECT_EQ(text.find("not written"), std::string::npos);
    EXPECT_NE(text.find("written"), std::string::npos);
}

TEST_F(Log, RecordsFromManyThreadsStayWhole) {
    ASSERT_TRUE(open_log(log_path));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 300; ++i) log(1, "thread %d record %d %s", t, i, std::string(100, 'a' + t).c_str());
        });
    for (auto& th : threads) th.join();
    std::istringstream in(test::read_file(log_path));
    std::regex record(".{24}: thread ([0-3]) record [0-9]+ ([a-d])\\2{99}");
    int lines = 0;
    for (std::string line; std::getline(in, line); ++lines) ASSERT_TRUE(std::regex_match(line, record)) << line;
    EXPECT_EQ(lines, 1200);
}

TEST_F(Log, OpenFailureMeansSilenceUntilNextOpen) {
    EXPECT_FALSE(open_log(env.path("no/such/dir/agent.log")));
    EXPECT_FALSE(log_is_console());
    log(3, "lost");
    ASSERT_TRUE(open_log(log_path));
    log(3, "kept");
    EXPECT_EQ(test::read_file(log_path).find("lost"), std::string::npos);
}

TEST_F(Log, CloseLogSaysSoAndIgnoresConsole) {
    ASSERT_TRUE(open_log(log_path));
    close_log();
    EXPECT_NE(test::read_file(log_path).find("Closing logfile"), std::string::npos);
    log_to_stderr();
    close_log();
    EXPECT_TRUE(log_is_console());
}

TEST_F(Log, PercentThroughLibrarySinkIsWrittenUnchanged) {
    ASSERT_TRUE(open_log(log_path));
    setup_library_logging();
    client_logger()->info("{}", "50% done %s %n %d");
    devices_logger()->info("Starting hardware scan");
    std::string text = test::read_file(log_path);
    EXPECT_NE(text.find(": [zpclient] [info] 50% done %s %n %d\n"), std::string::npos) << text;
    EXPECT_NE(text.find(": [devices] [info] Starting hardware scan\n"), std::string::npos) << text;
}

TEST_F(Log, LibraryLevelIsThresholdPlusOne) {
    ASSERT_TRUE(open_log(log_path));
    set_log_level(1);
    setup_library_logging();
    client_logger()->debug("debug dropped");
    client_logger()->info("info kept");
    set_log_level(0);
    setup_library_logging();
    client_logger()->debug("debug kept");
    std::string text = test::read_file(log_path);
    EXPECT_EQ(text.find("debug dropped"), std::string::npos);
    EXPECT_NE(text.find("info kept"), std::string::npos);
    EXPECT_NE(text.find("debug kept"), std::string::npos);
}

TEST_F(Log, RotationShiftsNumberedFilesAndDropsOldest) {
    test::write_file(log_path, "current");
    for (int i = 1; i <= 3; ++i) test::write_file(log_path + "." + std::to_string(i) + ".txt", "old" + std::to_string(i));
    EXPECT_FALSE(rotate_logfiles(log_path, 3));
    EXPECT_FALSE(test::exists(log_path));
    EXPECT_EQ(test::read_file(log_path + ".1.txt"), "current");
    EXPECT_EQ(test::read_file(log_path + ".2.txt"), "old1");
    EXPECT_EQ(test::read_file(log_path + ".3.txt"), "old2");
    EXPECT_FALSE(test::exists(log_path + ".4.txt"));
}

TEST_F(Log, RotationBelowTwoDoesNothing) {
    test::write_file(log_path, "current");
    EXPECT_FALSE(rotate_logfiles(log_path, 1));
    EXPECT_EQ(test::read_file(log_path), "current");
    EXPECT_FALSE(test::exists(log_path + ".1.txt"));
}

TEST_F(Log, RotationOfMissingLogReportsRenameFailure) {
    err e = rotate_logfiles(log_path, 2);
    EXPECT_EQ(e.message(), "Rename failed with error: No such file or directory");
}

TEST_F(Log, ReopenAfterLogDaysRotates) {
    ASSERT_TRUE(open_log(log_path));
    log(1, "first life");
    check_log_reopen(log_path, 7, 5);
    EXPECT_FALSE(test::exists(log_path + ".1.txt")) << "young log must stay";

    fake_now += 7 * 86400 + 1;
    check_log_reopen(log_path, 7, 5);
    EXPECT_NE(test::read_file(log_path + ".1.txt").find("first life"), std::string::npos);
    std::string now = test::read_file(log_path);
    EXPECT_EQ(now.find("first life"), std::string::npos);
    EXPECT_NE(now.find("Agent reopened logfile..."), std::string::npos);
    EXPECT_EQ(waits, 0);

    // The new log is young again.
    fake_now += 86400;
    check_log_reopen(log_path, 7, 5);
    EXPECT_FALSE(test::exists(log_path + ".2.txt"));
}

TEST_F(Log, OneLogFileKeepsContentAndRestartsItsAge) {
    ASSERT_TRUE(open_log(log_path));
    log(1, "kept across reopen");
    check_log_reopen(log_path, 1, 1);
    fake_now += 86400 + 1;
    check_log_reopen(log_path, 1, 1);
    std::string text = test::read_file(log_path);
    EXPECT_NE(text.find("kept across reopen"), std::string::npos);
    EXPECT_NE(text.find("Re-opening log..."), std::string::npos);
    EXPECT_FALSE(test::exists(log_path + ".1.txt"));

    fake_now += 86400 - 10;
    check_log_reopen(log_path, 1, 1);
    text = test::read_file(log_path);
    EXPECT_EQ(text.find("Re-opening log..."), text.rfind("Re-opening log...")) << "age must restart at reopen";
}

TEST_F(Log, LogDaysZeroNeverReopens) {
    ASSERT_TRUE(open_log(log_path));
    check_log_reopen(log_path, 0, 5);
    fake_now += 1000 * 86400;
    check_log_reopen(log_path, 0, 5);
    EXPECT_EQ(test::read_file(log_path).find("Re-opening log..."), std::string::npos);
    EXPECT_FALSE(test::exists(log_path + ".1.txt"));
}

TEST_F(Log, ConsoleLogIsNeverReopenedOrRotated) {
    test::write_file(log_path, "untouched");
    log_to_stderr();
    check_log_reopen(log_path, 1, 5);
    fake_now += 30 * 86400;
    request_log_reopen();
    check_log_reopen(log_path, 1, 5);
    EXPECT_EQ(test::read_file(log_path), "untouched");
    EXPECT_FALSE(test::exists(log_path + ".1.txt"));
    EXPECT_TRUE(log_is_console());
}

TEST_F(Log, MissingLogFileDefaultsCreationTimeToNow) {
    std::string other = env.path("other.log");
    ASSERT_TRUE(open_log(other));
    check_log_reopen(env.path("missing.log"), 7, 5);
    EXPECT_NE(test::read_file(other).find("Could not get log creation time, defaulting to now"), std::string::npos);
    fake_now += 86400;
    check_log_reopen(env.path("missing.log"), 7, 5);
    EXPECT_EQ(test::read_file(other).find("Re-opening log..."), std::string::npos);
}

TEST_F(Log, ReopenThatCannotOpenWaitsAndGivesUpAfterFiveRetries) {
    ASSERT_TRUE(open_log(log_path));
    std::string unreachable = env.path("gone/agent.log");
    request_log_reopen();
    check_log_reopen(unreachable, 0, 0);
    EXPECT_EQ(waits, 5);
    EXPECT_FALSE(log_is_console());
    // The log has no stream now; a later successful open brings it back.
    ASSERT_TRUE(open_log(log_path));
    log(1, "back");
    EXPECT_NE(test::read_file(log_path).find("back"), std::string::npos);
}

}  // namespace
}  // namespace zp
