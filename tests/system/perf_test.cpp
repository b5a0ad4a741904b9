// Tests of the perf, ifthrough/ifevents and block scanners and their checks
// against a captured /proc and /sys tree (several interfaces, one without a
// speed; disks with partitions beside device-mapper, loop and zram devices).
#include "monitors/system/perf.h"

#include <gtest/gtest.h>

#include <cmath>

#include "core/config.h"
#include "monitors/counters/counters.h"
#include "tests/support/fake_host.h"

namespace zp {
namespace {

class PerfScanners : public test::fake_host_test {
protected:
    void SetUp() override {
        fake_host_test::SetUp();
        at_sleep = [this] { copy("later"); };
    }
    void TearDown() override {
        fake_host_test::TearDown();
        the_config().perf_cnt_level = 200;
    }
    void copy(const char* tree) {
        lay_over(tree);
        forget_collections();
    }
    // The group at the end of the path of ids below the scan root, or null.
    devtree* group(std::initializer_list<const char*> ids) {
        devtree* g = &root;
        for (const char* id : ids) {
            devtree* next = nullptr;
            for (auto& c : g->children)
                if (c->id == id) next = c.get();
            if (!next) return nullptr;
            g = next;
        }
        return g;
    }
    devnode* item(devtree* g, const std::string& id) {
        if (g)
            for (auto& n : g->checks)
                if (n->id == id) return n.get();
        return nullptr;
    }
    devtree root;
};

TEST_F(PerfScanners, UnitRules) {
    struct {
        const char* id;
        bool has_type;
        uint32_t type;
        const char* unit;
    } cases[] = {
        {"Avg. Disk sec/Read", true, 0x30020400, "s"},
        {"Pool Paged Bytes", true, 0x00010100, "B"},
        {"Bytes Total/sec", true, 0x10410500, "B/s"},
        {"% Processor Time", true, 0x20510500, "1%"},
        {"Cache Size (KB)", true, 0x10410500, "kB"},  // whatever its type
        {"Latency (MS)", false, 0, "ms"},
        {"(ms)", false, 0, "ms"},
        {"Available KBytes", true, 0x00010100, ""},  // no word begins with Bytes
        {"Available KBytes", true, 0x10410500, "/s"},
        {"Available KBytes", false, 0, ""},
        {"Total bytes", false, 0, "B"},
        {"Disk Reads/sec", false, 0, ""},
        {"Reads", true, 0x40000000, ""},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.id);
        EXPECT_EQ(perf_counter_unit(k.id, k.has_type, k.type), k.unit);
    }
}

TEST_F(PerfScanners, RepeatedInstanceNamesAreNumbered) {
    EXPECT_EQ(instance_labels({"svchost", "svchost", "init", "svchost"}),
              (std::vector<std::string>{"svchost", "svchost#1", "init", "svchost#2"}));
    EXPECT_EQ(instance_labels({std::string(200, 'x')})[0].size(), 127u);
}

TEST_F(PerfScanners, PerfScanGroupsObjectsAndInstancesAtTheDetailLevel) {
    ASSERT_FALSE(scan_perfcnts(root));
    devtree* memory = group({"perf", "Memory"});
    ASSERT_TRUE(memory);
    EXPECT_EQ(memory->flags & 1, 0u);
    EXPECT_STREQ(memory->name_template, "Performance counter \\%1l\\%2l");
    EXPECT_EQ(memory->checks.size(), 13u);
    devtree* disks = group({"perf", "PhysicalDisk"});
    EXPECT_EQ(disks->flags & 1, 1u);
    EXPECT_STREQ(disks->name_template, "Performance counter \\%1l(%2l)\\%3l");
    EXPECT_EQ(disks->children.size(), 4u);  // three disks and _Total

    struct {
        std::initializer_list<const char*> group;
        const char *id, *unit;
    } units[] = {
        {{"perf", "Memory"}, "Available Bytes", "B"},
        {{"perf", "Memory"}, "Page Faults/sec", "/s"},
        {{"perf", "Memory"}, "% Committed Bytes In Use", "1%"},
        {{"perf", "PhysicalDisk", "1 sda"}, "Disk Read Bytes/sec", "B/s"},
        {{"perf", "PhysicalDisk", "1 sda"}, "Avg. Disk sec/Read", "s"},
        {{"perf", "PhysicalDisk", "1 sda"}, "Avg. Disk Queue Length", ""},
        {{"perf", "Network Interface", "eth1"}, "Bytes Total/sec", "B/s"},
        {{"perf", "System"}, "System Up Time", "s"},
    };
    for (const auto& u : units) {
        SCOPED_TRACE(u.id);
        devnode* n = item(group(u.group), u.id);
        ASSERT_TRUE(n);
        EXPECT_EQ(n->unit, u.unit);
    }

    the_config().perf_cnt_level = 400;
    devtree wizard;
    ASSERT_FALSE(scan_perfcnts(wizard));
    EXPECT_EQ(wizard.children[0]->children[2]->checks.size(), 15u);
}

TEST_F(PerfScanners, PerfCheckResetsOnNoCountersAndCreatesAfresh) {
    ASSERT_FALSE(scan_perfcnts(root));
    devnode* n = item(group({"perf", "Network Interface", "veth1"}), "Packets Received Errors");
    ASSERT_TRUE(n);
    resnode res;
    ASSERT_FALSE(check_perfcnt(*n, &res));
    EXPECT_EQ(n->state_tag, state_tag_counter);

    std::string dev = test::read_file(env.path("proc/net/dev"));
    std::string gone = dev.substr(0, dev.find(" veth1:"));
    test::write_file(env.path("proc/net/dev"), gone);
    now_ms += 1000;
    EXPECT_EQ(check_perfcnt(*n, &res).message(),
              "Get value for counter failed and caused reset of counter state: Couldn't collect query data for "
              "\\Network Interface(veth1)\\Packets Received Errors: The query does not currently contain any "
              "counters.");
    EXPECT_EQ(n->state_tag, state_tag_none);
    EXPECT_FALSE(n->state);
    // Still gone: the counter cannot be created.
    EXPECT_EQ(check_perfcnt(*n, &res).message(), "Error creating new counter");

    test::write_file(env.path("proc/net/dev"), dev);
    now_ms += 1000;
    ASSERT_FALSE(check_perfcnt(*n, &res));
    EXPECT_EQ(n->state_tag, state_tag_counter);
}

TEST_F(PerfScanners, InterfacesWithAndWithoutKnownBandwidth) {
    ASSERT_FALSE(scan_ifthroughput(root));
    for (const char* top : {"ifthrough", "ifevents"}) {
        devtree* g = group({top});
        ASSERT_TRUE(g);
        EXPECT_EQ(g->flags & 1, 1u);
        EXPECT_STREQ(g->name_template, "%0r for %1r");
        EXPECT_EQ(g->children.size(), 4u);
    }
    struct {
        const char *iface, *id;
        double high;  // 0: no range
    } cases[] = {
        {"eth0", "Bytes Received/sec", 12207.03125},  // 100 Mbit/s
        {"eth0", "Bytes Sent/sec", 12207.03125},
        {"eth0", "Bytes Total/sec", 24414.0625},
        {"eth1", "Bytes Total/sec", 0},  // speed -1
        {"lo", "Bytes Received/sec", 0},  // no speed at all
        {"veth1", "Bytes Sent/sec", 0},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(std::string(k.iface) + " " + k.id);
        devnode* n = item(group({"ifthrough", k.iface}), k.id);
        ASSERT_TRUE(n);
        EXPECT_EQ(n->name, k.id);
        EXPECT_EQ(n->unit, "kB/s");
        EXPECT_EQ(n->description, 17u);
        EXPECT_EQ(n->has_range, k.high > 0);
        if (k.high > 0) {
            EXPECT_DOUBLE_EQ(n->range_high, k.high);
        }
    }
    devnode* packets = item(group({"ifevents", "eth0"}), "Packets/sec");
    ASSERT_TRUE(packets);
    EXPECT_EQ(packets->comment, "Packet Throughput");
    EXPECT_EQ(packets->unit, "/s");
    EXPECT_EQ(packets->description, 16u);

    resnode res;
    ASSERT_FALSE(check_ifthrough(*item(group({"ifthrough", "eth0"}), "Bytes Received/sec"), &res));
    EXPECT_DOUBLE_EQ(res.dvalue, 2000.0);  // kB/s
    EXPECT_EQ(res.ivalue, 2000);
    copy("host");
    ASSERT_FALSE(check_ifthrough(*packets, &res));
    EXPECT_DOUBLE_EQ(res.dvalue, 2000.0);

}

TEST_F(PerfScanners, BlockScanAndChecksOfWholeDisks) {
    ASSERT_FALSE(scan_block_devices(root));
    devtree* physical = group({"block", "physical"});
    ASSERT_TRUE(physical);
    EXPECT_STREQ(group({"block"})->name_template, "%0r for %1r");
    std::vector<std::string> names;
    for (auto& g : physical->children) names.push_back(g->id + "=" + g->name.value_or(""));
    EXPECT_EQ(names, (std::vector<std::string>{"0=Physical Disk 0 (nvme0n1)", "1=Physical Disk 1 (sda)",
                                               "2=Physical Disk 2 (sdb)"}));
    devtree* sda = group({"block", "physical", "1"});
    ASSERT_EQ(sda->checks.size(), 13u);
    EXPECT_DOUBLE_EQ(item(sda, "idle")->range_high, 100.0);
    EXPECT_TRUE(std::isnan(item(sda, "read_bytes")->range_high));

    struct {
        const char* id;
        double want;
    } cases[] = {{"read_io", 200}, {"pct_read", 30}, {"idle", 60}, {"sec_read", 0.0015}, {"split_io", 0}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.id);
        copy("host");
        resnode res;
        ASSERT_FALSE(check_block_device(*item(sda, k.id), &res));
        EXPECT_NEAR(res.dvalue, k.want, 1e-12);
        EXPECT_EQ(res.ivalue, static_cast<int32_t>(std::floor(k.want + 0.5)));
    }

    devtree gone;
    gone.id = "7";
    devnode n;
    n.id = "read_io";
    n.parent = &gone;
    resnode res;
    EXPECT_EQ(check_block_device(n, &res).message(), "Could not get performance counter \"Disk Reads/sec\" for physical disk 7");
}

TEST_F(PerfScanners, DiskInstanceNames) {
    int number = -1;
    std::string word;
    ASSERT_TRUE(parse_disk_instance("0 C: D:", number, word));
    EXPECT_EQ(number, 0);
    EXPECT_EQ(word, "C:");
    for (const char* bad : {"_Total", "3", "99999999999 sda"}) EXPECT_FALSE(parse_disk_instance(bad, number, word)) << bad;
}

}  // namespace
}  // namespace zp
