// sdr.h - sensor data records: the full and compact sensor records of a BMC's
// repository parsed into sensor records, their names and units, and the
// conversion of a raw reading into the sensor's value.
//
// Everything here works on bytes already read and touches no device; the bytes
// are untrusted, and nothing past the end of the given span is ever read.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "core/err.h"

namespace zp {

inline constexpr uint8_t sdr_full_sensor = 0x01;
inline constexpr uint8_t sdr_compact_sensor = 0x02;
inline constexpr uint8_t analog_none = 3;          // analog data format: no analog reading
inline constexpr uint8_t reading_generic_bool = 0x03;
inline constexpr uint8_t reading_sensor_defific = 0x6F;
inline constexpr uint8_t sensor_type_drive_bay = 13;
inline constexpr uint8_t entity_disk = 4;

// One full or compact sensor record. Compact records have no analog reading,
// no conversion factors and no thresholds.
struct sensor_record {
    uint8_t lun = 0;
    uint8_t number = 0;
    uint8_t entity_id = 0;
    bool logical_entity = false;
    uint8_t instance = 0;
    uint8_t sensor_type = 0;
    uint8_t reading_type = 0;      // event/reading type code
    uint8_t analog_format = analog_none;  // 0 unsigned, 1 one's, 2 two's complement
    uint8_t rate_unit = 0;
    uint8_t modifier_usage = 0;    // 0 none, 1 base/modifier, 2 base*modifier
    bool percentage = false;
    uint8_t base_unit = 0;
    uint8_t modifier_unit = 0;
    uint8_t linearization = 0;
    double m = 0, b = 0;           // 10-bit two's complement factors
    uint8_t direction = 0;
    double r_exp = 0, b_exp = 0;   // 4-bit two's complement exponents
    // Raw threshold readings of a full record: upper non-recoverable, critical,
    // non-critical, lower non-recoverable, critical, non-critical.
    std::array<uint8_t, 6> thresholds{};
    std::string name;              // at most 16 bytes
    int zero_count = 0;            // confirmed zero readings lately (the checks)
};

// Parses a full (type 0x01) or compact (type 0x02) sensor record, header
// included, and logs its fields at level -1. On failure `out` is unchanged and
// the text says why ("Full Sensor Record too short").
err parse_sensor_record(std::span<const uint8_t> rec, sensor_record& out);

// The ID string whose type/length byte is at `at`: 8-bit text up to 16 bytes
// (cut at the end of `rec`), or the bracketed name of a form not decoded.
std::string sdr_id_string(std::span<const uint8_t> rec, size_t at);

std::string entity_name(uint32_t id);        // "Unknown entity id: %i" when unknown
std::string sensor_type_name(uint32_t type);  // "Unknown sensor type: %i" when unknown
// The unit of the sensor's value ("V", "B/Hz", "1%", "" when none).
std::string unit_text(const sensor_record& r);

// Converts a raw reading with the record's format, factors and linearisation.
// A format without analog reading, an unknown linearisation, or a value that is
// not a finite number (a division by zero, an overflow) give an error text and
// leave `out` unchanged.
err convert_reading(const sensor_record& r, uint8_t raw, double& out);

}  // namespace zp
