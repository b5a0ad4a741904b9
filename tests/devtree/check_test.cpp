// Tests of the check engine: dispatch, evaluation, retention and the two test
// generators.
#include "devtree/check.h"

#include <cmath>

#include <gtest/gtest.h>

#include "tests/support/agent_state.h"
#include "tests/support/fatal.h"
#include "tests/support/log_capture.h"

namespace zp {
namespace {

using test::sim_now;

// What the fake check operation does on its next call.
struct fake_behaviour {
    err outcome;
    int32_t ivalue = 0;
    double dvalue = 0;
    const char* own_text = nullptr;
    int calls = 0;
} fake;

err fake_check(devnode& n, resnode* res) {
    ++fake.calls;
    if (!res) {  // a scanner that queues its own results
        test::add_result(n, time_now());
    } else {
        res->ivalue = fake.ivalue;
        res->dvalue = fake.dvalue;
        if (fake.own_text) set_result_text(*res, fake.own_text);
    }
    return fake.outcome;
}

class CheckEngine : public ::testing::Test {
protected:
    void SetUp() override {
        test::reset_agent_state();
        for (const char* group : {"mem", "log"}) register_scanner(group, nullptr, fake_check);
        fake = fake_behaviour{};
        last_retention_warning() = 0;
    }
    devnode& check(const char* group, uint32_t type, const std::string& id = "item") {
        devnode& n = *test::add_check(*devtree_child(tree, group, std::nullopt), id, 0, type);
        n.frequency = 60;
        return n;
    }
    devtree_list tree;
};

// --- Evaluation ------------------------------------------------------------

TEST(Evaluate, StatusFromThresholdsAndMasks) {
    devnode n;
    auto status = [&](std::vector<int32_t> values, double dvalue = 0) {
        std::vector<uint32_t> out;
        for (int32_t v : values) {
            resnode r;
            r.ivalue = v;
            r.dvalue = dvalue;
            evaluate_result(n, r);
            out.push_back(r.status);
        }
        return out;
    };
    using s = std::vector<uint32_t>;
    n.cont = {-1, -1, -1, -1};  // all off: no value raises a status
    EXPECT_EQ(status({INT32_MIN, 0, INT32_MAX}), (s{status_ok, status_ok, status_ok}));
    n.cont = {-1, 80, -1, 90};  // equal does not cross; alert beats warning
    EXPECT_EQ(status({80, 81, 90, 91}), (s{status_ok, status_warning, status_warning, status_alert}));
    n.cont = {20, -1, 10, -1};
    EXPECT_EQ(status({20, 19, 9}), (s{status_ok, status_warning, status_alert}));
    n.type = type_real_continuous;
    n.real = {-1, 1.5, 0.5, -1};
    EXPECT_EQ(status({0}, 1.6), s{status_warning});
    EXPECT_EQ(status({0}, 0.25), s{status_alert});
    n.type = type_enum;  // bitmaps select the bit of the value modulo 32
    n.warn_mask = 1u << 1;
    n.alert_mask = 1u << 31;
    EXPECT_EQ(status({33, -1, 0}), (s{status_warning, status_alert, status_ok}));
    n.alert_mask = 0xFFFFFFFFu;
    EXPECT_EQ(status({33}), s{status_alert});
    n.type = 15;  // above 13: not a bitmap, the integer thresholds apply
    n.cont = {-1, -1, -1, -1};
    EXPECT_EQ(status({33}), s{status_ok});
}

// --- Outcomes --------------------------------------------------------------

TEST_F(CheckEngine, ErrorOrNonFiniteValueGivesErrorResultAndNoResultQueuesNothing) {
    test::log_capture cap;
    devnode& n = check("mem", type_continuous);
    fake.ivalue = 5;
    fake.outcome = err::text(std::string(300, 'e'));
    auto r = check_device(n);
    EXPECT_EQ(r->status, status_error);
    EXPECT_EQ(r->ivalue, 0);
    EXPECT_EQ(r->text_size(), 300u);  // the error is the result's text
    EXPECT_EQ(r->time, sim_now);
    fake.own_text = "my own words";
    EXPECT_EQ(*check_device(n)->text(), "my own words");

    fake.outcome = err::no_result();
    run_check(n);
    EXPECT_TRUE(n.results.empty());

    fake = fake_behaviour{};
    n.type = type_real_continuous;
    for (double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
        fake.dvalue = bad;
        r = check_device(n);
        EXPECT_EQ(r->status, status_error);
        EXPECT_EQ(*r->text(), "Gave neither error nor valid result");
        EXPECT_EQ(r->dvalue, 0);
    }
    EXPECT_TRUE(cap.has("Error checking mem.item: Gave neither error nor valid result"));
}

TEST_F(CheckEngine, DisabledOrUnknownScannerGivesErrorResultWithoutCallingIt) {
    test::log_capture cap;
    find_scanner("mem")->flags |= scanner_disabled;
    auto r = check_device(check("mem", type_continuous));
    EXPECT_EQ(r->status, status_error);
    EXPECT_EQ(*r->text(), "Disabled by configuration");
    r = check_device(check("nosuch", type_continuous));
    EXPECT_EQ(r->status, status_error);
    EXPECT_EQ(*r->text(), "Unknown device");
    EXPECT_TRUE(cap.has("Unknown device in check_device(): nosuch.item"));
    devnode loose;  // a check without any group must not crash either
    EXPECT_EQ(check_device(loose)->status, status_error);
    EXPECT_EQ(fake.calls, 0);
}

TEST_F(CheckEngine, ScannerMakingOwnResultsAndAgentActionsOnlyLogTheirMessages) {
    test::log_capture cap;
    devnode& n = check("log", type_adv_log);
    fake.outcome = err::text("file gone");
    run_check(n);
    EXPECT_EQ(n.results.size(), 1u);  // only the one the operation queued
    EXPECT_EQ(n.results.front()->status, status_ok);
    EXPECT_TRUE(cap.has("Error checking log.item: file gone"));
    find_scanner("log")->flags |= scanner_disabled;
    run_check(n);
    EXPECT_EQ(fake.calls, 1);
    EXPECT_TRUE(cap.has("Error checking log.item: Disabled by configuration"));

    devnode& action = check("mem", type_action);
    fake.outcome = err::text("restarted the spooler");
    run_check(action);
    EXPECT_TRUE(action.results.empty());
    EXPECT_TRUE(cap.has("Message for AgentAction: restarted the spooler"));
}

// --- Retention -------------------------------------------------------------

TEST_F(CheckEngine, RetentionDropsOlderHeadResultsAndWarnsOncePerHour) {
    test::log_capture cap;
    devnode& n = check("mem", type_continuous);
    for (int64_t t : {sim_now - 86401, sim_now - 86400, sim_now - 86401}) test::add_result(n, t);
    the_config().max_data_retention_days = 0;  // off
    apply_retention(n);
    EXPECT_EQ(n.results.size(), 3u);
    the_config().max_data_retention_days = 1;
    int64_t base = result_budget_used();
    apply_retention(n);
    ASSERT_EQ(n.results.size(), 2u);  // a younger head protects an older result behind it
    EXPECT_EQ(n.results.front()->time, sim_now - 86400);
    EXPECT_EQ(result_budget_used(), base - 80);
    EXPECT_TRUE(cap.has("item: Discarded 1 records"));

    n.results.clear();
    const std::string warning = "WARNING: Max data retention time exceeded, discarding data!";
    for (int i = 0; i < 10; ++i) {
        sim_now += 3000;  // discards keep coming within the hour
        test::add_result(n, sim_now - 2 * 86400);
        apply_retention(n);
    }
    EXPECT_EQ(cap.count(warning), 1u);
    sim_now += 3601;
    test::add_result(n, sim_now - 2 * 86400);
    apply_retention(n);
    EXPECT_EQ(cap.count(warning), 2u);
    EXPECT_TRUE(n.results.empty());
    test::add_result(n, sim_now);  // the emptied queue's tail was reset
    EXPECT_EQ(n.results.front(), n.results.back());
}

// --- Regression generator and fake results -----------------------------------

TEST_F(CheckEngine, RegressionWaveStepsBySampleTimeAndSurvivesOddFrequencies) {
    startup().regression_test = true;
    devnode& from_now = check("mem", type_continuous, "now");  // no fake start time: now
    EXPECT_EQ(check_device(from_now)->time, sim_now);
    EXPECT_EQ(check_device(from_now)->time, sim_now + 60);
    startup().fake_start_time = 5000;
    devnode& n = check("mem", type_continuous);
    n.frequency = 900;  // four samples per hour
    fake_checks_done() = true;
    std::vector<int32_t> values;
    for (int i = 0; i < 5; ++i) {
        auto r = check_device(n);
        EXPECT_EQ(r->time, 5000 + 900 * i);
        values.push_back(r->ivalue);
    }
    EXPECT_FALSE(fake_checks_done());
    EXPECT_EQ(values[0], 20000);
    EXPECT_NEAR(values[1], 10000, 1);  // truncated, so cos(pi/2) may give 9999
    EXPECT_EQ(values[2], 0);
    EXPECT_EQ(values[4], 20000);  // one hour is one period
    EXPECT_EQ(fake.calls, 0);

    devnode& hourly = check("mem", type_continuous, "slow");
    hourly.frequency = 7200;
    EXPECT_EQ(check_device(hourly)->ivalue, 20000);
    EXPECT_EQ(check_device(hourly)->ivalue, 20000);  // a full period per step
    devnode& zero = check("mem", type_continuous, "zero");
    zero.frequency = 0;  // must not divide by zero
    EXPECT_EQ(check_device(zero)->time, 5000);
    EXPECT_EQ(check_device(zero)->time, 5001);
}

TEST_F(CheckEngine, FakeResultsCarryTheirTextAndNowAndThenAHugeLogEntry) {
    test::log_capture quiet(3);
    startup().fake_results = true;
    std::srand(1);
    devnode& real = check("fakegroup", type_real_continuous);
    EXPECT_EQ(check_device(real)->dvalue, 117.0);
    devnode& lg = check("fakegroup", type_adv_log, "log");
    int huge = 0;
    for (int i = 0; i < 2000; ++i) {
        auto r = check_device(lg);
        EXPECT_EQ(*r->text(), "Fake result");
        EXPECT_LE(r->status, 2u);
        ASSERT_TRUE(r->log_text());
        if (*r->log_text() == "Fake result") continue;
        EXPECT_EQ(r->log_text_size() % 1024, 1023u);
        ++huge;
    }
    EXPECT_GT(huge, 0);
    EXPECT_EQ(fake.calls, 0);
}

TEST_F(CheckEngine, ForeignStateTagIsFatalForEachGenerator) {
    devnode& n = check("mem", type_continuous);
    n.state_tag = state_tag_log;
    for (bool regression : {false, true}) {  // ends in a regression run
        startup().regression_test = regression;
        startup().fake_results = !regression;
        EXPECT_FATAL(check_device(n), "Check state corrupt");
    }
    n.state_tag = state_tag_none;
    (void)check_device(n);
    EXPECT_FATAL(
        {
            n.state_tag = state_tag_fake_results;
            tree.clear();
        },
        "Magic mismatch in fake_free_state");
}

}  // namespace
}  // namespace zp
