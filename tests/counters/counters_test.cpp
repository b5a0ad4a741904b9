// Tests of the counter provider: the two-sample rule on a simulated clock,
// counters that go backwards or vanish, bad /proc contents, failures to open.
#include "monitors/counters/counters.h"

#include <gtest/gtest.h>

#include <functional>

#include "monitors/counters/host_files.h"
#include "tests/support/fatal.h"
#include "tests/support/files.h"
#include "tests/support/log_capture.h"

namespace zp {
namespace {

int64_t clock_ms = 0;
int sleeps = 0;
std::function<void()> on_sleep;

class Counters : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(env.path("proc"));
        set_host_root(env.root);
        set_monotonic_clock([] { return clock_ms; },
                            [](int ms) {
                                clock_ms += ms;
                                ++sleeps;
                                if (on_sleep) on_sleep();
                            });
        clock_ms = 5000;
        sleeps = 0;
        on_sleep = nullptr;
    }
    void TearDown() override {
        forget_collections();
        set_host_root("");
        set_monotonic_clock(nullptr, nullptr);
    }
    // /proc/stat with the whole-host line, processors 0 and 1, and ctxt.
    void stat(uint64_t user, uint64_t idle, uint64_t ctxt, const std::string& extra = "") {
        test::write_file(env.path("proc/stat"),
                         "cpu  " + std::to_string(user) + " 0 0 " + std::to_string(idle) +
                             " 0 0 0 0 0 0\ncpu0 1 2 3 4 5 6 7 0 0 0\ncpu1 1 2 3 4\nintr 1 2 3\nctxt " +
                             std::to_string(ctxt) + "\nprocs_running 3\n" + extra);
        forget_collections();  // a new state of the host, even within the same simulated second
    }
    test::temp_env env;
};

TEST_F(Counters, FirstReadOfRateTakesSecondSampleAfterOneSecondNextReadsAtOnce) {
    stat(0, 0, 1000);
    on_sleep = [this] { stat(0, 0, 1500); };
    auto c = create_english_counter("System", nullptr, "Context Switches/sec", true);
    ASSERT_TRUE(c);
    double v = -1;
    ASSERT_FALSE(get_counter_value(*c, v));
    EXPECT_DOUBLE_EQ(v, 500.0);
    EXPECT_EQ(sleeps, 1);

    clock_ms += 2000;
    stat(0, 0, 2500);
    ASSERT_FALSE(get_counter_value(*c, v));
    EXPECT_DOUBLE_EQ(v, 500.0);
    EXPECT_EQ(sleeps, 1);

    // Read again within the same millisecond: the newer figure ends the last
    // interval instead of starting an empty one.
    stat(0, 0, 3000);
    ASSERT_FALSE(get_counter_value(*c, v));
    EXPECT_DOUBLE_EQ(v, 750.0);
    EXPECT_EQ(sleeps, 1);
}

TEST_F(Counters, ValuesFromSamples) {
    struct {
        const char *object, *instance, *counter;
        uint64_t user0, idle0, user1, idle1;
        double want;
    } cases[] = {
        {"Processor", "_Total", "% Processor Time", 100, 100, 130, 170, 30.0},
        {"Processor", "_Total", "% Idle Time", 100, 100, 130, 170, 70.0},
        {"Processor", "_Total", "% User Time", 0, 0, 25, 75, 25.0},
        {"System", nullptr, "Processor Queue Length", 0, 0, 0, 0, 3.0},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.counter);
        stat(k.user0, k.idle0, 1);
        on_sleep = [&] { stat(k.user1, k.idle1, 1); };
        auto c = create_counter(k.object, k.instance, k.counter, true);
        ASSERT_TRUE(c);
        double v = -1;
        ASSERT_FALSE(get_counter_value(*c, v));
        EXPECT_DOUBLE_EQ(v, k.want);
    }
}

TEST_F(Counters, FiguresGoingBackwardsAreInvalidDataNotAHugeRate) {
    stat(0, 0, 1000);
    auto c = create_counter("System", nullptr, "Context Switches/sec", true);
    double v = -1;
    on_sleep = [this] { stat(0, 0, 2000); };
    ASSERT_FALSE(get_counter_value(*c, v));

    // The counter restarts below its last figure, twice in a row.
    stat(0, 0, 10);
    on_sleep = [this] { stat(0, 0, 5); };
    v = -1;
    err e = get_counter_value(*c, v);
    EXPECT_EQ(e.message(), "Got INVALID_DATA from GetFormattedCounterValue() in get_counter_value()");
    EXPECT_EQ(v, -1);

    // Once it counts up again, the next second gives a proper rate.
    on_sleep = [this] { stat(0, 0, 305); };
    ASSERT_FALSE(get_counter_value(*c, v));
    EXPECT_DOUBLE_EQ(v, 300.0);
}

TEST_F(Counters, VanishedInstanceGivesNoCountersText) {
    stat(0, 0, 1);
    auto c = create_counter("Processor", "1", "% Idle Time", true);
    ASSERT_TRUE(c);
    test::write_file(env.path("proc/stat"), "cpu  1 2 3 4\ncpu0 1 2 3 4\n");
    forget_collections();
    double v = -1;
    err e = get_counter_value(*c, v);
    EXPECT_EQ(e.message(),
              "Couldn't collect query data for \\Processor(1)\\% Idle Time: The query does not currently contain "
              "any counters.");
    EXPECT_TRUE(is_no_counters(e));
    EXPECT_FALSE(is_no_counters(err::text("other")));
}

TEST_F(Counters, BadOrMissingProcFileIsCollectError) {
    struct {
        const char* stat;  // null: no file
        const char* want;
    } cases[] = {
        {"cpu  1 2 x 4\n", "Couldn't collect query data for \\Processor(_Total)\\% Idle Time: Unexpected contents in "
                           "/proc/stat"},
        {"cpu  1 2\n", "Couldn't collect query data for \\Processor(_Total)\\% Idle Time: Unexpected contents in "
                       "/proc/stat"},
        {"cpu  99999999999999999999999 2 3 4\n",
         "Couldn't collect query data for \\Processor(_Total)\\% Idle Time: Unexpected contents in /proc/stat"},
        {nullptr, "Couldn't collect query data for \\Processor(_Total)\\% Idle Time: No such file or directory"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.want);
        stat(0, 0, 1);
        auto c = create_counter("Processor", "_Total", "% Idle Time", true);
        ASSERT_TRUE(c);
        if (k.stat)
            test::write_file(env.path("proc/stat"), k.stat);
        else
            std::filesystem::remove(env.path("proc/stat"));
        forget_collections();
        double v = -1;
        EXPECT_EQ(get_counter_value(*c, v).message(), k.want);
        EXPECT_EQ(v, -1);
    }
}

TEST_F(Counters, CreateFailuresAreLoggedOnlyWhenAsked) {
    stat(0, 0, 1);
    test::log_capture cap;
    EXPECT_FALSE(create_counter("System", nullptr, "% Total Processor Time", false));
    EXPECT_FALSE(create_counter("Processor", "7", "% Idle Time", false));
    EXPECT_EQ(cap.text(), "");
    EXPECT_FALSE(create_counter("System", nullptr, "Nope", true));
    EXPECT_TRUE(cap.has("Error (PDH_CSTATUS_NO_COUNTER) adding counter \"\\System\\Nope\" to query"));
    EXPECT_FALSE(create_counter("Processor", "7", "% Idle Time", true));
    EXPECT_TRUE(cap.has("Error (Unknown error) adding counter \"\\Processor(7)\\% Idle Time\" to query"));
    EXPECT_FALSE(create_english_counter("Nonesuch", nullptr, "Processes", true));
    EXPECT_TRUE(cap.has("translate_counter_name_to_national \"Nonesuch\": not found"));

    std::string long_counter(300, 'x');
    EXPECT_FALSE(create_counter("System", nullptr, long_counter.c_str(), true));
    EXPECT_TRUE(cap.has("\"\\System\\" + std::string(199 - 8, 'x') + "\" to query"));
}

TEST_F(Counters, TranslationKeepsNamesAndCutsToBuffer) {
    char dst[8];
    EXPECT_EQ(translate_counter_name_to_english(dst, sizeof dst, "Processes"), 1);
    EXPECT_STREQ(dst, "Process");  // cut to the buffer
    EXPECT_EQ(translate_counter_name_to_national(dst, sizeof dst, "System"), 1);
    EXPECT_STREQ(dst, "System");
    EXPECT_EQ(translate_counter_name_to_english(dst, sizeof dst, "Nope"), 0);
    EXPECT_STREQ(dst, "");
}

TEST_F(Counters, AttachedCounterIsReleasedWithItsCheckAndForeignTagIsFatal) {
    stat(0, 0, 1);
    {
        devnode n;
        attach_counter_state(n, create_counter("System", nullptr, "Processes", true));
        EXPECT_EQ(n.state_tag, state_tag_counter);
        ASSERT_TRUE(attached_counter(n));
    }
    EXPECT_FATAL(
        {
            devnode n;
            n.state_tag = state_tag_log;
            free_counter_state(n);
        },
        "Internal consistency error in free_counter_state\\(\\)");
}

}  // namespace
}  // namespace zp
