// Tests of the SAF-TE scanner and check through a fake SCSI transport that
// replays constructed INQUIRY replies and enclosure pages.
#include "monitors/safte/safte.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>

#include "monitors/safte/scsi.h"
#include "tests/support/agent_state.h"
#include "tests/support/log_capture.h"

namespace zp {
namespace {

using bytes = std::vector<uint8_t>;

struct fake_dev {
    bytes inquiry, config, status, slots;
    int failures = 0;  // commands that fail before the device answers
};

std::vector<std::vector<scsi_bus>> ports;
std::map<std::string, fake_dev> devs;
int open_handles = 0, waits = 0;
size_t last_request = 0;
std::vector<std::string> handle_names;

intptr_t fake_open_port(int port, bool& missing, err&) {
    missing = port >= static_cast<int>(ports.size());
    if (missing) return -1;
    ++open_handles;
    return port;
}
err fake_port_devices(intptr_t port, std::vector<scsi_bus>& buses) {
    buses = ports[static_cast<size_t>(port)];
    return {};
}
void fake_close(intptr_t) { --open_handles; }

intptr_t fake_open(const scsi_addr& a, err& e) {
    std::string name = scsi_name(a);
    if (!devs.count(name)) {
        e = err::text("No such device");
        return -1;
    }
    ++open_handles;
    handle_names.push_back(name);
    return static_cast<intptr_t>(handle_names.size() - 1);
}

err fake_command(intptr_t h, std::span<const uint8_t> cdb, std::span<uint8_t> data, size_t& got, uint8_t& status) {
    fake_dev& d = devs[handle_names[static_cast<size_t>(h)]];
    if (d.failures > 0) {
        --d.failures;
        status = 2;
        return {};
    }
    last_request = data.size();
    const bytes* page = nullptr;
    if (cdb[0] == 0x12) page = &d.inquiry;
    else if (cdb[0] == 0x3C && cdb[2] == 0x00) page = &d.config;
    else if (cdb[0] == 0x3C && cdb[2] == 0x01) page = &d.status;
    else if (cdb[0] == 0x3C && cdb[2] == 0x04) page = &d.slots;
    if (!page) return err::text("bad command");
    got = std::min(page->size(), data.size());
    if (got) std::memcpy(data.data(), page->data(), got);
    return {};
}

constexpr scsi_transport fake = {fake_open_port, fake_port_devices, fake_close, fake_open, fake_command, fake_close};

bytes safte_inquiry() {
    bytes b(96, ' ');
    b[0] = 3;
    std::memcpy(&b[44], "SAF-TE", 6);
    return b;
}

// 2 fans, 1 power supply, 6 slots, 1 temperature sensor.
fake_dev enclosure(bool celsius = false) {
    fake_dev d;
    d.inquiry = safte_inquiry();
    d.config = bytes(64);
    d.config[0] = 2;
    d.config[1] = 1;
    d.config[2] = 6;
    d.config[4] = 1;
    d.config[6] = celsius ? 0x80 : 0;
    //           fans      psu   slots             lock spk temp  flags
    d.status = {0x01, 0x02, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 100, 0, 0};
    d.slots = bytes(24);
    return d;
}

class Safte : public ::testing::Test {
protected:
    void SetUp() override {
        test::reset_agent_state();
        reset_safte_activation_list();
        ports.clear();
        devs.clear();
        handle_names.clear();
        open_handles = waits = 0;
        set_scsi_transport(&fake);
        set_scsi_retry_wait([](int s) {
            waits += s;
            return 0;
        });
    }
    void TearDown() override {
        set_scsi_transport(nullptr);
        set_scsi_retry_wait(nullptr);
        EXPECT_EQ(open_handles, 0);
    }
    // Runs the check of element `id` of `kind` in enclosure `dev`: "value text",
    // the temperature to one decimal, or "error <text>".
    std::string check(const std::string& dev, const std::string& kind, const std::string& id) {
        devtree_list tree;
        devtree* g = devtree_child(*devtree_child(*devtree_child(tree, "safte", std::nullopt), dev, std::nullopt),
                                   kind, std::nullopt);
        devnode* n = test::add_check(*g, id);
        auto r = alloc_resnode();
        err e = check_safte(*n, r.get());
        if (e) return "error " + e.message();
        if (!r->text()) return strprintf("%.1f", r->dvalue);
        return strprintf("%d ", r->ivalue) + std::string(*r->text());
    }
    test::log_capture cap{-1};
};

TEST_F(Safte, WalkSkipsClaimedDevicesAndPortsWithoutBusesAndStopsAtTheMissingPort) {
    devtree root;
    ASSERT_TRUE(scan_safte(root).ok());
    EXPECT_TRUE(root.children.empty()) << "nothing found without ports";
    ports = {{},                                                         // port 0: no bus
             {{{0, 0, true}, {1, 0, false}}, {}, {{5, 0, false}}}};  // port 1: buses 0 to 2
    devs["scsi1:00:00:00"] = enclosure();  // claimed: never probed
    devs["scsi1:00:01:00"] = enclosure();
    devs["scsi1:02:05:00"] = {.inquiry = bytes(96)};  // not an enclosure
    ASSERT_TRUE(scan_safte(root).ok());
    EXPECT_FALSE(cap.has("Probing SCSI device scsi1:00:00:00"));
    EXPECT_TRUE(cap.has("Probing SCSI device scsi1:02:05:00"));
    EXPECT_TRUE(cap.has("SAFTE device scsi1:00:01:00: 6 slots, 2 fans, 1 PSUs, 1 temp sensors"));
    ASSERT_EQ(root.children.size(), 1u);
    devtree& top = *root.children[0];
    EXPECT_EQ(top.id, "safte");
    ASSERT_EQ(top.children.size(), 1u);
    devtree& enc = *top.children[0];
    EXPECT_EQ(enc.id, "scsi1:00:01:00");
    std::string shape;
    for (auto& k : enc.children) {
        shape += strprintf("%s:%zu:%s ", k->id.c_str(), k->checks.size(), k->checks.back()->name.c_str());
        EXPECT_STREQ(k->name_template, "SAFTE %1l - %0r");
    }
    EXPECT_EQ(shape, "slot:6:Disk slot 5 fan:2:Fan 1 psu:1:Power supply 0 temp:1:Temperature sensor 0 ");
}

TEST_F(Safte, ElementStatesFromTheEnclosureStatusPage) {
    devs["scsi0:00:00:00"] = enclosure();
    devs["scsi0:00:01:00"] = enclosure(true);
    struct row {
        const char* dev;
        const char* kind;
        const char* id;
        const char* want;
    } rows[] = {
        {"scsi0:00:00:00", "fan", "0", "1 Fan malfunctioning"},
        {"scsi0:00:00:00", "fan", "1", "2 Fan not present"},
        {"scsi0:00:00:00", "fan", "2", "error Fan number out of range"},
        {"scsi0:00:00:00", "psu", "0", "3 Malfunctioning, should be off"},
        {"scsi0:00:00:00", "psu", "1", "error Power supply number out of range"},
        {"scsi0:00:00:00", "temp", "0", "32.2"},  // Fahrenheit 100 at byte 11
        {"scsi0:00:01:00", "temp", "0", "90.0"},
        {"scsi0:00:00:00", "temp", "1", "error Temperature sensor number out of range"},
        {"scsi0:00:00:00", "door", "0", "error Unknown SAFTE type: \"door\""},
        {"scsi0:00:00:00", "fan", "x1", "error sscanf failed for string \"x1\""},
        {"scsi0:00:00:05", "fan", "0", "error Error opening scsi0:00:00:05: No such device"},
    };
    for (auto& r : rows) EXPECT_EQ(check(r.dev, r.kind, r.id), r.want) << r.kind << r.id;

    devs["scsi0:00:00:00"].status[0] = 0x80;
    EXPECT_EQ(check("scsi0:00:00:00", "fan", "0"), "error Unknown safte fan status: 128");
    EXPECT_EQ(last_request, 14u);
    devs["scsi0:00:00:00"].status.resize(5);
    EXPECT_EQ(check("scsi0:00:00:00", "temp", "0"), "error Enclosure status too short (5 bytes)");
    devs["scsi0:00:00:00"].inquiry[47] = 'X';
    EXPECT_EQ(check("scsi0:00:00:00", "fan", "0"), "error Device scsi0:00:00:00 no longer supports SAFTE");
}

TEST_F(Safte, PagesShorterThanTheirCountsAreErrors) {
    fake_dev d = enclosure();
    d.config[2] = 255;  // 255 slots: more than one command can read
    devs["scsi0:00:00:00"] = d;
    EXPECT_EQ(check("scsi0:00:00:00", "slot", "3"), "error gen_scsi_cmd(): Buffer too short");
    devs["scsi0:00:00:00"].config[2] = 100;
    EXPECT_EQ(check("scsi0:00:00:00", "slot", "50"), "error Slot status too short (24 bytes)");
    devs["scsi0:00:00:00"].config.resize(4);
    EXPECT_EQ(check("scsi0:00:00:00", "slot", "0"), "error Enclosure configuration too short (4 bytes)");
}

TEST_F(Safte, SlotRules) {
    safte_config c{.slots = 1};
    struct row {
        bytes slot;
        bool active;
        const char* want;
    } rows[] = {
        {{0x03, 0, 0, 0x00}, true, "5 No disk in slot"},
        {{0x01, 0, 0, 0x01}, false, "4 Disk not activated"},
        {{0x01, 0, 0, 0x05}, false, "0 Disk OK"},
        {{0x43, 0, 0, 0x01}, true, "3 Disk faulty"},
        {{0x45, 0, 0, 0x01}, true, "2 Predicted disk fault"},
        {{0x85, 0, 0, 0x01}, true, "1 Rebuilding"},
        {{0x81, 2, 0, 0x01}, true, "3 Rebuild stopped"},
        {{0x81, 0, 0, 0x01}, true, "6 Not configured in any RAID"},
        {{0x01, 1, 0, 0x01}, true, "0 Disk OK, hot spare"},
        {{0x00, 1, 0, 0x01}, true, "7 Unknown safte status"},
    };
    for (auto& r : rows) {
        safte_reading out;
        ASSERT_TRUE(read_safte_slot(c, 0, r.slot, r.active, out).ok());
        EXPECT_EQ(strprintf("%d ", out.ivalue) + out.text, r.want);
    }
}

TEST_F(Safte, ActivationListOverSeveralChecks) {
    devs["scsi0:00:00:00"] = enclosure();
    devs["scsi0:00:01:00"] = enclosure();
    auto& slots = devs["scsi0:00:00:00"].slots;
    slots[0] = 0x01, slots[3] = 0x01;  // slot 0: occupied, healthy, no activated bit
    EXPECT_EQ(check("scsi0:00:00:00", "slot", "0"), "0 Disk OK");
    slots[7] = 0x05;  // slot 1 shows its activated bit once
    EXPECT_EQ(check("scsi0:00:00:00", "slot", "0"), "4 Disk not activated");
    slots[7] = 0x01;
    EXPECT_EQ(check("scsi0:00:00:00", "slot", "0"), "4 Disk not activated");
    EXPECT_EQ(check("scsi0:00:00:00", "slot", "6"), "error Slot number out of range");

    devs["scsi0:00:01:00"].slots = slots;  // another enclosure is judged on its own
    EXPECT_EQ(check("scsi0:00:01:00", "slot", "0"), "0 Disk OK");
    the_config().safte_assume_inactive = true;
    EXPECT_EQ(check("scsi0:00:01:00", "slot", "0"), "4 Disk not activated");
    the_config() = {};
    the_config().safte_assume_active = true;
    EXPECT_EQ(check("scsi0:00:00:00", "slot", "0"), "0 Disk OK");
}

TEST_F(Safte, CommandsAreSentOnceMoreASecondLater) {
    fake_dev d = enclosure();
    d.failures = 1;
    devs["scsi0:00:00:00"] = d;
    EXPECT_EQ(check("scsi0:00:00:00", "fan", "0"), "1 Fan malfunctioning");
    EXPECT_EQ(waits, 1);
    devs["scsi0:00:00:00"].failures = 2;
    EXPECT_EQ(check("scsi0:00:00:00", "fan", "0"), "error Device scsi0:00:00:00 SCSI error: gen_scsi_cmd(): SCSI status 0x02");
    EXPECT_EQ(waits, 2);
}

TEST_F(Safte, CheckOutsideAnEnclosureIsUnimplemented) {
    devtree_list tree;
    devnode* n = test::add_check(*devtree_child(*devtree_child(tree, "safte", std::nullopt), "fan", std::nullopt), "0");
    auto r = alloc_resnode();
    EXPECT_EQ(check_safte(*n, r.get()).message(), "Unimplemented");
}

TEST_F(Safte, DeviceNamesParseStrictly) {
    scsi_addr a;
    ASSERT_TRUE(parse_scsi_name("scsi200:01:0a:00", a));  // ports past 127 keep their number
    EXPECT_EQ(scsi_name(a), "scsi200:01:0A:00");
    for (const char* bad : {"scsi:00:00:00", "scsi0:00:00", "scsi0:00:00:00x", "sd0:00:00:00", "scsi0:0g:00:00"})
        EXPECT_FALSE(parse_scsi_name(bad, a)) << bad;
}

}  // namespace
}  // namespace zp
