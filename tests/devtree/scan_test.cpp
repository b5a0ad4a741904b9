// Tests of the scanner table and the hardware scan driver.
#include "devtree/scan.h"

#include <gtest/gtest.h>

#include "tests/support/agent_state.h"
#include "tests/support/log_capture.h"

namespace zp {
namespace {

int checks_run = 0;

err scan_mem(devtree& root) {
    test::add_check(*devtree_child(root, "mem", "Free Memory"), "phys");
    return {};
}
err count_check(devnode&, resnode*) {
    ++checks_run;
    return {};
}

class ScanDriver : public ::testing::Test {
protected:
    void SetUp() override { test::reset_agent_state(); }
    void TearDown() override { test::reset_agent_state(); }
    std::string disabled() const {
        std::string out;
        for (auto& s : scanner_table())
            if (s.flags & scanner_disabled) out += std::string(s.name) + " ";
        return out;
    }
    test::log_capture cap;
};

TEST_F(ScanDriver, DisableChecksListSetsExactlyThoseAndLaterScanClearsThem) {
    register_scanner("mem", scan_mem, nullptr);
    the_config().disable_checks = "*";
    EXPECT_TRUE(hardware_scan().empty());
    EXPECT_EQ(cap.count("disabled by configuration"), 16u);

    the_config().disable_checks = "smart, perf";
    devtree_list tree = hardware_scan();
    EXPECT_EQ(disabled(), "smart perf ");
    EXPECT_TRUE(cap.has("Scanning of smart disabled by configuration"));
    ASSERT_EQ(tree.size(), 1u);
    EXPECT_EQ(tree[0]->parent, nullptr);  // the scan root does not outlive the scan
    EXPECT_EQ(tree[0]->checks[0]->parent, tree[0].get());

    the_config().disable_checks = "fs";
    tree = hardware_scan();
    the_config().disable_checks.reset();  // without the setting the bits stay as they are
    tree = hardware_scan();
    EXPECT_EQ(disabled(), "fs ");
}

TEST_F(ScanDriver, FailingScannerKeepsWhatItAddedAndOthersStillRun) {
    register_scanner("smart", [](devtree& root) -> err {
        devtree_child(root, "smart", std::nullopt);
        return err::text("no disks");
    }, nullptr);
    register_scanner("custom", [](devtree& root) -> err {
        devtree_child(root, "custom", std::nullopt);
        return {};
    }, nullptr);
    devtree_list tree = hardware_scan();
    ASSERT_EQ(tree.size(), 2u);
    EXPECT_EQ(tree[0]->id, "smart");
    EXPECT_EQ(tree[1]->id, "custom");
    EXPECT_TRUE(cap.has("scan[smart]: no disks"));
    EXPECT_TRUE(cap.has("Starting hardware scan"));
}

TEST_F(ScanDriver, IfeventsIsNeverScannedButRunsTheThroughputCheckAndUnbuiltOnesSaySo) {
    register_scanner("ifthrough", [](devtree&) -> err { return {}; }, count_check);
    register_scanner("ifevents", scan_mem, nullptr);  // cannot be given a scan
    EXPECT_TRUE(hardware_scan().empty());
    EXPECT_TRUE(cap.has("Scanning ifthrough"));
    EXPECT_FALSE(cap.has("Scanning ifevents"));
    devnode n;
    checks_run = 0;
    EXPECT_TRUE(find_scanner("ifevents")->check(n, nullptr).ok());
    EXPECT_EQ(checks_run, 1);
    // A scanner this build lacks says so when its check runs.
    devtree_list tree;
    devnode* x = test::add_check(*devtree_child(tree, "safte", std::nullopt), "x");
    EXPECT_EQ(find_scanner("safte")->check(*x, nullptr).message(), "Scanner safte is not available in this build");
    EXPECT_FALSE(register_scanner("nosuch", nullptr, nullptr));
}

TEST_F(ScanDriver, RegressionModeBuildsFakeMemoryItemsAndFakeResultsModeNothing) {
    register_scanner("mem", scan_mem, nullptr);
    startup().regression_test = true;
    startup().fake_memory_items = 2;
    devtree_list tree = hardware_scan();
    ASSERT_EQ(tree.size(), 1u);
    EXPECT_EQ(*tree[0]->name, "Free Memory");
    ASSERT_EQ(tree[0]->checks.size(), 2u);
    const devnode& n = *tree[0]->checks[1];
    EXPECT_EQ(dotted_name(n) + "|" + n.name + "|" + n.comment + "|" + n.unit + "|" + std::to_string(n.description),
              "mem.fakephys2|Faked physical memory 2|Faked Physical memory for regression test use. Number 2|kB|2");

    startup() = startup_state{};
    startup().fake_results = true;
    EXPECT_TRUE(hardware_scan().empty());
    EXPECT_FALSE(cap.has("Scanning mem"));
}

}  // namespace
}  // namespace zp
