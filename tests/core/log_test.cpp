// Tests of the log: record format, threshold, the library loggers' sink, and
// the reopen and rotation of the log file by age.
#include "core/log.h"

#include <cstdio>
#include <ctime>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "core/clock.h"
#include "core/library_log.h"
#include "tests/support/files.h"

namespace zp {
namespace {

// The message of a record "<time as ctime writes it>: <message>", or false.
bool record_message(const std::string& line, std::string& message) {
    static const std::regex ctime_form("^(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                       "[ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}: ");
    if (line.size() < 26 || !std::regex_search(line.substr(0, 26), ctime_form)) return false;
    message = line.substr(26);
    return true;
}

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
    // The log as text: on Windows a text-mode file ends its lines with CR LF.
    static std::string text_of(const std::string& file) {
        std::string t = test::read_file(file);
        std::erase(t, '\r');
        return t;
    }
    std::string text() const { return text_of(log_path); }
    bool has(const std::string& file, const std::string& part) const {
        return text_of(file).find(part) != std::string::npos;
    }
    test::temp_env env;
    std::string log_path;
};

TEST_F(Log, RecordIsCtimeColonMessageNewlineAndBelowThresholdIsDropped) {
    ASSERT_TRUE(open_log(log_path));
    log(1, "hello %d", 5);
    set_log_level(3);
    log(2, "dropped");
    log_text(2, "dropped too");
    std::string t = text(), message;
    ASSERT_EQ(t.find('\n'), t.size() - 1) << t;
    EXPECT_TRUE(record_message(t.substr(0, t.size() - 1), message)) << t;
    EXPECT_EQ(message, "hello 5");
}

TEST_F(Log, RecordsFromManyThreadsStayWhole) {
    ASSERT_TRUE(open_log(log_path));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 300; ++i) log(1, "thread %d record %d %s", t, i, std::string(100, 'a' + t).c_str());
        });
    for (auto& th : threads) th.join();
    std::istringstream in(text());
    int lines = 0;
    for (std::string line, message; std::getline(in, line); ++lines) {
        int thread = -1, record = -1, rest = 0;
        ASSERT_TRUE(record_message(line, message)) << line;
        ASSERT_EQ(std::sscanf(message.c_str(), "thread %d record %d %n", &thread, &record, &rest), 2) << line;
        ASSERT_EQ(message.substr(static_cast<size_t>(rest)), std::string(100, static_cast<char>('a' + thread))) << line;
    }
    EXPECT_EQ(lines, 1200);
}

TEST_F(Log, LibraryLoggersWritePercentUnchangedAtThresholdPlusOne) {
    ASSERT_TRUE(open_log(log_path));
    set_log_level(1);
    setup_library_logging();
    client_logger()->info("{}", "50% done %s %n %d");
    devices_logger()->info("Starting hardware scan");
    client_logger()->debug("debug dropped");
    set_log_level(0);
    setup_library_logging();
    client_logger()->debug("debug kept");
    EXPECT_TRUE(has(log_path, ": [zpclient] [info] 50% done %s %n %d\n")) << text();
    EXPECT_TRUE(has(log_path, ": [devices] [info] Starting hardware scan\n"));
    EXPECT_FALSE(has(log_path, "debug dropped"));
    EXPECT_TRUE(has(log_path, "debug kept"));
}

TEST_F(Log, RotationShiftsNumberedFilesDropsOldestAndReportsRenameFailure) {
    test::write_file(log_path, "current");
    EXPECT_FALSE(rotate_logfiles(log_path, 1));
    EXPECT_EQ(text(), "current") << "fewer than two files: nothing rotates";
    for (int i = 1; i <= 3; ++i) test::write_file(log_path + "." + std::to_string(i) + ".txt", "old" + std::to_string(i));
    EXPECT_FALSE(rotate_logfiles(log_path, 3));
    EXPECT_FALSE(test::exists(log_path));
    EXPECT_EQ(test::read_file(log_path + ".1.txt"), "current");
    EXPECT_EQ(test::read_file(log_path + ".2.txt"), "old1");
    EXPECT_EQ(test::read_file(log_path + ".3.txt"), "old2");
    EXPECT_FALSE(test::exists(log_path + ".4.txt"));
    EXPECT_EQ(rotate_logfiles(log_path, 2).message(), "Rename failed with error: " + system_error_text(2));  // ENOENT and ERROR_FILE_NOT_FOUND alike
}

// A log older than log_days is reopened: rotated when more than one file is
// kept, kept in place with one; either way its age starts again then.
TEST_F(Log, ReopenAfterLogDaysRotatesOrKeepsTheFileAndRestartsItsAge) {
    for (int files : {5, 1}) {
        SCOPED_TRACE(files);
        std::string path = env.path(std::to_string(files) + ".log");
        fake_now = static_cast<int64_t>(std::time(nullptr));
        reset_log_reopen();
        ASSERT_TRUE(open_log(path));
        log(1, "first life");
        check_log_reopen(path, 7, files);  // young: stays
        fake_now += 7 * 86400 + 1;
        check_log_reopen(path, 7, files);
        fake_now += 7 * 86400 - 10;
        check_log_reopen(path, 7, files);
        std::string all = test::read_file(path) + test::read_file(path + ".1.txt") + test::read_file(path + ".2.txt");
        EXPECT_EQ(all.find("Re-opening log..."), all.rfind("Re-opening log...")) << "once, and only once";
        EXPECT_EQ(has(path, "first life"), files == 1);
        EXPECT_EQ(has(path + ".1.txt", "first life"), files == 5);
        EXPECT_EQ(has(path + ".1.txt", "Closing logfile"), files == 5);
        EXPECT_TRUE(has(path, "Agent reopened logfile..."));
    }
    EXPECT_EQ(waits, 0);
}

TEST_F(Log, NoReopenWithLogDaysZeroOrOnTheConsole) {
    ASSERT_TRUE(open_log(log_path));
    check_log_reopen(log_path, 0, 5);
    fake_now += 1000 * 86400;
    check_log_reopen(log_path, 0, 5);
    EXPECT_FALSE(has(log_path, "Re-opening log..."));

    log_to_stderr();
    request_log_reopen();
    check_log_reopen(log_path, 1, 5);
    EXPECT_FALSE(test::exists(log_path + ".1.txt"));
    EXPECT_TRUE(log_is_console());
}

TEST_F(Log, MissingLogFileDefaultsCreationTimeToNow) {
    ASSERT_TRUE(open_log(log_path));
    for (int day = 0; day < 2; ++day, fake_now += 86400) check_log_reopen(env.path("missing.log"), 7, 5);
    EXPECT_TRUE(has(log_path, "Could not get log creation time, defaulting to now"));
    EXPECT_FALSE(has(log_path, "Re-opening log..."));
}

TEST_F(Log, ReopenThatCannotOpenWaitsFiveTimesThenStaysSilentUntilNextOpen) {
    ASSERT_TRUE(open_log(log_path));
    request_log_reopen();
    check_log_reopen(env.path("gone/agent.log"), 0, 0);
    EXPECT_EQ(waits, 5);
    EXPECT_FALSE(log_is_console());
    log(3, "lost");
    ASSERT_TRUE(open_log(log_path));
    log(1, "back");
    EXPECT_FALSE(has(log_path, "lost"));
    EXPECT_TRUE(has(log_path, "back"));
}

}  // namespace
}  // namespace zp
