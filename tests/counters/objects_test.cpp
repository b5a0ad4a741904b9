// Tests of the memory, network interface and disk objects against captured
// /proc and /sys trees: what enumeration offers by detail level, the values
// of two collections one second apart, figures going backwards, and one
// collection per object and second.
#include <gtest/gtest.h>

#include <filesystem>

#include "monitors/counters/counters.h"
#include "tests/support/fake_host.h"

namespace zp {
namespace {

namespace fs = std::filesystem;

class Objects : public test::fake_host_test {
protected:
    // The second collection sees the files of testdata/later.
    void later_at_sleep() {
        at_sleep = [this] { lay_over("later"); };
    }
};

TEST_F(Objects, EnumerationOffersWholeDisksInterfacesAndCountersByDetailLevel) {
    std::vector<std::string> counters, instances;
    ASSERT_FALSE(enum_object_items("PhysicalDisk", 200, counters, instances));
    // Partitions, device-mapper volumes, loop and zram devices are no disks.
    EXPECT_EQ(instances, (std::vector<std::string>{"0 nvme0n1", "1 sda", "2 sdb", "_Total"}));
    EXPECT_EQ(counters.size(), 18u);
    ASSERT_FALSE(enum_object_items("Network Interface", 200, counters, instances));
    EXPECT_EQ(instances, (std::vector<std::string>{"lo", "eth0", "eth1", "veth1"}));

    struct {
        const char* object;
        uint32_t level;
        size_t counters;
    } cases[] = {
        {"Memory", 100, 7}, {"Memory", 200, 13}, {"Memory", 300, 14}, {"Memory", 400, 15},
        {"PhysicalDisk", 100, 5}, {"Network Interface", 100, 3}, {"Network Interface", 400, 11},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(std::string(k.object) + " " + std::to_string(k.level));
        ASSERT_FALSE(enum_object_items(k.object, k.level, counters, instances));
        EXPECT_EQ(counters.size(), k.counters);
        EXPECT_TRUE(instances.empty() == (std::string(k.object) == "Memory"));
    }
    std::vector<std::string> objects;
    ASSERT_FALSE(enum_objects(200, objects));
    EXPECT_EQ(objects, (std::vector<std::string>{"Processor", "System", "Memory", "Network Interface", "PhysicalDisk"}));
    EXPECT_EQ(enum_object_items("Nonesuch", 400, counters, instances).message(),
              "The specified object was not found on the computer.");
}

TEST_F(Objects, ValuesOfTwoCollectionsOneSecondApart) {
    struct {
        const char *object, *instance, *counter;
        double want;
    } cases[] = {
        {"Network Interface", "eth0", "Bytes Received/sec", 2048000},
        {"Network Interface", "eth0", "Bytes Total/sec", 2560000},
        {"Network Interface", "eth0", "Packets/sec", 2000},
        {"Network Interface", "eth0", "Packets Received Errors", 3},  // raw: one collection
        {"Network Interface", "eth0", "Current Bandwidth", 100e6},
        {"Network Interface", "eth1", "Current Bandwidth", 0},  // speed -1
        {"Network Interface", "lo", "Current Bandwidth", 0},    // no speed at all
        {"Network Interface", "veth1", "Current Bandwidth", 0},  // not in /sys
        {"PhysicalDisk", "1 sda", "Disk Reads/sec", 200},
        {"PhysicalDisk", "1 sda", "Disk Write Bytes/sec", 1024000},
        {"PhysicalDisk", "1 sda", "% Disk Read Time", 30},
        {"PhysicalDisk", "1 sda", "% Idle Time", 60},
        {"PhysicalDisk", "1 sda", "Avg. Disk sec/Read", 0.0015},
        {"PhysicalDisk", "1 sda", "Avg. Disk sec/Write", 0.001},
        {"PhysicalDisk", "1 sda", "Avg. Disk Queue Length", 0.8},
        {"PhysicalDisk", "1 sda", "Current Disk Queue Length", 1},
        {"PhysicalDisk", "1 sda", "Split IO/Sec", 0},
        {"PhysicalDisk", "2 sdb", "Disk Read Bytes/sec", 40960},  // an old kernel's eleven figures
        {"PhysicalDisk", "_Total", "Disk Reads/sec", 260},        // whole disks only
        {"Memory", nullptr, "Available Bytes", 4096000000.0},
        {"Memory", nullptr, "% Committed Bytes In Use", 25},
        {"Memory", nullptr, "Cache Bytes", 2150400000.0},
        {"Memory", nullptr, "Page Faults/sec", 2500},
        {"Memory", nullptr, "Pages/sec", 5},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(std::string(k.instance ? k.instance : "") + " " + k.counter);
        lay_over("host");
        forget_collections();
        later_at_sleep();
        auto c = create_counter(k.object, k.instance, k.counter, true);
        ASSERT_TRUE(c);
        double v = -1;
        ASSERT_FALSE(get_counter_value(*c, v));
        EXPECT_NEAR(v, k.want, 1e-9 * (1 + k.want));
    }
}

TEST_F(Objects, ReplacedOrWrappedDiskGivesInvalidDataNotANegativeRate) {
    auto c = create_counter("PhysicalDisk", "1 sda", "Disk Reads/sec", true);
    ASSERT_TRUE(c);
    double v = -1;
    later_at_sleep();
    ASSERT_FALSE(get_counter_value(*c, v));
    // The disk starts counting again from 0: the sample behind the last one
    // is invalid data, and the value comes from the second after it.
    now_ms += 1000;
    auto replaced = [this](const char* reads) {
        std::string text = test::read_file(testdata + "later/proc/diskstats");
        text.replace(text.find("sda 1200"), 8, std::string("sda ") + reads);
        test::write_file(env.path("proc/diskstats"), text);
    };
    replaced("   5");
    at_sleep = [&] { replaced("  55"); };
    v = -1;
    ASSERT_FALSE(get_counter_value(*c, v));
    EXPECT_DOUBLE_EQ(v, 50);
}

TEST_F(Objects, OneCollectionServesEveryCounterOfAnObjectWithinASecond) {
    const char* disk[] = {"Disk Reads/sec", "Disk Writes/sec", "% Idle Time", "Avg. Disk sec/Read"};
    std::vector<std::unique_ptr<counter_state>> cs;
    for (const char* name : disk) cs.push_back(create_counter("PhysicalDisk", "1 sda", name, true));
    cs.push_back(create_counter("PhysicalDisk", "_Total", "Disk Reads/sec", true));
    cs.push_back(create_counter("Network Interface", "eth0", "Bytes Sent/sec", true));
    cs.push_back(create_counter("Network Interface", "lo", "Packets/sec", true));
    later_at_sleep();
    double v;
    for (auto& c : cs) ASSERT_FALSE(get_counter_value(*c, v));  // the first read sleeps once
    at_sleep = nullptr;
    now_ms += 1000;
    const uint64_t before = collections_made();
    double first = -1;
    ASSERT_FALSE(get_counter_value(*cs[0], first));
    for (auto& c : cs) ASSERT_FALSE(get_counter_value(*c, v));
    EXPECT_EQ(collections_made() - before, 2u);  // /proc/diskstats and /proc/net/dev once each
    // Older figures written within that second are not read (they would be
    // invalid data): the round keeps its collection.
    fs::copy(testdata + "host/proc", env.path("proc"), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    ASSERT_FALSE(get_counter_value(*cs[0], v));
    EXPECT_EQ(v, first);
}

TEST_F(Objects, RoundOfNewCountersWaitsOncePerObjectAndKnownCountersNever) {
    int sleeps = 0;
    at_sleep = [&] {
        ++sleeps;
        lay_over("later");
    };
    // As a round of checks does: each counter is created by its first run.
    struct {
        const char *object, *instance, *counter;
    } round[] = {
        {"PhysicalDisk", "1 sda", "Disk Reads/sec"},        {"PhysicalDisk", "1 sda", "Disk Reads/sec"},
        {"PhysicalDisk", "_Total", "Disk Reads/sec"},       {"PhysicalDisk", "1 sda", "% Idle Time"},
        {"Network Interface", "eth0", "Bytes Sent/sec"},    {"Network Interface", "lo", "Packets/sec"},
    };
    std::vector<std::unique_ptr<counter_state>> cs;
    std::vector<double> first;
    for (const auto& r : round) {
        SCOPED_TRACE(r.counter);
        cs.push_back(create_counter(r.object, r.instance, r.counter, true));
        double v = -1;
        ASSERT_FALSE(get_counter_value(*cs.back(), v));
        first.push_back(v);
    }
    EXPECT_EQ(sleeps, 2);  // /proc/diskstats and /proc/net/dev
    // A later counter spans the same two collections as the one that waited.
    EXPECT_EQ(first[1], first[0]);
    EXPECT_GT(first[0], 0);
    // The next rounds read every counter at once.
    for (int r = 0; r < 3; ++r) {
        now_ms += 1000;
        double v;
        for (auto& c : cs) ASSERT_FALSE(get_counter_value(*c, v));
    }
    EXPECT_EQ(sleeps, 2);
}

}  // namespace
}  // namespace zp
