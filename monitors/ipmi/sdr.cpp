// sdr.cpp - parsing of sensor data records, their names and units, and the
// conversion of raw readings.
#include "monitors/ipmi/sdr.h"

#include <algorithm>
#include <cmath>

#include "core/log.h"

namespace zp {

namespace {

constexpr size_t full_min_size = 49;
constexpr size_t compact_min_size = 33;
constexpr size_t full_id_at = 47;
constexpr size_t compact_id_at = 31;
constexpr size_t name_max = 16;

constexpr const char* entity_names[] = {
    "Unspecified", "Other", "Unknown", "Processor", "Disk", "PeripheralBay", "SystemManagementModule",
    "SystemBoard", "MemoryModule", "ProcessorModule", "PowerSupply", "AddInCard", "FrontPanelBoard",
    "BackPanelBoard", "PowerSystemBoard", "DriveBackplane", "SystemInternalExpansionBoard",
    "OtherSystemBoard", "ProcessorBoard", "PowerUnit", "PowerModule", "PowerManagementBoard",
    "ChassisBackPanelBoard", "SystemChassis", "SubChassis", "OtherChassisBoard", "DiskDriveBay",
    "PeripheralBay", "DeviceBay", "CoolingDevice", "CoolingUnit", "Cable", "MemoryDevice",
    "SystemManagementSoftware", "SystemFirmware", "OperatingSystem", "SystemBus", "Group",
    "RemoteMCDevice", "ExternalEnvironment", "Battery", "ProcessingBlade", "ConnectivitySwitch",
    "ProcessorMemoryModule", "IOModule", "ProcessorIOModule", "ManagementControllerFirmware",
    "IPMIChannel", "PCIBus", "PCIEBus", "SCSIBus", "SATAorSASBus", "ProcessorBus", "RealTimeClock",
};

constexpr const char* sensor_type_names[] = {
    "Reserved", "Temperature", "Voltage", "Current", "Fan", "PhysicalSecurity", "PlatformSecurity",
    "Processor", "PowerSupply", "PowerUnit", "CoolingDevice", "OtherUnitsSensor", "Memory", "DriveBay",
    "POSTMemoryResize", "SystemFirmwareProgress", "EventLoggingDisabled", "Watchdog1", "SystemEvent",
    "CriticalInterrupt", "ButtonOrSwitch", "ModuleOrBoard", "MicroController", "AddInCard", "Chassis",
    "ChipSet", "OtherFRU", "Cable", "Terminator", "SystemBoot", "BootError", "OSBoot", "OSStop", "Slot",
    "SystemACPIPowerState", "Watchdog2", "PlatformAlert", "EntityPresence", "MonitorASIC", "LAN",
    "ManagementSubsystemHealth", "Battery", "SessionAudit", "VersionChange", "FRUChange",
};

constexpr const char* direction_names[] = {"Unspecified", "Input", "Output", "Reserved"};

// Texts of the unit codes the agent names; every other code below 93 has none.
std::string base_unit_text(uint8_t code) {
    switch (code) {
    case 1: return "C";
    case 2: return "F";
    case 3: return "K";
    case 4: return "V";
    case 5: return "A";
    case 6: return "W";
    case 18: return "RPM";
    case 19: return "Hz";
    case 66: return "b";
    case 67: return "kb";
    case 68: return "Mb";
    case 69: return "Gb";
    case 70: return "B";
    case 71: return "kB";
    case 72: return "MB";
    case 73: return "GB";
    default: return code >= 93 ? strprintf("Unknown sensor unit: %i", code) : "";
    }
}

double ten_bit(uint8_t low, uint8_t high_bits) {
    int v = low | ((high_bits >> 6) << 8);
    return v & 0x200 ? v - 0x400 : v;
}

double four_bit(uint8_t nibble) { return nibble & 0x8 ? static_cast<int>(nibble) - 16 : nibble; }

void log_record(const sensor_record& r, bool full) {
    log(-1, full ? " Full sensor record" : " Compact sensor record");
    log(-1, " LUN: %i", r.lun);
    log(-1, " Sensor#: 0x%X", r.number);
    log(-1, " Entity id: %s %s", r.logical_entity ? "group of" : "", entity_name(r.entity_id).c_str());
    log(-1, " Entity instance: 0x%X", r.instance);
    log(-1, " Sensor type: %s", sensor_type_name(r.sensor_type).c_str());
    log(-1, " Reading type code: 0x%X", r.reading_type);
    log(-1, " Numeric data format: 0x%X", r.analog_format);
    log(-1, " Rate unit: 0x%X", r.rate_unit);
    log(-1, " Unit interpretation: %s", unit_text(r).c_str());
    log(-1, " Direction: %s", direction_names[r.direction & 3]);
    log(-1, " Description: %s", r.name.c_str());
}

}  // namespace

err parse_sensor_record(std::span<const uint8_t> rec, sensor_record& out) {
    if (rec.size() < 4) return err::text("Sensor record too short");
    if (rec[3] != sdr_full_sensor && rec[3] != sdr_compact_sensor)
        return format_error("Not a sensor record (type 0x%X)", rec[3]);
    bool full = rec[3] == sdr_full_sensor;
    if (full && rec.size() < full_min_size) return err::text("Full Sensor Record too short");
    if (!full && rec.size() < compact_min_size)
        return format_error("Compact Sensor Record too short (%i bytes)", static_cast<int>(rec.size()));

    sensor_record r;
    r.lun = rec[6] & 0x03;
    r.number = rec[7];
    r.entity_id = rec[8];
    r.logical_entity = rec[9] & 0x80;
    r.instance = rec[9] & 0x7F;
    r.sensor_type = rec[12];
    r.reading_type = rec[13];
    r.analog_format = full ? rec[20] >> 6 : analog_none;
    r.rate_unit = (rec[20] >> 3) & 0x07;
    r.modifier_usage = (rec[20] >> 1) & 0x03;
    r.percentage = rec[20] & 0x01;
    r.base_unit = rec[21];
    r.modifier_unit = rec[22];
    if (full) {
        r.linearization = rec[23] & 0x7F;
        r.m = ten_bit(rec[24], rec[25]);
        r.b = ten_bit(rec[26], rec[27]);
        r.direction = rec[28] & 0x03;
        r.r_exp = four_bit(rec[29] >> 4);
        r.b_exp = four_bit(rec[29] & 0x0F);
        std::copy(rec.begin() + 36, rec.begin() + 42, r.thresholds.begin());
    } else {
        r.direction = rec[23] >> 6;
    }
    r.name = sdr_id_string(rec, full ? full_id_at : compact_id_at);
    log_record(r, full);
    out = std::move(r);
    return {};
}

std::string sdr_id_string(std::span<const uint8_t> rec, size_t at) {
    if (at >= rec.size()) return "";
    uint8_t tl = rec[at];
    size_t len = tl & 0x1F;
    if (len == 31) return "[1Fh length buffer]";
    switch (tl >> 6) {
    case 0: return "[UNICODE]";
    case 1: return "[BCD-plus]";
    case 2: return "[6-bit packed ASCII]";
    default: break;
    }
    // Only the bytes the BMC sent, and like a C string up to the first zero.
    size_t n = std::min({len, name_max, rec.size() - at - 1});
    auto first = rec.begin() + static_cast<std::ptrdiff_t>(at + 1);
    auto last = std::find(first, first + static_cast<std::ptrdiff_t>(n), uint8_t{0});
    return std::string(first, last);
}

std::string entity_name(uint32_t id) {
    if (id < std::size(entity_names)) return entity_names[id];
    return strprintf("Unknown entity id: %i", static_cast<int>(id));
}

std::string sensor_type_name(uint32_t type) {
    if (type < std::size(sensor_type_names)) return sensor_type_names[type];
    return strprintf("Unknown sensor type: %i", static_cast<int>(type));
}

std::string unit_text(const sensor_record& r) {
    if (r.reading_type == reading_generic_bool) return "";
    if (r.percentage) return "1%";
    switch (r.modifier_usage) {
    case 0: return base_unit_text(r.base_unit);
    case 1: return base_unit_text(r.base_unit) + "/" + base_unit_text(r.modifier_unit);
    case 2: return base_unit_text(r.base_unit) + base_unit_text(r.modifier_unit);
    default:
        log(-1, "Unknown unit for sensor %i", r.number);
        return "";
    }
}

err convert_reading(const sensor_record& r, uint8_t raw, double& out) {
    double x;
    switch (r.analog_format) {
    case 0: x = raw; break;
    case 1: x = raw & 0x80 ? static_cast<int8_t>(raw) + 1 : raw; break;
    case 2: x = static_cast<int8_t>(raw); break;
    default: return format_error("Cannot convert sensor value from format %i", r.analog_format);
    }
    log(-1, "RAW value is: %lf", x);
    log(-1, " M=%lf, B=%lf, Bexp=%lf, Rexp=%lf", r.m, r.b, r.b_exp, r.r_exp);
    const double scaled = (r.m * x + r.b * std::pow(10.0, r.b_exp)) * std::pow(10.0, r.r_exp);
    log(-1, " Scaled value is: %lf", scaled);
    double y = scaled;
    switch (r.linearization) {
    case 0: break;
    case 1: y = std::log(y); break;
    case 2: y = std::log10(y); break;
    case 3: y = std::log2(y); break;
    case 4: y = std::exp(y); break;
    case 5: y = std::pow(10.0, y); break;
    case 6: y = std::exp2(y); break;
    case 7: y = 1.0 / y; break;
    case 8: y = y * y; break;
    case 9: y = y * y * y; break;
    case 10: y = std::sqrt(y); break;
    case 11: y = std::pow(y, -3.0); break;
    default: return format_error("Unknown linearization function %i", r.linearization);
    }
    log(-1, " Linearized value is: %lf", y);
    // A zero under 1/y, a logarithm of zero or less, or an exponent past the
    // range of a double: the server is never sent an infinity or NaN.
    if (!std::isfinite(y))
        return format_error("Sensor %s: linearization function %i gives no finite value for %lf",
                            r.name.c_str(), r.linearization, scaled);
    out = y;
    return {};
}

}  // namespace zp
