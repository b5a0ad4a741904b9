// ipmi.cpp - the BMC table, requests and responses, completion code texts and
// the read of the sensor data repository.
#include "monitors/ipmi/ipmi.h"

#include <algorithm>
#include <utility>

#include "core/log.h"
#include "host/wait.h"
#include "monitors/ipmi/ipmi_os.h"

namespace zp {

namespace {

struct bmc_state {
    ipmi_transport_ptr bmc;  // the one BMC; null while none is open
    ipmi_opener opener;      // null: the system's IPMI device
    uint16_t reservation = 0;  // 0: not reserved yet
    std::vector<sensor_record> records;
};

bmc_state& state() {
    static bmc_state s;
    return s;
}

constexpr size_t sdr_buffer_size = 256;
constexpr uint8_t sdr_first_chunk = 16;
constexpr uint16_t sdr_last_record = 0xFFFF;
constexpr uint8_t sdr_version = 0x51;

constexpr const char* cc_texts[] = {
    "Node Busy. Command could not be processed because command processing resources are temporarily unavailable",
    "Invalid Command. Used to indicate an unrecognized or unsupported command",
    "Command invalid for given LUN",
    "Timeout while processing command. Response unavailable",
    "Out of space. Command could not be completed because of a lack of storage space required to execute the "
    "given command operation",
    "Reservation Canceled or Invalid Reservation ID",
    "Request data truncated",
    "Request data length invalid",
    "Request data field length limit exceeded",
    "Parameter out of range. One or more parameters in the data field of the Request are out of range. This is "
    "different from 'Invalid data field' (CCh) code in that it indicates that the erroneous field(s) has a "
    "contiguous range of possible values",
    "Cannot return number of requested data bytes",
    "Requested Sensor, data, or record not present",
    "Invalid data field in Request",
    "Command illegal for specified sensor or record type",
    "Command response could not be provided",
    "Cannot execute duplicated request. This completion code is for devices which cannot return the response "
    "that was returned for the original instance of the request. Such devices should provide separate commands "
    "that allow the completion status of the original request to be determined. An Event Receiver does not use "
    "this completion code, but returns the 00h completion code in the response to (valid) duplicated requests",
    "Command response could not be provided. SDR Repository in update mode",
    "Command response could not be provided. Device in firmware update mode",
    "Command response could not be provided. BMC initialization or initialization agent in progress",
    "Destination unavailable. Cannot deliver request to selected destination E.g. this code can be returned if a "
    "request message is targeted to SMS, but receive message queue reception is disabled for the particular "
    "channel",
    "Cannot execute command due to insufficient privilege level or other security-based restriction (e.g. "
    "disabled for 'firmware firewall')",
    "Cannot execute command. Command, or request parameter(s), not supported in present state",
    "Cannot execute command. Parameter is illegal because command sub-function has been disabled or is "
    "unavailable (e.g. disabled for 'firmware firewall')",
};

// The connection broke: open it again and report what broke it.
err reopen_after(const err& prompting) {
    release_bmcs();
    if (err e = init_bmcs())
        return format_error("Failure while initializing bmcs during COM subsystem restart: '%s'. The error "
                            "prompting the restart was: '%s'.",
                            e.c_str(), prompting.c_str());
    return prompting;
}

err get_sdr(ipmi_response& resp, uint16_t record_id, uint8_t offset, uint8_t chunk) {
    log(-1, "About to read record id 0x%X with offset 0x%X length 0x%X", record_id, offset, chunk);
    uint16_t res = state().reservation;
    ipmi_request req{netfn_storage, 0, cmd_get_sdr,
                     {static_cast<uint8_t>(res & 0xFF), static_cast<uint8_t>(res >> 8),
                      static_cast<uint8_t>(record_id & 0xFF), static_cast<uint8_t>(record_id >> 8), offset, chunk}};
    return ipmi_command(resp, req);
}

// Logs what a locator record names: its entity, instance and ID string.
void log_locator(std::span<const uint8_t> rec, const char* label) {
    if (rec.size() < 16) return;
    log(-1, " Entity: %s", entity_name(rec[12]).c_str());
    log(-1, " Instance: %i", rec[13]);
    log(-1, " %s: %s", label, sdr_id_string(rec, 15).c_str());
}

// Parses or logs one record of the repository.
void take_record(std::span<const uint8_t> rec, std::vector<sensor_record>& found) {
    log(-1, "SDR ID %i.%i:", rec[0], rec[1]);
    log(-1, " Version 0x%X", rec[2]);
    if (rec[2] != sdr_version) {
        log(-1, "SDR ID %i.%i has unsupported version 0x%X", rec[0], rec[1], rec[2]);
        return;
    }
    uint8_t type = rec[3];
    switch (type) {
    case sdr_full_sensor:
    case sdr_compact_sensor: {
        sensor_record r;
        if (err e = parse_sensor_record(rec, r))
            log(1, "Error parsing record: %s", e.c_str());
        else
            found.push_back(std::move(r));
        return;
    }
    case 0x03: log(-1, " Event-only record"); return;
    case 0x08: log(-1, " Entity Association record"); return;
    case 0x09: log(-1, " Device-relative Entity Association record"); return;
    case 0x10:
        log(-1, " Generic Device Locator record");
        log_locator(rec, "Description");
        return;
    case 0x11:
        log(-1, " FRU Device Locator record");
        log_locator(rec, "FRU");
        return;
    case 0x12: log(-1, " Management Controller Device Locator record"); return;
    case 0x13: log(-1, " Management Controller Confirmation record"); return;
    case 0x14: log(-1, " Baseboard Management Controller Channel Info record"); return;
    case 0xC0: log(-1, " OEM record"); return;
    default:
        if (type >= 0x0A && type <= 0x0F)
            log(-1, " Unhandled (reserved) SDR record");
        else
            log(1, " Unknown record type 0x%X", type);
    }
}

}  // namespace

err init_bmcs() {
    auto& s = state();
    if (s.bmc) return {};
    ipmi_transport_ptr t;
    err e = s.opener ? s.opener(t) : ipmi_os::open_device(t);
    if (e) return e;
    if (!t) {
        log(1, "No BMCs available");
        return {};
    }
    s.bmc = std::move(t);
    log(1, "Initialized %i BMCs", 1);
    return {};
}

void release_bmcs() {
    auto& s = state();
    s.bmc.reset();
    s.reservation = 0;
}

int bmc_count() { return state().bmc ? 1 : 0; }

void set_ipmi_opener(ipmi_opener open) { state().opener = std::move(open); }

err ipmi_command(ipmi_response& out, const ipmi_request& req) {
    auto& s = state();
    if (!s.bmc) return err::text("No BMCs initialized");
    log(-1, " Ready to exec");
    ipmi_reply reply;
    bool lost = false;
    err e = s.bmc->exchange(req, reply, lost);
    if (e) return lost ? reopen_after(e) : e;
    log(-1, " Method executed");
    if (reply.bytes.empty()) return err::text("Must get response data");
    if (reply.netfn != (req.netfn | 1) || reply.cmd != req.cmd)
        return format_error("Response 0x%X:0x%X does not answer request 0x%X:0x%X", reply.netfn, reply.cmd,
                            req.netfn, req.cmd);
    out.netfn = reply.netfn;
    out.lun = req.lun;
    out.cmd = reply.cmd;
    out.ccode = reply.bytes[0];
    out.data.assign(reply.bytes.begin() + 1, reply.bytes.end());
    log(-1, " Will return with ccode=%i and %i bytes of data", static_cast<int>(out.ccode),
        static_cast<int>(out.data.size()));
    return {};
}

std::string completion_code_text(uint32_t code) {
    if (code == 0x00) return "Command completed normally";
    if (code >= 0x01 && code <= 0x7E) return "Device-specific code";
    if (code >= 0x80 && code <= 0x8E) return "Command-specific code";
    if (code >= 0xC0 && code <= 0xD6) return cc_texts[code - 0xC0];
    if (code == 0xFF) return "Unspecified error";
    return "Reserved";
}

err reserve_sdr_repository(uint16_t& id) {
    ipmi_response resp;
    if (err e = ipmi_command(resp, {netfn_storage, 0, cmd_reserve_sdr, {}})) return e;
    if (resp.ccode != 0)
        return format_error("Unable to reserve SDR repository: %s (%u)", completion_code_text(resp.ccode).c_str(),
                            resp.ccode);
    if (resp.data.size() < 2) return err::text("Received too little data from Reserve SDR Repository");
    uint16_t got = static_cast<uint16_t>(resp.data[0] | (resp.data[1] << 8));
    log(-1, "Successfully reserved SDR repository with code %i", got);
    if (got == 0) log(1, "Odd! Got 0 reservation code on SDR!");
    state().reservation = got;
    id = got;
    return {};
}

err read_sdr_record(sdr_buffer& rec, uint16_t& next, uint16_t record_id) {
    uint16_t id;
    if (state().reservation == 0)
        if (err e = reserve_sdr_repository(id)) return e;
    size_t offset = 0;
    size_t chunk = sdr_first_chunk;
    uint16_t next_id = sdr_last_record;
    int rereserves = 0;
    ipmi_response resp;
    if (err e = get_sdr(resp, record_id, 0, static_cast<uint8_t>(chunk))) return e;
    for (;;) {
        if (resp.ccode != 0) log(-1, "Got non-zero return code : %i", static_cast<int>(resp.ccode));
        if (resp.ccode == 0) {
            // Two bytes of next record id, then at least one byte of the record:
            // a reply without any would have us ask for the same bytes forever.
            if (resp.data.size() < 3) return err::text("Received too little data from Get DSR");
            if (offset == 0) next_id = static_cast<uint16_t>(resp.data[0] | (resp.data[1] << 8));
            log(-1, "Got %i bytes back in data", static_cast<int>(resp.data.size()));
            size_t n = std::min(resp.data.size() - 2, sdr_buffer_size - offset);
            std::copy_n(resp.data.begin() + 2, n, rec.bytes.begin() + static_cast<std::ptrdiff_t>(offset));
            offset += n;
            if (offset + chunk > sdr_buffer_size) chunk = sdr_buffer_size - offset;
            if (offset > 4) {
                size_t full = 5 + size_t{rec.bytes[4]};
                log(-1, "Record claims full size is %u bytes", static_cast<unsigned>(full));
                if (offset >= full || offset == sdr_buffer_size) {
                    log(-1, "Read full SDR repository record");
                    rec.size = std::min(full, sdr_buffer_size);
                    next = next_id;
                    return {};
                }
            }
        } else if (resp.ccode == cc_cannot_return_bytes || resp.ccode == cc_unspecified) {
            chunk /= 2;
            if (chunk == 0) return err::text("Unable to read anything in a record");
            log(-1, "Will re-try read with %i bytes", static_cast<int>(chunk));
        } else if (resp.ccode == cc_reservation_cancelled) {
            // A BMC that cancels every reservation would keep us here for good.
            if (++rereserves > sdr_max_rereserves) return err::text("SDR Repository reservation lost too often");
            log(1, "SDR Repository reservation lost. Re-reserving");
            (void)wakeup_wait(1);
            if (err e = reserve_sdr_repository(id)) return e;
            offset = 0;
        } else {
            return err::text("Unexpected error reading SDR");
        }
        resp = {};
        if (err e = get_sdr(resp, record_id, static_cast<uint8_t>(offset), static_cast<uint8_t>(chunk))) return e;
    }
}

err walk_sdr_repository(std::vector<sensor_record>& out) {
    std::vector<sensor_record> found;
    std::vector<bool> seen(65536);
    err result;
    uint16_t id = 0;
    size_t count = 0;
    while (id != sdr_last_record) {
        if (seen[id]) {
            log(2, "SDR repository leads back to record id 0x%X; the rest is not read", id);
            break;
        }
        if (count++ == sdr_max_records) {
            log(2, "SDR repository holds more than %i records; the rest is not read", static_cast<int>(sdr_max_records));
            break;
        }
        seen[id] = true;
        sdr_buffer rec;
        uint16_t next = sdr_last_record;
        if (err e = read_sdr_record(rec, next, id)) {
            result = std::move(e);
            break;
        }
        take_record(std::span<const uint8_t>(rec.bytes.data(), rec.size), found);
        log(-1, "Set next record id to 0x%X", next);
        id = next;
    }
    // The list runs from the last record read to the first.
    out.insert(out.begin(), std::make_move_iterator(found.rbegin()), std::make_move_iterator(found.rend()));
    return result;
}

std::vector<sensor_record>& sensor_records() { return state().records; }

}  // namespace zp
