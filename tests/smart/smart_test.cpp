// Tests of the SMART scanner and check through a fake transport that replays
// constructed pages and registers.
#include "monitors/smart/smart.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <optional>
#include <vector>

#include "tests/support/agent_state.h"
#include "tests/support/log_capture.h"

namespace zp {
namespace {

using bytes = std::vector<uint8_t>;

struct fake_drive {
    drive_bus bus = drive_bus::ata;
    bool enable_ok = true;
    std::optional<bytes> values, thresholds, health;  // absent: the read fails
    std::optional<ata_regs> status;                   // absent: the status command fails
};

std::map<int, fake_drive> drives;
int open_handles = 0;

intptr_t fake_open(const std::string& path, drive_bus& bus, err& e) {
    int n = -1;
    if (std::sscanf(path.c_str(), "\\\\.\\PhysicalDrive%d", &n) != 1 || !drives.count(n)) {
        e = err::text("No such device");
        return -1;
    }
    bus = drives[n].bus;
    ++open_handles;
    return n;
}

err give(const std::optional<bytes>& page, std::span<uint8_t> data, size_t& got) {
    if (!page) return err::text("I/O error");
    got = std::min(page->size(), data.size());
    if (got) std::memcpy(data.data(), page->data(), got);
    return {};
}

err fake_ata(intptr_t h, ata_regs& regs, std::span<uint8_t> data, size_t& got) {
    fake_drive& d = drives[static_cast<int>(h)];
    switch (regs.features) {
    case 0xD8: return d.enable_ok ? err() : err::text("aborted");
    case 0xD0: return give(d.values, data, got);
    case 0xD1: return give(d.thresholds, data, got);
    case 0xDA:
        if (!d.status) return err::text("aborted");
        regs = *d.status;
        return {};
    }
    return err::text("unexpected command");
}

err fake_health(intptr_t h, std::span<uint8_t> page, size_t& got) { return give(drives[static_cast<int>(h)].health, page, got); }
void fake_close(intptr_t) { --open_handles; }

constexpr smart_transport fake = {fake_open, fake_ata, fake_health, fake_close};

// One attribute: position, id, pre-failure flag, current value; threshold id
// is the same, threshold as given.
struct attr {
    int pos;
    uint8_t id;
    bool prefail;
    uint8_t value;
    uint8_t threshold;
};

std::pair<bytes, bytes> pages(std::vector<attr> attrs) {
    bytes v(512), t(512);
    v[0] = t[0] = 0x10;
    for (auto& a : attrs) {
        size_t at = 2 + 12 * a.pos;
        v[at] = t[at] = a.id;
        v[at + 1] = a.prefail ? 0x03 : 0x02;
        v[at + 3] = a.value;
        t[at + 1] = a.threshold;
    }
    return {v, t};
}

ata_regs regs(uint8_t mid, uint8_t high) {
    ata_regs r;
    r.lba_mid = mid;
    r.lba_high = high;
    r.status = 0x50;
    return r;
}

bytes health(uint8_t critical, uint8_t used) {
    bytes b(512);
    b[0] = critical;
    b[5] = used;
    return b;
}

class Smart : public ::testing::Test {
protected:
    void SetUp() override {
        test::reset_agent_state();
        drives.clear();
        open_handles = 0;
        set_smart_transport(&fake);
    }
    void TearDown() override {
        set_smart_transport(nullptr);
        EXPECT_EQ(open_handles, 0);
    }
    // Runs the check of drive `n` and returns "value text".
    std::string check(int n) {
        devnode node;
        node.id = strprintf("PhysicalDrive%d", n);
        auto r = alloc_resnode();
        err e = check_smart(node, r.get());
        if (e) return "error " + e.message();
        return strprintf("%d ", r->ivalue) + std::string(r->text().value_or("(none)"));
    }
    test::log_capture cap{0};
};

TEST_F(Smart, ScanStopsAtTheFirstMissingDriveAndSkipsDrivesRefusingSmart) {
    devtree root;
    ASSERT_TRUE(scan_smart_ide(root).ok());
    EXPECT_TRUE(root.children.empty()) << "no drives, no group";
    drives[0] = {};
    drives[1] = {.enable_ok = false};
    drives[2] = {.bus = drive_bus::nvme, .health = health(0, 0)};
    drives[4] = {};  // after the gap at 3: never looked at
    ASSERT_TRUE(scan_smart_ide(root).ok());
    ASSERT_EQ(root.children.size(), 1u);
    devtree& g = *root.children[0];
    EXPECT_EQ(g.id, "smart");
    EXPECT_EQ(g.flags & 1, 1u);
    ASSERT_EQ(g.checks.size(), 2u);
    EXPECT_EQ(g.checks[0]->id, "PhysicalDrive0");
    EXPECT_EQ(g.checks[1]->id, "PhysicalDrive2");
    EXPECT_TRUE(cap.has("\\\\.\\PhysicalDrive2 is smart-capable"));
    EXPECT_FALSE(cap.has("PhysicalDrive4"));
}

TEST_F(Smart, DisabledAddsNothingAndChecksReportDisabled) {
    drives[0] = {};
    the_config().disable_smart = true;
    devtree root;
    ASSERT_TRUE(scan_smart_ide(root).ok());
    EXPECT_TRUE(root.children.empty());
    EXPECT_EQ(check(0), "0 SMART disabled on agent");
    EXPECT_TRUE(cap.has("SMART disabled - will not scan"));
}

TEST_F(Smart, VerdictOfAttributePagesPairedByPosition) {
    struct row {
        std::vector<attr> attrs;
        const char* want;
    } rows[] = {
        {{{0, 5, false, 100, 100}}, "1 Drive has exceeded lifetime"},  // equal to the threshold counts
        {{{0, 5, true, 101, 100}}, "0 Drive is OK"},
        {{{0, 5, true, 0, 0}}, "0 Drive is OK"},  // threshold 0 never counts
        {{{0, 0, true, 1, 50}}, "0 Drive is OK"},  // empty entry
        {{{3, 9, false, 10, 20}, {7, 1, true, 30, 30}}, "2 Drive is about to fail"},
        {{{1, 1, true, 30, 30}, {29, 9, false, 10, 20}}, "2 Drive is about to fail"},  // never goes down
        {{{29, 194, false, 1, 2}}, "1 Drive has exceeded lifetime"},                   // the last entry
    };
    for (auto& r : rows) {
        auto [v, t] = pages(r.attrs);
        drives[0] = {.values = v, .thresholds = t};
        EXPECT_EQ(check(0), r.want) << r.want;
    }
    // Pairing is by position: a threshold entry of another id still applies.
    auto [v, t] = pages({{0, 5, true, 50, 60}});
    t[2] = 77;
    drives[0] = {.values = v, .thresholds = t};
    EXPECT_EQ(check(0), "2 Drive is about to fail");
}

TEST_F(Smart, FailingReadsFallBackToTheStatusRegisters) {
    auto [v, t] = pages({});
    struct row {
        std::optional<bytes> values, thresholds;
        std::optional<ata_regs> status;
        const char* want;
    } rows[] = {
        {std::nullopt, t, regs(0x4F, 0xC2), "0 Drive is OK"},
        {std::nullopt, t, regs(0xF4, 0x2C), "2 Drive is about to fail"},  // threshold exceeded
        {std::nullopt, t, std::nullopt, "2 Drive is about to fail"},
        {bytes(100), t, regs(0xF4, 0x2C), "2 Drive is about to fail"},  // a short page is a failed read
        {v, std::nullopt, regs(0x4F, 0xC2), "0 Drive is OK"},
        {v, std::nullopt, std::nullopt, "2 Drive is about to failK"},
        {v, std::nullopt, regs(0xF4, 0x2C), "2 Drive is about to failK"},
    };
    for (auto& r : rows) {
        drives[0] = {.values = r.values, .thresholds = r.thresholds, .status = r.status};
        EXPECT_EQ(check(0), r.want) << r.want;
    }
    EXPECT_TRUE(cap.has("Couldn't read attribute values"));
    EXPECT_TRUE(cap.has("Couldn't read attribute thresholds"));
}

TEST_F(Smart, NvmeHealthLogMapsToTheSameVerdict) {
    struct row {
        std::optional<bytes> log;
        const char* want;
    } rows[] = {
        {health(0, 99), "0 Drive is OK"},
        {health(0, 100), "1 Drive has exceeded lifetime"},
        {health(0, 255), "1 Drive has exceeded lifetime"},
        {health(0x04, 10), "2 Drive is about to fail"},
        {health(0x01, 100), "2 Drive is about to fail"},
        {std::nullopt, "2 Drive is about to fail"},
        {bytes(5), "2 Drive is about to fail"},
    };
    for (auto& r : rows) {
        drives[0] = {.bus = drive_bus::nvme, .health = r.log};
        EXPECT_EQ(check(0), r.want) << r.want;
    }
}

TEST_F(Smart, PassThroughSenseDataCarriesTheRegisters) {
    // Descriptor format with the ATA Status Return descriptor, as a drive
    // answers the status command when asked for its registers.
    bytes desc = {0x72, 0x01, 0x00, 0x1D, 0, 0, 0, 14, 0x09, 0x0C, 0, 0, 0, 1, 0, 0, 0, 0xF4, 0, 0x2C, 0xA0, 0x50};
    bytes fixed = {0x70, 0, 0x01, 0x00, 0x50, 0xA0, 0x01, 10, 0, 0x00, 0x4F, 0xC2, 0x00, 0x1D};
    struct row {
        bytes sense;
        const char* want;  // key/asc/ascq, then mid/high when registers came back
    } rows[] = {
        {desc, "1/00/1D F4/2C"},
        {bytes(desc.begin(), desc.end() - 1), "1/00/1D"},  // descriptor cut short
        {fixed, "1/00/1D 4F/C2"},
        {{0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0x00}, "5/20/00"},
        {{0x72, 0x0B}, "0/00/00"},
    };
    for (auto& r : rows) {
        ata_regs regs;
        sat_sense k = read_sat_sense(r.sense, regs);
        std::string got = strprintf("%X/%02X/%02X", k.key, k.asc, k.ascq);
        if (k.has_registers) got += strprintf(" %02X/%02X", regs.lba_mid, regs.lba_high);
        EXPECT_EQ(got, r.want);
    }
}

TEST_F(Smart, DriveThatCannotBeOpenedIsAnError) {
    EXPECT_EQ(check(7), "error Cannot open device \\\\.\\PhysicalDrive7: No such device");
}

}  // namespace
}  // namespace zp
