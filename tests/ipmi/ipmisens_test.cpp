// Tests of the "ipmisens" scanner and check through the simulated BMC: the tree
// of a typical server, sensors left out, analog values with the confirmation
// of zero readings, drive bay and two-state sensors, the chassis status.
#include "monitors/ipmi/ipmisens.h"

#include <gtest/gtest.h>

#include "devtree/scan.h"
#include "tests/ipmi/bmc_fixture.h"

namespace zp {
namespace {

class Sensors : public test::BmcTest {
protected:
    void SetUp() override {
        BmcTest::SetUp();
        register_ipmi_scanners();
        ops = find_scanner("ipmisens");
        test::typical_server(bmc);
    }
    err scan() { return ops->scan(root); }
    // Runs the check of a sensor or chassis item; the text goes to `text`.
    err check(const std::string& id, bool chassis = false) {
        devtree group;
        group.id = chassis ? "chassisstatus" : "S01";
        devnode node;
        node.id = id;
        node.parent = &group;
        res = alloc_resnode();
        err e = ops->check(node, res.get());
        text = res->text() ? std::string(*res->text()) : "";
        return e;
    }
    int reads(uint8_t sensor) {
        int n = 0;
        for (auto& q : bmc.requests) n += q.cmd == cmd_get_sensor_reading && q.data == std::vector<uint8_t>{sensor};
        return n;
    }

    scanner* ops = nullptr;
    devtree root;
    std::unique_ptr<resnode> res;
    std::string text;
};

void render(const devtree& g, const std::string& prefix, std::vector<std::string>& out) {
    std::string path = prefix + g.id;
    out.push_back(path + "|" + g.name.value_or("") + "|" + (g.name_template ? g.name_template : "") + "|" +
                  std::to_string(g.flags));
    for (auto& n : g.checks)
        out.push_back(path + "." + n->id + "|" + n->name + "|" + n->comment + "|" + n->unit + "|" +
                      std::to_string(n->type) + "|" + std::to_string(n->description) + "|" + std::to_string(n->has_range));
    for (auto& c : g.children) render(*c, path + ".", out);
}

TEST_F(Sensors, ScanOfTypicalServerBuildsEntityInstanceAndTypeGroups) {
    bmc.sdr.push_back(test::compact_record({.number = 0x72, .entity = 4, .type = 13, .reading = 0x08, .name = "Drive 9"}));
    bmc.readings[0x72] = {test::state_reading(0xC0, 0x01, 0x00)};
    ASSERT_TRUE(scan().ok());
    ASSERT_EQ(root.children.size(), 1u);
    std::vector<std::string> tree;
    render(*root.children[0], "", tree);
    EXPECT_EQ(tree, (std::vector<std::string>{
                        "ipmisens|IPMI Sensors|%0r for %3r %2r|0",
                        "ipmisens.chassisstatus|ChassisStatus|%0r|0",
                        "ipmisens.chassisstatus.poweroverload|Power Overload|Power Overload||3|21|0",
                        "ipmisens.chassisstatus.mainpowerfault|Main Power Fault|Main Power Fault||3|21|0",
                        "ipmisens.chassisstatus.powercontrolfault|Power Control Fault|Power Control Fault||3|21|0",
                        "ipmisens.chassisstatus.drivefault|Drive Fault|Drive Fault||3|21|0",
                        "ipmisens.chassisstatus.coolingfault|Cooling/Fan Fault|Cooling/Fan Fault||3|21|0",
                        "ipmisens.E04|Disk||1",
                        "ipmisens.E04.I01|1||0",
                        "ipmisens.E04.I01.S0D|DriveBay sensors||1",
                        "ipmisens.E04.I01.S0D.00:70:6F|Drive 0 (Drive Bay State)|||10|24|0",
                        "ipmisens.E0A|PowerSupply||1",
                        "ipmisens.E0A.I01|1||0",
                        "ipmisens.E0A.I01.S08|PowerSupply sensors||1",
                        "ipmisens.E0A.I01.S08.00:60:03|PS1 Status (Discrete State)|||3|21|0",
                        "ipmisens.E07|SystemBoard||1",
                        "ipmisens.E07.I01|1||0",
                        "ipmisens.E07.I01.S02|Voltage sensors||1",
                        "ipmisens.E07.I01.S02.00:50|12V (Analog)||V|7|21|0",
                        "ipmisens.E1D|CoolingDevice||1",
                        "ipmisens.E1D.I01|1||0",
                        "ipmisens.E1D.I01.S04|Fan sensors||1",
                        "ipmisens.E1D.I01.S04.00:40|FAN1 (Analog)||RPM|7|21|0",
                        "ipmisens.E03|Processor||1",
                        "ipmisens.E03.I02|2||0",
                        "ipmisens.E03.I02.S01|Temperature sensors||1",
                        "ipmisens.E03.I02.S01.00:31|CPU2 Temp (Analog)||C|7|21|0",
                        "ipmisens.E03.I01|1||0",
                        "ipmisens.E03.I01.S01|Temperature sensors||1",
                        "ipmisens.E03.I01.S01.00:30|CPU1 Temp (Analog)||C|7|21|0",
                    }));
    EXPECT_TRUE(cap.has("IPMI BMC has ID 32, provides ipmi version 1.5"));
    EXPECT_TRUE(cap.has(" EI_Disk not SR_SensorSpecific but 8: Drive 9"));
    EXPECT_TRUE(cap.has(" Non-disk found in drive bay: DiskDriveBay"));
    EXPECT_TRUE(cap.has(" Unsupported IPMI sensor: PowerSupply"));
}

TEST_F(Sensors, FailuresAtScanTime) {
    struct row {
        std::function<void(test::fake_bmc&)> setup;
        const char* error;  // of the scan, or null
        const char* logged;
        bool chassis;
        bool cpu2;
    } rows[] = {
        {[](auto& b) { b.present = false; }, "Nothing to look at", "No BMCs available", false, false},
        {[](auto& b) { b.device_id = {0xC1}; }, "Scan of BMC return ccode 193", "", false, false},
        {[](auto& b) { b.device_id = {0x00, 0x20, 0x01, 0x00}; }, "Got too few data", "", false, false},
        {[](auto& b) { b.breaks = 1; }, "Scan of BMC didn't return a response", "", false, false},
        {[](auto& b) { b.chassis = {0xC1}; }, nullptr, "Get Chassis Status return ccode 193", false, true},
        {[](auto& b) { b.chassis = {0x00, 0x01}; }, nullptr, "Get Chassis Status: got too few data", false, true},
        {[](auto& b) { b.readings[0x31] = {{0xCB}}; }, nullptr,
         "Skipping sensor 0x31 (lun 0) \"CPU2 Temp\" with format 0, due to read error: Error reading sensor CPU2 "
         "Temp: Requested Sensor, data, or record not present (203)",
         true, false},
        {[](auto& b) { b.fault = [](auto& q, auto& r) { return q.cmd == cmd_get_sdr && (r.bytes = {0xC1}, true); }; },
         "Unexpected error reading SDR", "", true, false},
    };
    for (const auto& r : rows) {
        test::fake_bmc fresh;
        test::typical_server(fresh);
        r.setup(fresh);
        bmc = fresh;
        release_bmcs();
        root.children.clear();
        err e = scan();
        EXPECT_EQ(e.message(), r.error ? r.error : "") << r.logged;
        EXPECT_TRUE(cap.has(r.logged)) << r.logged;
        std::vector<std::string> tree;
        for (auto& g : root.children) render(*g, "", tree);
        auto has = [&](const std::string& s) { return std::find(tree.begin(), tree.end(), s) != tree.end(); };
        EXPECT_EQ(has("ipmisens.chassisstatus|ChassisStatus|%0r|0"), r.chassis) << r.logged;
        EXPECT_EQ(has("ipmisens.E03.I02|2||0"), r.cpu2) << r.logged;
    }
    bmc.present = false;
    release_bmcs();
    EXPECT_EQ(check("00:30").message(), "Cannot read sensor: No BMCs initialized");
}

TEST_F(Sensors, ZeroReadingIsBelievedAfterThreeReadsInARow) {
    // The fan's replies, one per request; the step shows how many requests each
    // read made and the value it gave.
    bmc.readings[0x40] = {};
    for (uint8_t raw : {0, 0, 0, 0, 0, 0, 0, 0, 80, 80, 0, 0, 0, 0, 80})
        bmc.readings[0x40].push_back(test::analog_reading(raw));
    ASSERT_TRUE(scan().ok());  // the trial read: three zeros, counter 1
    EXPECT_EQ(reads(0x40), 3);
    struct step {
        int requests;
        double value;
    } steps[] = {{3, 0}, {1, 0}, {1, 0}, {1, 6000}, {1, 6000}, {3, 0}, {2, 6000}};
    for (const auto& s : steps) {
        int before = reads(0x40);
        ASSERT_TRUE(check("00:40").ok());
        EXPECT_EQ(reads(0x40) - before, s.requests);
        EXPECT_EQ(res->dvalue, s.value);
    }
    EXPECT_EQ(cap.count("RAW value verified 0"), 3u);
    EXPECT_TRUE(cap.has("RAW value is 0 but has not been zero long will re-read(2) to verify"));
}

TEST_F(Sensors, DiscreteStates) {
    struct row {
        const char* id;
        std::vector<uint8_t> reply;
        int value;
        const char* text;  // the result's text, or the error
    } rows[] = {
        {"00:70:6F", test::state_reading(0xC0, 0x01, 0x00), 0, "Disk OK"},
        {"00:70:6F", test::state_reading(0xC0, 0x09, 0x00), 0, "Disk OK, hot spare"},
        {"00:70:6F", test::state_reading(0xC0, 0x05, 0x00), 2, "Predicted disk fault"},
        {"00:70:6F", test::state_reading(0xC0, 0x8B, 0x01), 3, "Disk faulty"},
        {"00:70:6F", test::state_reading(0xC0, 0x81, 0x00), 1, "Rebuild/remap in progress"},
        {"00:70:6F", test::state_reading(0xC0, 0x09, 0x01), 3, "Rebuild/remap aborted (was not completed normally)"},
        {"00:70:6F", test::state_reading(0xC0, 0x00, 0x00), 5, "No disk in slot"},
        {"00:70:6F", test::state_reading(0x40, 0x01, 0x00), -1, "All event messages disabled from this sensor"},
        {"00:70:6F", test::state_reading(0x80, 0x01, 0x00), -1, "Sensor scanning disabled"},
        {"00:70:6F", test::state_reading(0xE0, 0x01, 0x00), -1, "Reading/state unavailable"},
        {"00:70:6F", {0x00, 0x00, 0xC0, 0x01}, -1, "Got 3 bytes in ipmi response, 4 expected."},
        {"00:70:6F", {0x00}, -1, "Got empty read from IPMI sensor"},
        {"00:60:03", test::state_reading(0xC0, 0x02, 0x00), 1, "State Asserted"},
        {"00:60:03", {0x00, 0x00, 0xC0, 0x01}, 0, "State Deasserted"},
        {"00:60:03", {0x00, 0x00, 0xC0}, -1, "Got 2 bytes in ipmi response, 3 expected."},
        {"00:60:03", {0xC3}, -1,
         "Error reading sensor PS1 Status: Timeout while processing command. Response unavailable (195)"},
    };
    ASSERT_TRUE(scan().ok());
    for (const auto& r : rows) {
        bmc.readings[r.id[3] == '7' ? 0x70 : 0x60] = {r.reply};
        err e = check(r.id);
        if (r.value < 0) {
            EXPECT_EQ(e.message(), r.text);
            continue;
        }
        EXPECT_TRUE(e.ok()) << e.message();
        EXPECT_EQ(res->ivalue, r.value) << r.text;
        EXPECT_EQ(text, r.text);
    }
}

TEST_F(Sensors, ChassisStatusBits) {
    struct row {
        std::vector<uint8_t> reply;
        const char* set;  // the one item that reads 1
        const char* set_text;
    } rows[] = {
        {{0x00, 0x01, 0x00, 0x00}, "", ""},
        {{0x00, 0x03, 0x00, 0x00}, "poweroverload", "Problem with power load"},
        {{0x00, 0x09, 0x00, 0x00}, "mainpowerfault", "Problem with main power"},
        {{0x00, 0x11, 0x00, 0x00}, "powercontrolfault", "Problem with power control"},
        {{0x00, 0x01, 0xFF, 0x04}, "drivefault", "Problem with drives"},
        {{0x00, 0x01, 0x00, 0x08}, "coolingfault", "Problem with Cooling/Fans"},
    };
    const std::pair<const char*, const char*> items[] = {
        {"poweroverload", "Power load is OK"}, {"mainpowerfault", "Main power is OK"},
        {"powercontrolfault", "Power control is OK"}, {"drivefault", "Drives are OK"},
        {"coolingfault", "Cooling/Fans are OK"}};
    ASSERT_TRUE(scan().ok());
    for (const auto& r : rows) {
        bmc.chassis = r.reply;
        for (auto [id, clear_text] : items) {
            ASSERT_TRUE(check(id, true).ok());
            bool set = std::string(id) == r.set;
            EXPECT_EQ(res->ivalue, set ? 1 : 0) << id;
            EXPECT_EQ(text, set ? r.set_text : clear_text);
        }
    }
    bmc.chassis = {0xC0};
    EXPECT_EQ(check("drivefault", true).message(), "Get Chassis Status return ccode 192");
    bmc.chassis = {0x00, 0x01, 0x00};
    EXPECT_EQ(check("drivefault", true).message(), "Get Chassis Status: got too few data");
    bmc.breaks = 1;
    EXPECT_EQ(check("drivefault", true).message(), "Get Chassis Status: didn't return a response");
}

TEST_F(Sensors, CheckFindsItsRecordByLunAndNumber) {
    bmc.sdr.push_back(test::full_record({.number = 0x30, .lun = 1, .entity = 3, .type = 1, .m = 2, .name = "LUN1 Temp"}));
    bmc.readings[0x30] = {test::analog_reading(20)};
    ASSERT_TRUE(scan().ok());
    ASSERT_TRUE(check("01:30").ok());
    EXPECT_EQ(res->dvalue, 40.0);
    EXPECT_EQ(bmc.requests.back().lun, 1);
    ASSERT_TRUE(check("00:30").ok());
    EXPECT_EQ(res->dvalue, 20.0);
    EXPECT_EQ(check("zz").message(), "Unable to parse id \"zz\"");
    EXPECT_EQ(check("00:99").message(), "No SDR for sensor 00:99");
    bmc.readings[0x30] = {{0xCB}};
    EXPECT_EQ(check("00:30").message(),
              "Error reading sensor CPU1 Temp: Requested Sensor, data, or record not present (203)");
}

}  // namespace
}  // namespace zp
