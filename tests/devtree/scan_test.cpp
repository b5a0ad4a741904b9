// Tests of the scanner table and the hardware scan driver.
#include "devtree/scan.h"

#include <gtest/gtest.h>

#include "tests/devtree/test_support.h"

namespace zp {
namespace {

using testing::log_capture;

int ifthrough_checks = 0;

err scan_mem(devtree& root) {
    devtree* g = devtree_child(root, "mem", "Free Memory");
    add_devnodes(*g, alloc_devnode());
    g->checks[0]->id = "phys";
    return {};
}
err scan_fails_after_group(devtree& root) {
    devtree_child(root, "smart", std::nullopt);
    return err::text("no disks");
}
err count_check(devnode&, resnode*) {
    ++ifthrough_checks;
    return {};
}

class ScanDriver : public ::testing::Test {
protected:
    void SetUp() override {
        testing::reset_agent_state();
        for (auto& s : scanner_table()) {
            register_scanner(s.name, nullptr, nullptr);
            s.flags &= ~scanner_disabled;
        }
    }
    void TearDown() override { SetUp(); }
};

TEST_F(ScanDriver, StarDisablesEveryScannerAndYieldsEmptyTree) {
    log_capture cap;
    register_scanner("mem", scan_mem, nullptr);
    the_config().disable_checks = "*";
    devtree_list tree = hardware_scan();
    EXPECT_TRUE(tree.empty());
    for (auto& s : scanner_table()) EXPECT_TRUE(s.flags & scanner_disabled) << s.name;
    EXPECT_EQ(cap.count("disabled by configuration"), 16u);
}

TEST_F(ScanDriver, CommaSpaceListDisablesExactlyThoseAndLaterScanClearsThem) {
    log_capture cap;
    register_scanner("mem", scan_mem, nullptr);
    the_config().disable_checks = "smart, perf";
    devtree_list tree = hardware_scan();
    for (auto& s : scanner_table()) {
        bool expect = std::string(s.name) == "smart" || std::string(s.name) == "perf";
        EXPECT_EQ((s.flags & scanner_disabled) != 0, expect) << s.name;
    }
    EXPECT_TRUE(cap.has("Scanning of smart disabled by configuration"));
    EXPECT_TRUE(cap.has("Scanning of perf disabled by configuration"));
    ASSERT_EQ(tree.size(), 1u);
    EXPECT_EQ(tree[0]->parent, nullptr);  // the scan root does not outlive the scan
    EXPECT_EQ(tree[0]->checks[0]->parent, tree[0].get());

    the_config().disable_checks = "fs";
    tree = hardware_scan();
    EXPECT_FALSE(find_scanner("smart")->flags & scanner_disabled);
    // Without the setting the bits stay as they are.
    the_config().disable_checks.reset();
    tree = hardware_scan();
    EXPECT_TRUE(find_scanner("fs")->flags & scanner_disabled);
}

TEST_F(ScanDriver, FailingScannerKeepsWhatItAddedAndOthersStillRun) {
    log_capture cap;
    register_scanner("smart", scan_fails_after_group, nullptr);
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

TEST_F(ScanDriver, IfeventsIsNeverScannedButRunsTheThroughputCheck) {
    log_capture cap;
    register_scanner("ifthrough", [](devtree&) -> err { return {}; }, count_check);
    register_scanner("ifevents", scan_mem, nullptr);  // cannot be given a scan
    devtree_list tree = hardware_scan();
    EXPECT_TRUE(cap.has("Scanning ifthrough"));
    EXPECT_FALSE(cap.has("Scanning ifevents"));
    EXPECT_TRUE(tree.empty());
    devnode n;
    ifthrough_checks = 0;
    EXPECT_TRUE(find_scanner("ifevents")->check(n, nullptr).ok());
    EXPECT_EQ(ifthrough_checks, 1);
}

TEST_F(ScanDriver, UnbuiltScannerCheckSaysItIsNotAvailable) {
    devtree_list tree;
    devtree* g = devtree_child(tree, "safte", std::nullopt);
    add_devnodes(*g, alloc_devnode());
    err e = find_scanner("safte")->check(*g->checks[0], nullptr);
    EXPECT_EQ(e.message(), "Scanner safte is not available in this build");
    EXPECT_FALSE(register_scanner("nosuch", nullptr, nullptr));
}

TEST_F(ScanDriver, RegressionModeBuildsFakeMemoryItemsInOrder) {
    register_scanner("mem", scan_fails_after_group, nullptr);
    startup().regression_test = true;
    startup().fake_memory_items = 3;
    devtree_list tree = hardware_scan();
    ASSERT_EQ(tree.size(), 1u);
    EXPECT_EQ(tree[0]->id, "mem");
    EXPECT_EQ(*tree[0]->name, "Free Memory");
    ASSERT_EQ(tree[0]->checks.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        const devnode& n = *tree[0]->checks[i];
        EXPECT_EQ(n.id, "fakephys" + std::to_string(i + 1));
        EXPECT_EQ(n.name, "Faked physical memory " + std::to_string(i + 1));
        EXPECT_EQ(n.comment, "Faked Physical memory for regression test use. Number " + std::to_string(i + 1));
        EXPECT_EQ(n.unit, "kB");
        EXPECT_EQ(n.description, 2u);
    }
    startup().fake_memory_items = 0;
    tree = hardware_scan();
    ASSERT_EQ(tree.size(), 1u);
    EXPECT_TRUE(tree[0]->checks.empty());
}

TEST_F(ScanDriver, FakeResultsModeScansNothing) {
    log_capture cap;
    register_scanner("mem", scan_mem, nullptr);
    startup().fake_results = true;
    EXPECT_TRUE(hardware_scan().empty());
    EXPECT_FALSE(cap.has("Scanning mem"));
}

}  // namespace
}  // namespace zp
