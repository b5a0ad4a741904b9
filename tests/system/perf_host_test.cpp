// The perf, interface and disk scanners on this host: what they offer, and
// check values against /proc/net/dev and /proc/diskstats read around the
// same second (a rate's one-second interval lies inside that window, so the
// rate cannot exceed the window's change).
#include <gtest/gtest.h>

#include <cstdlib>

#include "core/config.h"
#include "monitors/counters/counters.h"
#include "monitors/counters/host_files.h"
#include "monitors/counters/proc_parse.h"
#include "monitors/system/perf.h"
#include "tests/support/files.h"

namespace zp {
namespace {

net_dev_line net_dev(const std::string& iface) {
    for (auto& l : parse_net_dev(test::read_file("/proc/net/dev")))
        if (l.name == iface) return l;
    return {};
}

disk_line diskstats(const std::string& disk) {
    for (auto& l : parse_diskstats(test::read_file("/proc/diskstats")))
        if (l.name == disk) return l;
    return {};
}

devtree* child(devtree* g, const std::string& id) {
    if (g)
        for (auto& c : g->children)
            if (c->id == id) return c.get();
    return nullptr;
}

devnode* item(devtree* g, const std::string& id) {
    if (g)
        for (auto& n : g->checks)
            if (n->id == id) return n.get();
    return nullptr;
}

bool speed_known(const std::string& iface) {
    std::string s = test::read_file("/sys/class/net/" + iface + "/speed");
    return !s.empty() && std::atol(s.c_str()) > 0;
}

TEST(PerfOnThisHost, InterfacesOfUnknownSpeedAreOfferedWithoutRange) {
    devtree root;
    ASSERT_FALSE(scan_ifthroughput(root));
    std::vector<net_dev_line> lines = parse_net_dev(test::read_file("/proc/net/dev"));
    ASSERT_FALSE(lines.empty());
    for (const auto& l : lines) {
        SCOPED_TRACE(l.name);
        devnode* n = item(child(child(&root, "ifthrough"), l.name), "Bytes Received/sec");
        ASSERT_TRUE(n);
        EXPECT_EQ(n->has_range, speed_known(l.name) ? 1 : 0);
        EXPECT_TRUE(item(child(child(&root, "ifevents"), l.name), "Packets Received/sec"));
    }
    ASSERT_FALSE(scan_perfcnts(root));
    EXPECT_TRUE(child(child(child(&root, "perf"), "Network Interface"), lines[0].name));
}

TEST(PerfOnThisHost, InterfaceChecksAgreeWithNetDev) {
    devtree root;
    ASSERT_FALSE(scan_ifthroughput(root));
    struct {
        const char* group;
        const char* id;
        double scale;  // the check's unit in the file's
        uint64_t (*figure)(const net_dev_line&);
    } cases[] = {
        {"ifthrough", "Bytes Received/sec", 1024, [](const net_dev_line& l) { return l.rx_bytes; }},
        {"ifevents", "Packets Received/sec", 1, [](const net_dev_line& l) { return l.rx_packets; }},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.id);
        devnode* n = item(child(child(&root, k.group), "lo"), k.id);
        ASSERT_TRUE(n);
        forget_collections();  // the scan's collection is older than the window
        net_dev_line before = net_dev("lo");
        resnode res;
        ASSERT_FALSE(check_ifthrough(*n, &res));
        net_dev_line after = net_dev("lo");
        EXPECT_GE(res.dvalue, 0);
        EXPECT_LE(res.dvalue * k.scale, static_cast<double>(k.figure(after) - k.figure(before)));
    }
    // A raw figure is the file's figure of that second.
    auto errs = create_english_counter("Network Interface", "lo", "Packets Received Errors", true);
    ASSERT_TRUE(errs);
    double v = -1;
    ASSERT_FALSE(get_counter_value(*errs, v));
    EXPECT_EQ(v, static_cast<double>(net_dev("lo").rx_errs));
}

TEST(PerfOnThisHost, DiskChecksAgreeWithDiskstats) {
    devtree root;
    ASSERT_FALSE(scan_block_devices(root));
    devtree* disk = child(child(child(&root, "block"), "physical"), "0");
    if (!disk) GTEST_SKIP() << "no disk backed by a device on this host";
    std::string name = disk->name.value_or("");  // "Physical Disk 0 (vda)"
    name = name.substr(name.find('(') + 1);
    name.pop_back();

    struct {
        const char* id;
        uint64_t (*figure)(const disk_line&);
    } cases[] = {
        {"read_io", [](const disk_line& d) { return d.reads; }},
        {"write_bytes", [](const disk_line& d) { return d.write_sectors * 512; }},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.id);
        devnode* n = item(disk, k.id);
        ASSERT_TRUE(n);
        forget_collections();
        disk_line before = diskstats(name);
        resnode res;
        ASSERT_FALSE(check_block_device(*n, &res));
        disk_line after = diskstats(name);
        EXPECT_GE(res.dvalue, 0);
        EXPECT_LE(res.dvalue, static_cast<double>(k.figure(after) - k.figure(before)));
    }
}

}  // namespace
}  // namespace zp
