// Tests of the RAID scanner and check through a fake CISS transport that
// replays constructed BMIC replies.
#include "monitors/raid/raid.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <optional>

#include "tests/support/agent_state.h"
#include "tests/support/log_capture.h"

namespace zp {
namespace {

using bytes = std::vector<uint8_t>;

struct fake_ctl {
    std::optional<bytes> identify;          // absent: not a CISS controller
    std::map<uint8_t, bytes> volumes;       // identify logical drive replies
    std::optional<bytes> status;            // sense logical drive status reply; absent: the call fails
    uint32_t rc = 0;                        // return code of status requests
    int failing_volume = -1;                // identify logical drive returns code 4 here
};

std::map<unsigned, fake_ctl> ctls;
int open_handles = 0;

intptr_t fake_open(unsigned port, err& e) {
    if (!ctls.count(port)) {
        e = err::text("No such device");
        return -1;
    }
    ++open_handles;
    return port;
}

err fake_bmic(intptr_t h, std::span<const uint8_t> cdb, uint32_t, std::span<uint8_t> data, size_t& got, uint32_t& rc) {
    fake_ctl& c = ctls[static_cast<unsigned>(h)];
    const bytes* reply = nullptr;
    bytes none(6);
    uint8_t lv = cdb[1];
    if (cdb[0] != 0x26) return err::text("not a BMIC read");
    switch (cdb[6]) {
    case 0x11:
        if (!c.identify) return err::text("Invalid function");
        reply = &*c.identify;
        break;
    case 0x10:
        if (lv == c.failing_volume) {
            rc = 4;
            return {};
        }
        reply = c.volumes.count(lv) ? &c.volumes[lv] : &none;
        break;
    case 0x12:
        if (!c.status) return err::text("Invalid function");
        rc = c.rc;
        reply = &*c.status;
        break;
    default: return err::text("unexpected command");
    }
    got = std::min(reply->size(), data.size());
    if (got) std::memcpy(data.data(), reply->data(), got);
    return {};
}

void fake_close(intptr_t) { --open_handles; }

constexpr ciss_transport fake = {fake_open, fake_bmic, fake_close};

bytes identify(uint8_t lvs) {
    bytes b(528);
    b[0] = lvs;
    std::memcpy(&b[5], "1.66", 4);
    return b;
}

bytes volume(uint16_t block, uint32_t blocks) {
    bytes b(526);
    b[0] = static_cast<uint8_t>(block), b[1] = static_cast<uint8_t>(block >> 8);
    for (int i = 0; i < 4; ++i) b[2 + i] = static_cast<uint8_t>(blocks >> (8 * i));
    return b;
}

class Raid : public ::testing::Test {
protected:
    void SetUp() override {
        test::reset_agent_state();
        ctls.clear();
        open_handles = 0;
        set_ciss_transport(&fake);
    }
    void TearDown() override {
        clear_raid_controllers();
        set_ciss_transport(nullptr);
        EXPECT_EQ(open_handles, 0);
    }
    // The shape of the tree: "cntrl:0/lv:0 cntrl:0/lv:2 ".
    static std::string volumes(const devtree& root) {
        std::string out;
        for (auto& top : root.children)
            for (auto& c : top->children)
                for (auto& l : c->children)
                    for (auto& v : l->children)
                        out += c->id + "/" + v->id + (v->checks.size() == 1 ? " " : "? ");
        return out;
    }
    std::string check(const std::string& ctl, const std::string& lv, const std::string& id = "cciss:status") {
        devtree_list tree;
        devtree* g = devtree_child(*devtree_child(*devtree_child(tree, "csmiplus", std::nullopt), ctl, std::nullopt),
                                   "logical", std::nullopt);
        devnode* n = test::add_check(*devtree_child(*g, lv, std::nullopt), id);
        auto r = alloc_resnode();
        err e = check_raid(*n, r.get());
        if (e) return "error " + e.message();
        return strprintf("%d ", r->ivalue) + std::string(r->text().value_or(""));
    }
    test::log_capture cap{-1};
};

TEST_F(Raid, ControllersInProbeOrderWithTheirSizedVolumes) {
    ctls[5] = {};  // opens, but is no CISS controller
    devtree root;
    ASSERT_TRUE(scan_raid(root).ok());
    EXPECT_TRUE(root.children.empty()) << "no controller, no group";
    ctls[2] = {.identify = identify(2), .volumes = {{0, volume(512, 1000)}, {1, volume(0, 0)}, {2, volume(0, 7)}}};
    ctls[7] = {.identify = identify(1), .volumes = {{0, volume(512, 5)}}};
    ASSERT_TRUE(scan_raid(root).ok());
    EXPECT_EQ(volumes(root), "cntrl:0/lv:0 cntrl:0/lv:2 cntrl:1/lv:0 ");
    EXPECT_EQ(open_handles, 2);  // kept for the checks
    EXPECT_EQ(cap.count("does not support CSMI (disabled) - probing legacy CCISS"), 4u);
    EXPECT_TRUE(cap.has(" \\\\.\\scsi5: does not support legacy Compaq CISS"));
    EXPECT_TRUE(cap.has(" \\\\.\\scsi2: is Legacy Compaq: 2 LVs, firmware: 1.66"));
    EXPECT_TRUE(cap.has("Driver on \\\\.\\scsi7: is Compaq legacy CISS capable"));
    EXPECT_EQ(root.children[0]->children[0]->children[0]->children[0]->checks[0]->id, "cciss:status");

    ctls.erase(7);  // a second scan closes the first one's handles
    devtree again;
    ASSERT_TRUE(scan_raid(again).ok());
    EXPECT_EQ(open_handles, 1);
}

TEST_F(Raid, FailingVolumeInquiryEndsTheScanKeepingWhatWasFound) {
    ctls[0] = {.identify = identify(4), .volumes = {{0, volume(512, 1)}, {1, volume(512, 2)}}, .failing_volume = 2};
    ctls[1] = {.identify = identify(1), .volumes = {{0, volume(512, 1)}}};
    devtree root;
    EXPECT_EQ(scan_raid(root).message(), "Failed legacy volume inquiry, \\\\.\\scsi0: lv2");
    EXPECT_EQ(volumes(root), "cntrl:0/lv:0 cntrl:0/lv:1 ");
}

TEST_F(Raid, VolumeStatusChecks) {
    ctls[3] = {.identify = identify(1), .volumes = {{0, volume(512, 1)}}};
    devtree root;
    ASSERT_TRUE(scan_raid(root).ok());
    struct row {
        std::optional<bytes> status;
        uint32_t rc;
        const char* ctl;
        const char* lv;
        const char* id;
        const char* want;
    } rows[] = {
        {bytes{0}, 0, "cntrl:0", "lv:0", "cciss:status", "0 Logical device OK"},
        {bytes{3}, 0, "cntrl:0", "lv:0", "cciss:status", "3 Logical device in interim recovery"},
        {bytes{12}, 0, "cntrl:0", "lv:0", "cciss:status", "12 Logical device queued for expansion"},
        {bytes{13}, 0, "cntrl:0", "lv:0", "cciss:status", "13 Unknown state"},
        {bytes{0}, 5, "cntrl:0", "lv:0", "cciss:status", "error Legacy Compaq CISS driver returned status 5"},
        {std::nullopt, 0, "cntrl:0", "lv:0", "cciss:status", "error Cannot send CISS BMIC"},
        {bytes{}, 0, "cntrl:0", "lv:0", "cciss:status", "error BMIC reply too short (0 bytes)"},
        {bytes{0}, 0, "cntrl:1", "lv:0", "cciss:status", "error Controller id 1 out of range (ceiling:1)"},
        {bytes{0}, 0, "cntrl:x", "lv:0", "cciss:status", "error Cannot scan controller id \"cntrl:x\""},
        {bytes{0}, 0, "cntrl:0", "lvx", "cciss:status", "error Cannot scan volume id \"lvx\""},
        {bytes{0}, 0, "cntrl:0", "lv:0", "csmi:status", "error No CSMI volume status on \\\\.\\scsi3:: disabled"},
        {bytes{0}, 0, "cntrl:0", "lv:0", "other", "error Unable to check \"other\""},
    };
    for (auto& r : rows) {
        ctls[3].status = r.status;
        ctls[3].rc = r.rc;
        EXPECT_EQ(check(r.ctl, r.lv, r.id), r.want);
    }
}

}  // namespace
}  // namespace zp
