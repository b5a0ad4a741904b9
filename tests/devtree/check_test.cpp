// Tests of the check engine: dispatch, evaluation, retention and the two test
// generators.
#include "devtree/check.h"

#include <cmath>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include "devtree/scan.h"
#include "tests/devtree/test_support.h"

namespace zp {
namespace {

using testing::log_capture;
using testing::sim_now;

// What the fake "mem" check operation does on its next call.
struct mem_behaviour {
    err outcome;
    int32_t ivalue = 0;
    double dvalue = 0;
    const char* own_text = nullptr;
    int calls = 0;
} mem;

err mem_check(devnode&, resnode* res) {
    ++mem.calls;
    if (res) {
        res->ivalue = mem.ivalue;
        res->dvalue = mem.dvalue;
        if (mem.own_text) set_result_text(*res, mem.own_text);
    }
    return mem.outcome;
}

err log_check(devnode& n, resnode* res) {
    ++mem.calls;
    EXPECT_EQ(res, nullptr);
    auto r = alloc_resnode();
    r->time = time_now();
    append_result(n, std::move(r));
    return mem.outcome;
}

class CheckEngine : public ::testing::Test {
protected:
    void SetUp() override {
        testing::reset_agent_state();
        for (auto& s : scanner_table()) {
            register_scanner(s.name, nullptr, nullptr);
            s.flags &= ~scanner_disabled;
        }
        register_scanner("mem", nullptr, mem_check);
        register_scanner("log", nullptr, log_check);
        mem = mem_behaviour{};
        last_retention_warning() = 0;
    }
    void TearDown() override {
        for (auto& s : scanner_table()) {
            register_scanner(s.name, nullptr, nullptr);
            s.flags &= ~scanner_disabled;
        }
        set_clock(nullptr);
    }
    devnode& check(const char* scanner, uint32_t type) {
        devtree* g = devtree_child(tree, scanner, std::nullopt);
        add_devnodes(*g, alloc_devnode());
        devnode& n = *g->checks.front();
        n.id = "item";
        n.type = type;
        n.frequency = 60;
        n.cont = {-1, -1, -1, -1};
        n.real = {-1, -1, -1, -1};
        return n;
    }
    uint32_t status_for(devnode& n, int32_t v) {
        mem.ivalue = v;
        auto r = check_device(n);
        return r ? r->status : 99;
    }
    devtree_list tree;
};

// --- Evaluation ------------------------------------------------------------

TEST_F(CheckEngine, AllThresholdsOffNeverRaiseAStatus) {
    devnode& n = check("mem", type_continuous);
    for (int32_t v : {std::numeric_limits<int32_t>::min(), -1, 0, 1, std::numeric_limits<int32_t>::max()})
        EXPECT_EQ(status_for(n, v), status_ok) << v;
}

TEST_F(CheckEngine, EqualToThresholdDoesNotCrossAndAlertBeatsWarning) {
    devnode& n = check("mem", type_continuous);
    n.cont.warn_high = 80;
    n.cont.alert_high = 90;
    EXPECT_EQ(status_for(n, 80), status_ok);
    EXPECT_EQ(status_for(n, 81), status_warning);
    EXPECT_EQ(status_for(n, 90), status_warning);
    EXPECT_EQ(status_for(n, 91), status_alert);
    n.cont = {20, -1, 10, -1};
    EXPECT_EQ(status_for(n, 20), status_ok);
    EXPECT_EQ(status_for(n, 19), status_warning);
    EXPECT_EQ(status_for(n, 9), status_alert);
}

TEST_F(CheckEngine, RealThresholdsAndNonFiniteValues) {
    log_capture cap;
    devnode& n = check("mem", type_real_continuous);
    n.real.warn_high = 1.5;
    n.real.alert_low = 0.5;
    mem.dvalue = 1.6;
    EXPECT_EQ(check_device(n)->status, status_warning);
    mem.dvalue = 0.25;
    EXPECT_EQ(check_device(n)->status, status_alert);
    for (double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
        mem.dvalue = bad;
        auto r = check_device(n);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, status_error);
        EXPECT_EQ(*r->text(), "Gave neither error nor valid result");
        EXPECT_EQ(r->dvalue, 0);
    }
    EXPECT_TRUE(cap.has("Error checking mem.item: Gave neither error nor valid result"));
}

TEST_F(CheckEngine, BitmapValueSelectsBitModulo32) {
    devnode& n = check("mem", type_enum);
    n.warn_mask = 1u << 1;
    n.alert_mask = 1u << 31;
    EXPECT_EQ(status_for(n, 33), status_warning);
    EXPECT_EQ(status_for(n, 1), status_warning);
    EXPECT_EQ(status_for(n, -1), status_alert);  // low five bits of -1 are 31
    EXPECT_EQ(status_for(n, 0), status_ok);
    n.alert_mask = 0xFFFFFFFFu;
    EXPECT_EQ(status_for(n, 33), status_alert);
    n.type = 15;  // above 13: not a bitmap, integer thresholds apply
    EXPECT_EQ(status_for(n, 33), status_ok);
}

TEST_F(CheckEngine, AnyThresholdsMasksTypesAndValuesLeaveBudgetBalanced) {
    std::mt19937 rng(11);
    auto any32 = [&] { return static_cast<int32_t>(rng()); };
    int64_t base = result_budget_used();
    {
        devtree_list t;
        devtree* g = devtree_child(t, "mem", std::nullopt);
        for (int i = 0; i < 2000; ++i) {
            add_devnodes(*g, alloc_devnode());
            devnode& n = *g->checks.front();
            n.type = rng() % 20;
            n.cont = {any32(), any32(), any32(), any32()};
            n.warn_mask = rng();
            n.alert_mask = rng();
            n.real = {std::ldexp(any32(), any32() % 64), -0.0, std::nan(""), HUGE_VAL};
            mem.ivalue = any32();
            mem.dvalue = rng() % 4 == 0 ? std::nan("") : std::ldexp(any32(), any32() % 64);
            mem.outcome = rng() % 3 == 0 ? err::text(std::string(rng() % 600, 'e')) : err{};
            run_check(n);
            for (auto& r : n.results) {
                EXPECT_LE(r.status, status_error);
                if (n.type == type_real_continuous && std::isnan(mem.dvalue)) {
                    EXPECT_EQ(r.status, status_error);
                }
            }
        }
    }
    EXPECT_EQ(result_budget_used(), base);
}

// --- Outcomes --------------------------------------------------------------

TEST_F(CheckEngine, NoResultLeavesNothingInTheQueue) {
    devnode& n = check("mem", type_continuous);
    mem.outcome = err::no_result();
    int64_t base = result_budget_used();
    run_check(n);
    EXPECT_TRUE(n.results.empty());
    EXPECT_EQ(result_budget_used(), base);
}

TEST_F(CheckEngine, ErrorOutcomeKeepsOwnTextOrCutsTheErrorTo255) {
    log_capture cap;
    devnode& n = check("mem", type_continuous);
    mem.ivalue = 5;
    mem.outcome = err::text(std::string(300, 'e'));
    auto r = check_device(n);
    EXPECT_EQ(r->status, status_error);
    EXPECT_EQ(r->ivalue, 0);
    EXPECT_EQ(r->text()->size(), 255u);
    EXPECT_EQ(r->text_size(), 300u);
    mem.own_text = "my own words";
    r = check_device(n);
    EXPECT_EQ(*r->text(), "my own words");
    EXPECT_EQ(r->time, sim_now);
}

TEST_F(CheckEngine, DisabledScannerGivesErrorResultsWithoutCallingIt) {
    devnode& n = check("mem", type_continuous);
    find_scanner("mem")->flags |= scanner_disabled;
    auto r = check_device(n);
    EXPECT_EQ(r->status, status_error);
    EXPECT_EQ(*r->text(), "Disabled by configuration");
    EXPECT_EQ(mem.calls, 0);
}

TEST_F(CheckEngine, UnknownTopLevelGroupGivesUnknownDeviceResult) {
    log_capture cap;
    devnode& n = check("nosuch", type_continuous);
    auto r = check_device(n);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, status_error);
    EXPECT_EQ(*r->text(), "Unknown device");
    EXPECT_TRUE(cap.has("Unknown device in check_device(): nosuch.item"));
    devnode loose;  // a check without any group must not crash either
    EXPECT_EQ(check_device(loose)->status, status_error);
}

TEST_F(CheckEngine, ScannerMakingOwnResultsOnlyLogsItsErrors) {
    log_capture cap;
    devnode& n = check("log", type_adv_log);
    mem.outcome = err::text("file gone");
    run_check(n);
    EXPECT_EQ(n.results.size(), 1u);  // only the one the operation queued
    EXPECT_EQ(n.results.front()->status, status_ok);
    EXPECT_TRUE(cap.has("Error checking log.item: file gone"));
    find_scanner("log")->flags |= scanner_disabled;
    run_check(n);
    EXPECT_EQ(mem.calls, 1);
    EXPECT_TRUE(cap.has("Error checking log.item: Disabled by configuration"));
}

TEST_F(CheckEngine, AgentActionLogsItsMessageAndQueuesNothing) {
    log_capture cap;
    devnode& n = check("mem", type_action);
    mem.outcome = err::text("restarted the spooler");
    run_check(n);
    EXPECT_TRUE(n.results.empty());
    EXPECT_TRUE(cap.has("Message for AgentAction: restarted the spooler"));
}

// --- Retention -------------------------------------------------------------

TEST_F(CheckEngine, RetentionBoundaryAndYoungerHeadProtectsOlderBehind) {
    log_capture cap;
    the_config().max_data_retention_days = 1;
    devnode& n = check("mem", type_continuous);
    int64_t base = result_budget_used();
    for (int64_t t : {sim_now - 86401, sim_now - 86400, sim_now - 86401}) {
        auto r = alloc_resnode();
        r->time = t;
        append_result(n, std::move(r));
    }
    apply_retention(n);
    ASSERT_EQ(n.results.size(), 2u);
    EXPECT_EQ(n.results.front()->time, sim_now - 86400);
    EXPECT_EQ(result_budget_used(), base + 2 * 80);
    EXPECT_TRUE(cap.has("item: Discarded 1 records"));
    EXPECT_EQ(cap.count("WARNING: Max data retention time exceeded, discarding data!"), 1u);
}

TEST_F(CheckEngine, RetentionWarningOncePerHourOfContinuousDiscards) {
    log_capture cap;
    the_config().max_data_retention_days = 1;
    devnode& n = check("mem", type_continuous);
    auto discard_one = [&] {
        auto r = alloc_resnode();
        r->time = sim_now - 2 * 86400;
        append_result(n, std::move(r));
        apply_retention(n);
    };
    const std::string warning = "WARNING: Max data retention time exceeded";
    discard_one();
    for (int i = 0; i < 10; ++i) {
        sim_now += 3000;  // discards keep coming within the hour
        discard_one();
    }
    EXPECT_EQ(cap.count(warning), 1u);
    sim_now += 3601;
    discard_one();
    EXPECT_EQ(cap.count(warning), 2u);
    EXPECT_TRUE(n.results.empty());
    auto r = alloc_resnode();
    r->time = sim_now;
    append_result(n, std::move(r));  // the tail was reset
    EXPECT_EQ(n.results.size(), 1u);
}

TEST_F(CheckEngine, RetentionOffKeepsEverything) {
    the_config().max_data_retention_days = 0;
    devnode& n = check("mem", type_continuous);
    auto r = alloc_resnode();
    r->time = 0;
    append_result(n, std::move(r));
    apply_retention(n);
    EXPECT_EQ(n.results.size(), 1u);
}

// --- Regression generator and fake results -----------------------------------

TEST_F(CheckEngine, RegressionWaveStartsAtTopAndStepsBySampleTime) {
    startup().regression_test = true;
    startup().fake_start_time = 5000;
    devnode& n = check("mem", type_continuous);
    n.frequency = 900;  // four samples per hour
    n.cont.warn_high = 15000;
    fake_checks_done() = true;
    std::vector<int32_t> values;
    for (int i = 0; i < 5; ++i) {
        auto r = check_device(n);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->time, 5000 + 900 * i);
        values.push_back(r->ivalue);
    }
    EXPECT_FALSE(fake_checks_done());
    EXPECT_EQ(values[0], 20000);
    EXPECT_NEAR(values[1], 10000, 1);  // truncated, so cos(pi/2) may give 9999
    EXPECT_EQ(values[2], 0);
    EXPECT_EQ(values[4], 20000);  // one hour is one period
    EXPECT_EQ(mem.calls, 0);
}

TEST_F(CheckEngine, RegressionGeneratorStopsAtFakeEndAndStartsAtNowByDefault) {
    startup().regression_test = true;
    startup().fake_end_time = sim_now + 120;
    devnode& n = check("mem", type_continuous);
    n.frequency = 60;
    EXPECT_EQ(check_device(n)->time, sim_now);
    EXPECT_EQ(check_device(n)->time, sim_now + 60);
    fake_checks_done() = true;
    int64_t base = result_budget_used();
    EXPECT_EQ(check_device(n), nullptr);
    EXPECT_TRUE(fake_checks_done());
    EXPECT_EQ(result_budget_used(), base);
}

TEST_F(CheckEngine, RegressionWithFrequencyAboveAnHourOrBelowOneDoesNotDivideByZero) {
    startup().regression_test = true;
    startup().fake_start_time = 0;
    devnode& n = check("mem", type_continuous);
    n.frequency = 7200;
    EXPECT_EQ(check_device(n)->ivalue, 20000);
    EXPECT_EQ(check_device(n)->ivalue, 20000);  // a full period per step
    devnode& m = check("mem", type_continuous);
    m.id = "zero";
    m.frequency = 0;
    EXPECT_EQ(check_device(m)->time, 0);
    EXPECT_EQ(check_device(m)->time, 1);
}

TEST_F(CheckEngine, FakeResultsGiveFixedValuesPerType) {
    startup().fake_results = true;
    std::srand(1);
    struct { uint32_t type; int32_t ivalue; double dvalue; } cases[] = {
        {0, 117, 0}, {1, 1, 0}, {2, 0, 0}, {7, 0, 117.0}, {14, 1, 0}, {15, 5, 0}, {8, 0, 0}};
    for (auto& c : cases) {
        devnode& n = check("fakegroup", c.type);
        n.id = "t" + std::to_string(c.type);
        auto r = check_device(n);
        ASSERT_TRUE(r) << c.type;
        EXPECT_EQ(r->ivalue, c.ivalue) << c.type;
        EXPECT_EQ(r->dvalue, c.dvalue) << c.type;
        EXPECT_EQ(*r->text(), "Fake result");
        EXPECT_LE(r->status, 2u);
        EXPECT_EQ(n.state_tag, state_tag_fake_results);
    }
    devnode& lg = check("fakegroup", type_adv_log);
    lg.id = "log";
    for (int i = 0; i < 2000; ++i) {
        auto r = check_device(lg);
        ASSERT_TRUE(r->log_text());
        if (r->log_text_size() != 11) {
            EXPECT_EQ(r->log_text_size() % 1024, 1023u);
        } else {
            EXPECT_EQ(*r->log_text(), "Fake result");
        }
    }
}

TEST_F(CheckEngine, ForeignStateTagIsFatalForEachGenerator) {
    devnode& n = check("mem", type_continuous);
    n.state_tag = state_tag_log;
    startup().regression_test = true;
    EXPECT_EXIT(check_device(n), ::testing::ExitedWithCode(1), "Check state corrupt");
    startup().regression_test = false;
    startup().fake_results = true;
    EXPECT_EXIT(check_device(n), ::testing::ExitedWithCode(1), "Check state corrupt");
    n.state_tag = state_tag_none;
}

TEST_F(CheckEngine, GeneratorReleaseRejectsTagChangedBehindItsBack) {
    startup().regression_test = true;
    devnode& n = check("mem", type_continuous);
    (void)check_device(n);
    EXPECT_EXIT(
        {
            n.state_tag = state_tag_fake_results;
            tree.clear();
        },
        ::testing::ExitedWithCode(1), "Magic mismatch in fake_free_state");
}

}  // namespace
}  // namespace zp
