// Tests of sensor record parsing and the conversion of raw readings, on records
// built byte by byte as a BMC stores them.
#include "monitors/ipmi/sdr.h"

#include <gtest/gtest.h>

#include "tests/ipmi/fake_bmc.h"

namespace zp {
namespace {

using test::compact_record;
using test::full_record;
using test::sensor_def;

sensor_record parsed(const std::vector<uint8_t>& bytes) {
    sensor_record r;
    EXPECT_TRUE(parse_sensor_record(bytes, r).ok());
    return r;
}

// Expected values worked out by hand from y = L[(M x + B 10^Bexp) 10^Rexp].
TEST(SensorConversion, RawReadingsOfRealRecords) {
    struct row {
        sensor_def def;
        uint8_t raw;
        double want;
    } rows[] = {
        {{.m = 2, .b = -10, .rexp = -1}, 100, 19.0},                  // (200 - 10) x 0.1
        {{.format = 1}, 0x05, 5}, {{.format = 1}, 0xFE, -1}, {{.format = 1}, 0xFF, 0},  // one's complement
        {{.format = 2}, 0xF6, -10},                                    // two's complement
        {{.base = 4, .m = 7, .rexp = -2}, 171, 11.97},                // 12 V rail, 70 mV steps
        {{.base = 18, .m = 75}, 80, 6000},                            // fan, 75 RPM steps
        {{.m = -1}, 10, -10},                                          // M bytes 0xFF, 0xC0
        {{.m = 1, .b = 5, .rexp = -2, .bexp = 1}, 10, 0.6},           // exponent nibbles 0xE and 0x1
        {{.m = 511, .b = -512}, 2, 510},                               // the ends of both 10-bit ranges
        {{.lin = 1}, 1, 0}, {{.lin = 2}, 100, 2}, {{.lin = 3}, 8, 3}, {{.lin = 4}, 0, 1},
        {{.lin = 5}, 2, 100}, {{.lin = 6}, 10, 1024}, {{.lin = 7}, 4, 0.25}, {{.lin = 8}, 12, 144},
        {{.lin = 9}, 3, 27}, {{.lin = 10}, 81, 9}, {{.lin = 11}, 2, 0.125},  // y^-3, not the cube root
    };
    for (const auto& r : rows) {
        double v = -99;
        EXPECT_TRUE(convert_reading(parsed(full_record(r.def)), r.raw, v).ok()) << int(r.raw);
        EXPECT_NEAR(v, r.want, 1e-9) << "raw " << int(r.raw) << " lin " << int(r.def.lin);
    }
}

TEST(SensorConversion, NoNumberIsAnErrorNotInfinityOrNaN) {
    struct row {
        sensor_def def;
        uint8_t raw;
        const char* want;
    } rows[] = {
        {{.lin = 7, .name = "Fan"}, 0, "Sensor Fan: linearization function 7 gives no finite value for 0.000000"},
        {{.lin = 1}, 0, "linearization function 1 gives no finite value"},
        {{.format = 2, .lin = 2}, 0xFF, "linearization function 2 gives no finite value for -1.000000"},
        {{.format = 2, .lin = 11}, 0, "linearization function 11 gives no finite value"},
        {{.lin = 4, .m = 511, .rexp = 7}, 255, "linearization function 4 gives no finite value"},
        {{.lin = 12}, 1, "Unknown linearization function 12"},
        {{.format = 3}, 1, "Cannot convert sensor value from format 3"},
    };
    for (const auto& r : rows) {
        double v = -99;
        err e = convert_reading(parsed(full_record(r.def)), r.raw, v);
        EXPECT_NE(e.message().find(r.want), std::string::npos) << e.message();
        EXPECT_EQ(v, -99);
    }
    double v = -99;
    EXPECT_EQ(convert_reading(parsed(compact_record({})), 1, v).message(), "Cannot convert sensor value from format 3");
}

TEST(SensorRecord, NamesComeOnlyFromBytesReceived) {
    struct row {
        int tl;
        std::string bytes;
        std::string want;
    } rows[] = {
        {0xC8, "CPU1 TempXYZ", "CPU1 Tem"},
        {0xDF, "CPU1 Temp", "[1Fh length buffer]"},
        {0x48, "CPU1 Temp", "[BCD-plus]"},
        {0x08, "CPU1 Temp", "[UNICODE]"},
        {0x88, "CPU1 Temp", "[6-bit packed ASCII]"},
        {0xD4, "Processor 1 Die Temperature", "Processor 1 Die "},  // 16 at most
        {0xCA, "ABCD", "ABCD"},                                     // claims 10, record ends after 4
        {0xC5, std::string("AB\0CD", 5), "AB"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(parsed(full_record({.name = r.bytes, .id_tl = r.tl})).name, r.want);
        EXPECT_EQ(parsed(compact_record({.name = r.bytes, .id_tl = r.tl})).name, r.want);
    }
}

TEST(SensorRecord, ShortRecordsAreRefusedAndLeaveTheRecordAlone) {
    auto full = full_record({.name = "X"});
    auto compact = compact_record({.name = "X"});
    sensor_record r;
    r.name = "before";
    EXPECT_EQ(parse_sensor_record(std::span(full).first(48), r).message(), "Full Sensor Record too short");
    EXPECT_EQ(parse_sensor_record(std::span(compact).first(32), r).message(),
              "Compact Sensor Record too short (32 bytes)");
    EXPECT_EQ(r.name, "before");
}

TEST(SensorRecord, UnitTexts) {
    struct row {
        sensor_def def;
        const char* want;
    } rows[] = {
        {{.percent = true, .base = 1}, "1%"},
        {{.base = 4}, "V"},
        {{.usage = 1, .base = 70, .modifier = 19}, "B/Hz"},
        {{.usage = 2, .base = 6, .modifier = 18}, "WRPM"},
        {{.base = 93}, "Unknown sensor unit: 93"},
        {{.base = 7}, ""},
        {{.usage = 3, .base = 4}, ""},
        {{.reading = 0x03, .base = 4}, ""},
    };
    for (const auto& r : rows) EXPECT_EQ(unit_text(parsed(full_record(r.def))), r.want);
    EXPECT_EQ(entity_name(54), "Unknown entity id: 54");
    EXPECT_EQ(sensor_type_name(45), "Unknown sensor type: 45");
}

}  // namespace
}  // namespace zp
