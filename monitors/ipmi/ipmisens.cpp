// ipmisens.cpp - the "ipmisens" scanner and check: sensors found in the BMC's
// repository become checks below their entity, instance and sensor type, and
// each check reads its sensor, converting analog readings and naming states.
#include "monitors/ipmi/ipmisens.h"

#include <cstdio>
#include <memory>
#include <string>

#include "core/log.h"
#include "devtree/devtree.h"
#include "devtree/scan.h"
#include "monitors/ipmi/ipmi.h"

namespace zp {

namespace {

constexpr uint32_t code_generic = 21;  // "Check OK" / "Check suspicious" / "Check bad"
constexpr uint32_t code_slot = 24;     // "Disk OK" / "Disk suspicious" / "Disk critical"
constexpr uint32_t type_state = 3;
constexpr uint32_t type_slot = 10;
constexpr uint32_t flag_sent = 0x1;  // group flag bit 0
constexpr const char* chassis_group = "chassisstatus";

struct chassis_bit {
    const char* id;
    const char* name;
    size_t byte;
    int bit;
    const char* set_text;
    const char* clear_text;
};

constexpr chassis_bit chassis_bits[] = {
    {"poweroverload", "Power Overload", 0, 1, "Problem with power load", "Power load is OK"},
    {"mainpowerfault", "Main Power Fault", 0, 3, "Problem with main power", "Main power is OK"},
    {"powercontrolfault", "Power Control Fault", 0, 4, "Problem with power control", "Power control is OK"},
    {"drivefault", "Drive Fault", 2, 2, "Problem with drives", "Drives are OK"},
    {"coolingfault", "Cooling/Fan Fault", 2, 3, "Problem with Cooling/Fans", "Cooling/Fans are OK"},
};

// Drive slot states in the order they are looked for; state n is bit n of the
// first state byte for n below 8, else bit n - 8 of the second.
struct slot_state {
    int state;
    const char* text;
    int value;
};

constexpr slot_state slot_states[] = {
    {1, "Disk faulty", 3},
    {2, "Predicted disk fault", 2},
    {7, "Rebuild/remap in progress", 1},
    {8, "Rebuild/remap aborted (was not completed normally)", 3},
    {3, "Disk OK, hot spare", 0},
    {0, "Disk OK", 0},
};

bool reads_discrete(const sensor_record& r) {
    return r.reading_type == reading_generic_bool || r.analog_format == analog_none;
}

// Get Sensor Reading, sent to the LUN that owns the sensor.
err get_reading(const sensor_record& r, ipmi_response& resp) {
    if (err e = ipmi_command(resp, {netfn_sensor, r.lun, cmd_get_sensor_reading, {r.number}})) return e;
    if (resp.ccode != 0)
        return format_error("Error reading sensor %s: %s (%i)", r.name.c_str(),
                            completion_code_text(resp.ccode).c_str(), static_cast<int>(resp.ccode));
    if (resp.data.empty()) return err::text("Got empty read from IPMI sensor");
    return {};
}

// A fan or a supply may read 0 for a moment: a zero is believed once three
// reads in a row gave it, and then for as long as zeros keep coming.
err read_analog(sensor_record& r, resnode& res) {
    ipmi_response resp;
    if (err e = get_reading(r, resp)) return e;
    uint8_t raw = resp.data[0];
    log(-1, "Read RAW value: 0x%02X from sensor %s", raw, r.name.c_str());
    if (raw == 0 && r.zero_count < 2) {
        for (int i = 1; i <= 2 && raw == 0; ++i) {
            log(-1, "RAW value is 0 but has not been zero long will re-read(%d) to verify", i);
            resp = {};
            if (err e = get_reading(r, resp)) return e;
            raw = resp.data[0];
        }
        if (raw == 0) {
            log(-1, "RAW value verified 0");
            ++r.zero_count;
        }
    }
    if (raw != 0 && r.zero_count > 0) --r.zero_count;
    double value;
    if (err e = convert_reading(r, raw, value)) return e;
    res.dvalue = value;
    return {};
}

err read_discrete(const sensor_record& r, resnode& res) {
    ipmi_response resp;
    if (err e = get_reading(r, resp)) return e;
    const auto& d = resp.data;
    if (r.reading_type == reading_generic_bool) {
        if (d.size() < 3) return format_error("Got %d bytes in ipmi response, 3 expected.", static_cast<int>(d.size()));
        bool asserted = d[2] & 0x02;
        log(-1, "Generic bool value of sensor %s: 0x%x:0x%x:0x%x:0x%x %s", r.name.c_str(), d[0], d[1], d[2],
            d.size() > 3 ? d[3] : 0, asserted ? "Asserted" : "Deasserted");
        res.ivalue = asserted ? 1 : 0;
        set_result_text(res, asserted ? "State Asserted" : "State Deasserted");
        return {};
    }
    if (r.sensor_type != sensor_type_drive_bay) {
        log(1, " Asked to read discrete value from non-supported sensor: %s\n", r.name.c_str());
        return err::text("Reading of sensor unsupported");
    }
    if (d.size() != 4) return format_error("Got %d bytes in ipmi response, 4 expected.", static_cast<int>(d.size()));
    if (!(d[1] & 0x80)) return err::text("All event messages disabled from this sensor");
    if (!(d[1] & 0x40)) return err::text("Sensor scanning disabled");
    if (d[1] & 0x20) return err::text("Reading/state unavailable");
    log(-1, "Discrete value of sensor %s: 0x%x:0x%x:0x%x:0x%x", r.name.c_str(), d[0], d[1], d[2], d[3]);
    unsigned states = d[2] | (d[3] << 8);
    for (const auto& s : slot_states) {
        if (states & (1u << s.state)) {
            res.ivalue = s.value;
            set_result_text(res, s.text);
            return {};
        }
    }
    res.ivalue = 5;
    set_result_text(res, "No disk in slot");
    return {};
}

err read_sensor(sensor_record& r, resnode& res) {
    return reads_discrete(r) ? read_discrete(r, res) : read_analog(r, res);
}

// What is wrong with a Get Chassis Status response, if anything.
err chassis_reply_error(const ipmi_response& resp) {
    if (resp.ccode != 0) return format_error("Get Chassis Status return ccode %u", resp.ccode);
    if (resp.data.size() < 3) return err::text("Get Chassis Status: got too few data");
    return {};
}

err chassis_check(const devnode& node, resnode& res) {
    ipmi_response resp;
    if (ipmi_command(resp, {netfn_chassis, 0, cmd_get_chassis_status, {}}))
        return err::text("Get Chassis Status: didn't return a response");
    if (err e = chassis_reply_error(resp)) return e;
    for (const auto& b : chassis_bits) {
        if (node.id != b.id) continue;
        bool set = resp.data[b.byte] & (1u << b.bit);
        res.ivalue = set ? 1 : 0;
        set_result_text(res, set ? b.set_text : b.clear_text);
        return {};
    }
    return {};
}

void add_chassis_checks(devtree& top) {
    devtree* g = devtree_child(top, chassis_group, "ChassisStatus");
    if (!g) return;
    g->name_template = "%0r";
    devnode_list list;
    for (const auto& b : chassis_bits) {
        auto n = alloc_devnode();
        n->id = b.id;
        n->name = b.name;
        n->comment = b.name;
        n->type = type_state;
        n->description = code_generic;
        list.push_back(std::move(n));
    }
    add_devnodes(*g, std::move(list));
}

// The check for a sensor record, or null for a sensor the agent does not watch.
std::unique_ptr<devnode> make_devnode(const sensor_record& r) {
    std::string base =
        r.name.empty() ? strprintf("%s %i", sensor_type_name(r.sensor_type).c_str(), r.number) : r.name;
    auto n = alloc_devnode();
    if (r.analog_format != analog_none) {
        n->id = strprintf("%02X:%02X", r.lun, r.number);
        n->name = base + " (Analog)";
        n->type = type_real_continuous;
        n->description = code_generic;
    } else if (r.reading_type == reading_generic_bool) {
        n->id = strprintf("%02X:%02X:%02X", r.lun, r.number, r.reading_type);
        n->name = base + " (Discrete State)";
        n->type = type_state;
        n->description = code_generic;
    } else if (r.sensor_type == sensor_type_drive_bay && r.entity_id == entity_disk &&
               r.reading_type == reading_sensor_defific) {
        n->id = strprintf("%02X:%02X:%02X", r.lun, r.number, r.reading_type);
        n->name = base + " (Drive Bay State)";
        n->type = type_slot;
        n->description = code_slot;
    } else {
        if (r.sensor_type != sensor_type_drive_bay)
            log(-1, " Unsupported IPMI sensor: %s", sensor_type_name(r.sensor_type).c_str());
        else if (r.entity_id == entity_disk)
            log(-1, " EI_Disk not SR_SensorSpecific but %d: %s", r.reading_type, base.c_str());
        else
            log(-1, " Non-disk found in drive bay: %s", entity_name(r.entity_id).c_str());
        return nullptr;
    }
    n->unit = unit_text(r);
    return n;
}

// Entity, instance and sensor type groups of a sensor below the scanner's group.
devtree* sensor_group(devtree& top, const sensor_record& r) {
    devtree* entity = devtree_child(top, strprintf("E%02X", r.entity_id), entity_name(r.entity_id));
    if (!entity) return nullptr;
    entity->flags |= flag_sent;
    devtree* inst = devtree_child(*entity, strprintf("I%02X", r.instance), strprintf("%d", r.instance));
    if (!inst) return nullptr;
    devtree* type = devtree_child(*inst, strprintf("S%02X", r.sensor_type),
                                  strprintf("%s sensors", sensor_type_name(r.sensor_type).c_str()));
    if (type) type->flags |= flag_sent;
    return type;
}

err ipmi_scan(devtree& root) {
    auto& records = sensor_records();
    records.clear();
    if (bmc_count() == 0) {
        if (err e = init_bmcs()) return e;
        if (bmc_count() == 0) return err::text("Nothing to look at");
    }
    devtree* top = devtree_child(root, "ipmisens", "IPMI Sensors");
    if (!top) return err::text("Couldn't allocate devtree_child mem");
    top->name_template = "%0r for %3r %2r";

    ipmi_response id;
    if (ipmi_command(id, {netfn_app, 0, cmd_get_device_id, {}}))
        return err::text("Scan of BMC didn't return a response");
    if (id.ccode != 0) return format_error("Scan of BMC return ccode %u", id.ccode);
    if (id.data.size() < 5) return err::text("Got too few data");
    log(1, "IPMI BMC has ID %i, provides ipmi version %x.%x", id.data[0], id.data[4] & 0x0F, id.data[4] >> 4);

    ipmi_response chassis;
    if (err e = ipmi_command(chassis, {netfn_chassis, 0, cmd_get_chassis_status, {}}))
        log(1, "Get Chassis Status failed: %s", e.c_str());
    else if (err bad = chassis_reply_error(chassis))
        log(1, "%s", bad.c_str());
    else
        add_chassis_checks(*top);

    if (err e = walk_sdr_repository(records)) return e;
    log(-1, "Completed scan of BMC.");

    for (auto& r : records) {
        auto node = make_devnode(r);
        if (!node) continue;
        log(-1, "Sensor 0x%X (lun %i) \"%s\" has format %i - will use", r.number, r.lun, r.name.c_str(),
            r.analog_format);
        auto scratch = alloc_resnode();
        if (err e = read_sensor(r, *scratch)) {
            log(0, "Skipping sensor 0x%X (lun %i) \"%s\" with format %i, due to read error: %s", r.number, r.lun,
                r.name.c_str(), r.analog_format, e.c_str());
            continue;
        }
        if (devtree* g = sensor_group(*top, r)) add_devnodes(*g, std::move(node));
    }
    return {};
}

err ipmi_check(devnode& node, resnode* result) {
    if (bmc_count() == 0) return err::text("Cannot read sensor: No BMCs initialized");
    if (!result) return err::text("Cannot read sensor: no result record");
    if (node.parent && node.parent->id == chassis_group) return chassis_check(node, *result);
    unsigned lun = 0, number = 0;
    if (std::sscanf(node.id.c_str(), "%02X:%02X", &lun, &number) != 2)
        return format_error("Unable to parse id \"%s\"", node.id.c_str());
    for (auto& r : sensor_records())
        if (r.lun == lun && r.number == number) return read_sensor(r, *result);
    return format_error("No SDR for sensor %s", node.id.c_str());
}

}  // namespace

void register_ipmi_scanners() { register_scanner("ipmisens", ipmi_scan, ipmi_check); }

}  // namespace zp
