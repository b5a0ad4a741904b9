// channel_test.cpp - event log checks over real journal files, written from
// export format by systemd-journal-remote into the test's journal directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "core/variables.h"
#include "logcheck/channel.h"
#include "logcheck/logconf.h"
#include "logcheck/logfile.h"
#include "logcheck/rules.h"
#include "tests/support/files.h"
#include "tests/support/journal.h"
#include "tests/support/log_capture.h"

namespace zp {
namespace {

class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        clear_variables();
        set_log_file_hooks({nullptr, [](int) {}});
        reset_channel_api();
#if defined(_WIN32)
        GTEST_SKIP() << "the channels are the systemd journal's";
#endif
        ASSERT_TRUE(load_channel_api());
    }
    void TearDown() override {
        set_log_file_hooks({});
        reset_channel_api();
        clear_variables();
    }

    // The check of `channel` (group log, eventlog), with one rule that records
    // every line.
    devnode& check(const std::string& channel) {
        devtree* g = devtree_child(tree_, "log", std::nullopt);
        g = devtree_child(*g, "eventlog", std::nullopt);
        auto n = alloc_devnode();
        n->id = channel;
        n->type = type_adv_log;
        n->lognode = alloc_lognode();
        auto r = alloc_logrule();
        EXPECT_TRUE(parse_log_clauses("'^'", *r).ok());
        r->decision = decision_log;
        r->status = status_warning;
        add_logrule(n->lognode.get(), std::move(r));
        devnode& node = *n;
        add_devnodes(*g, std::move(n));
        return node;
    }

    // Runs the check; the lines its rule recorded.
    static std::vector<std::string> run(devnode& node) {
        err e = log_check(node, nullptr);
        EXPECT_FALSE(e) << e.message();
        std::vector<std::string> out;
        for (auto& r : node.results)
            if (r.log_text() && r.status == status_warning) out.emplace_back(*r.log_text());
        node.results.clear();
        return out;
    }
    static void restart(devnode& node) { node.release_state(node); }

    test::temp_env env_;
    test::journal_writer journal_{env_.path("journal")};
    devtree_list tree_;
};

using lines = std::vector<std::string>;

std::string entry(const std::string& unit, const std::string& message) {
    return "_SYSTEMD_UNIT=" + unit + "\nSYSLOG_IDENTIFIER=app\nPRIORITY=6\n_HOSTNAME=h\nMESSAGE=" + message + "\n";
}

TEST_F(ChannelTest, NewCheckSkipsOldEntriesAndRestartLosesAndRepeatsNothing) {
    journal_.add({entry("a.service", "old 1"), entry("b.service", "old 2")});
    devnode& all = check("journal");
    devnode& unit = check("a.service");
    EXPECT_EQ(run(all), lines{});
    EXPECT_EQ(run(unit), lines{});

    journal_.add({entry("a.service", "new 1"), entry("b.service", "new 2")});
    EXPECT_EQ(run(all), (lines{"Information:app:0:0:N/A:h:new 1", "Information:app:0:0:N/A:h:new 2"}));
    restart(all);
    journal_.add({entry("a.service", "new 3")});
    restart(unit);
    EXPECT_EQ(run(all), lines{"Information:app:0:0:N/A:h:new 3"});
    EXPECT_EQ(run(unit), (lines{"Information:app:0:0:N/A:h:new 1", "Information:app:0:0:N/A:h:new 3"}));
    EXPECT_EQ(run(all), lines{});
}

TEST_F(ChannelTest, EmptyChannelAtFirstLookReportsEverythingLater) {
    devnode& unit = check("a.service");
    EXPECT_EQ(run(unit), lines{});
    journal_.add({entry("a.service", "first")});
    restart(unit);
    EXPECT_EQ(run(unit), lines{"Information:app:0:0:N/A:h:first"});
}

TEST_F(ChannelTest, VacuumedBookmarkStartsAtTheOldestEntry) {
    journal_.add({entry("a.service", "old")}, "one");
    devnode& all = check("journal");
    EXPECT_EQ(run(all), lines{});
    std::filesystem::remove(env_.path("journal/one.journal"));
    journal_.add({entry("a.service", "x"), entry("a.service", "y")}, "two");
    test::log_capture cap(1);
    restart(all);
    EXPECT_EQ(run(all), (lines{"Information:app:0:0:N/A:h:x", "Information:app:0:0:N/A:h:y"}));
    EXPECT_TRUE(cap.has("Bookmark of event log journal is no longer in the journal; reading from its oldest entry"));
}

TEST_F(ChannelTest, UnreadableBookmarkStartsAtTheLastEntry) {
    journal_.add({entry("a.service", "old")});
    devnode& all = check("journal");
    const std::string bad = "no cursor";
    const std::string hex = log_hex_encode(reinterpret_cast<const unsigned char*>(bad.data()), bad.size());
    ASSERT_TRUE(set_variable("last_bin:" + dotted_name(all), hex).ok());
    test::log_capture cap(1);
    EXPECT_EQ(run(all), lines{});
    EXPECT_TRUE(cap.has("Bookmark of event log journal cannot be used"));
    journal_.add({entry("a.service", "new")});
    EXPECT_EQ(run(all), lines{"Information:app:0:0:N/A:h:new"});
}

TEST_F(ChannelTest, LineLayout) {
    devnode& all = check("journal");
    EXPECT_EQ(run(all), lines{});
    struct row {
        std::string fields;
        std::string line;
    } rows[] = {
        {"PRIORITY=0\nMESSAGE=m\n", "Critical::0:0:N/A::m"},
        {"PRIORITY=2\nMESSAGE=m\n", "Critical::0:0:N/A::m"},
        {"PRIORITY=3\nSYSLOG_IDENTIFIER=Disk\nMESSAGE=m\n", "Error:Disk:0:0:N/A::m"},
        {"PRIORITY=4\nMESSAGE=m\n", "Warning::0:0:N/A::m"},
        {"PRIORITY=5\nMESSAGE=m\n", "Information::0:0:N/A::m"},
        {"PRIORITY=7\nMESSAGE=m\n", "Verbose::0:0:N/A::m"},
        {"PRIORITY=9\nMESSAGE=m\n", "N/A::0:0:N/A::m"},
        {"MESSAGE=no priority\n", "N/A::0:0:N/A::no priority"},
        {"PRIORITY=6\n_COMM=sshd\nSYSLOG_FACILITY=10\n_UID=0\n_HOSTNAME=host1\nMESSAGE=a:b\n",
         "Information:sshd:10:0:root:host1:a:b"},
        {"PRIORITY=6\n_COMM=sshd\nSYSLOG_IDENTIFIER=ident\n_UID=3999999\nMESSAGE=m\n",
         "Information:ident:0:0:N/A::m"},
        {"PRIORITY=6\nSYSLOG_FACILITY=x\nCODE=7\nDETAIL=y\n_PID=1\n", "Information::0:0:N/A::CODE=7\r\nDETAIL=y\r\n"},
        {"PRIORITY=6\n" + test::journal_binary_field("MESSAGE", std::string("bin\0ary", 7)), "Information::0:0:N/A::bin"},
        {"PRIORITY=6\nMESSAGE=caf\xc3\xa9 \xff\n", "Information::0:0:N/A::caf\xc3\xa9 \xff"},
    };
    std::vector<std::string> entries, want;
    for (const auto& r : rows) {
        entries.push_back(r.fields);
        want.push_back(r.line);
    }
    journal_.add(entries);
    EXPECT_EQ(run(all), want);
}

TEST_F(ChannelTest, DueCheckInSpreadsABurstOverChecksInOrder) {
    devnode& all = check("journal");
    EXPECT_EQ(run(all), lines{});
    journal_.add({entry("a.service", "1"), entry("a.service", "2"), entry("a.service", "3")});
    set_log_file_hooks({[] { return true; }, [](int) {}});
    lines got;
    for (int i = 0; i < 4; i++)
        for (auto& l : run(all)) got.push_back(l.substr(l.rfind(':') + 1));
    EXPECT_EQ(got, (lines{"1", "2", "3"}));
}

TEST_F(ChannelTest, EventlogLinesOfferTheJournalsUnits) {
    journal_.add({entry("a.service", "x"), entry("b.service", "y"), "MESSAGE=no unit\n"});
    EXPECT_EQ(event_log_channels(), (lines{"journal", "a.service", "b.service"}));

    auto conf = parse_log_config("eventlog: *\n");
    ASSERT_TRUE(conf);
    devtree top;
    top.id = "log";
    log_match start{log_match::directory, 0, "", {}};
    for (const auto& l : *conf) start.chains.push_back({l, 0});
    log_fs_scan("", top, start);
    ASSERT_EQ(top.children.size(), 1u);
    const devtree& ev = *top.children.front();
    EXPECT_EQ(ev.id, "eventlog");
    lines ids;
    for (const auto& n : ev.checks) {
        EXPECT_EQ(n->type, type_adv_log);
        EXPECT_EQ(n->description, 20u);
        ids.push_back(n->id);
    }
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (lines{"a.service", "b.service", "journal"}));
}

#if defined(_WIN32)
TEST(ChannelWin32, InterfaceIsUnavailableAndOffersNoChannels) {
    reset_channel_api();
    EXPECT_FALSE(load_channel_api());
    EXPECT_TRUE(event_log_channels().empty());
    reset_channel_api();
}
#endif

}  // namespace
}  // namespace zp
