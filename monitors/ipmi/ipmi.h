// ipmi.h - access to the host's baseboard management controller (BMC): the
// one-BMC table, sending a request and decoding its response, completion code
// texts, and the read of the sensor data repository (SDR) into sensor records.
//
// All of it is process-wide state of the main thread and unlocked: the BMC
// table, the repository reservation id and the sensor record list.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/err.h"
#include "monitors/ipmi/ipmi_transport.h"
#include "monitors/ipmi/sdr.h"

namespace zp {

// Network functions and commands the agent sends.
inline constexpr uint8_t netfn_chassis = 0x00;
inline constexpr uint8_t netfn_sensor = 0x04;
inline constexpr uint8_t netfn_app = 0x06;
inline constexpr uint8_t netfn_storage = 0x0A;
inline constexpr uint8_t cmd_get_device_id = 0x01;
inline constexpr uint8_t cmd_get_chassis_status = 0x01;
inline constexpr uint8_t cmd_reserve_sdr = 0x22;
inline constexpr uint8_t cmd_get_sdr = 0x23;
inline constexpr uint8_t cmd_get_sensor_reading = 0x2D;

// Completion codes the repository read acts on.
inline constexpr uint32_t cc_reservation_cancelled = 0xC5;
inline constexpr uint32_t cc_cannot_return_bytes = 0xCA;
inline constexpr uint32_t cc_unspecified = 0xFF;

// Longest repository the walk follows; a next-record id seen before also ends it.
inline constexpr size_t sdr_max_records = 2048;
// Times one record's read re-reserves the repository before giving up.
inline constexpr int sdr_max_rereserves = 5;

// A decoded response; the caller owns it.
struct ipmi_response {
    uint8_t netfn = 0;  // the request's, with bit 0 set
    uint8_t lun = 0;
    uint8_t cmd = 0;
    uint32_t ccode = 0;
    std::vector<uint8_t> data;  // the bytes after the completion code
};

// One repository record as read: its bytes from the header on.
struct sdr_buffer {
    std::array<uint8_t, 256> bytes{};
    size_t size = 0;  // the record's full size, or 256 when it claims more
};

// Opens the BMC unless already open. A host without a BMC is not an error: it
// logs "No BMCs available" (level 1), the table stays empty and the next call
// looks again. Logs "Initialized %i BMCs" (level 1) when one is opened.
err init_bmcs();
// Closes the BMC, forgets the reservation; the table is empty afterwards.
void release_bmcs();
int bmc_count();

// How init_bmcs opens the BMC (the tests' simulated controller); null restores
// the system's IPMI device. Takes effect at the next init_bmcs.
void set_ipmi_opener(ipmi_opener open);

// Sends one request to the BMC and decodes its response into `out`; on failure
// `out` is unchanged. When the connection turns out to be gone the BMC is
// opened again and the failure is returned (the request is not sent again).
err ipmi_command(ipmi_response& out, const ipmi_request& req);

// The text of an IPMI completion code.
std::string completion_code_text(uint32_t code);

// Reserves the repository; the id is also kept for the following reads.
err reserve_sdr_repository(uint16_t& id);
// Reads record `record_id` in pieces into `rec` and gives the id of the next
// record, reserving again when the reservation was cancelled (after a pause
// on the wake-up events).
err read_sdr_record(sdr_buffer& rec, uint16_t& next, uint16_t record_id);
// Reads the whole repository from its first record and puts the parsed sensor
// records in front of `out`, the last read first. A read error ends the walk
// and is returned (what was read stays); malformed records are logged and
// skipped; a repository that leads back to a record already read, or holds
// more than sdr_max_records, is read only that far (logged at level 2).
err walk_sdr_repository(std::vector<sensor_record>& out);

// The sensor records of the last scan, the last read first (the checks use them).
std::vector<sensor_record>& sensor_records();

}  // namespace zp
