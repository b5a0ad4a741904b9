// fake_bmc.h - a simulated BMC for the tests: a sensor data repository built
// from constructed full and compact records, scripted sensor readings and
// chassis status, and faults on demand (completion codes, a reservation
// cancelled in the middle of a record, short replies, a connection that breaks).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "monitors/ipmi/ipmi.h"

namespace zp::test {

// The fields of a constructed sensor record. Exponents are -8 to 7, M and B
// -512 to 511, as the records hold them.
struct sensor_def {
    uint8_t number = 0;
    uint8_t lun = 0;
    uint8_t entity = 0;
    uint8_t instance = 1;
    uint8_t type = 0;
    uint8_t reading = 0x01;  // threshold-based
    uint8_t format = 0;      // analog data format of a full record
    uint8_t usage = 0;       // modifier unit usage
    bool percent = false;
    uint8_t base = 0;
    uint8_t modifier = 0;
    uint8_t lin = 0;
    int m = 1, b = 0, rexp = 0, bexp = 0;
    std::string name;
    int id_tl = -1;  // ID string type/length byte; -1: 8-bit text of the name's length
};

inline void put_id(std::vector<uint8_t>& r, const sensor_def& s, size_t min_size) {
    r.push_back(static_cast<uint8_t>(s.id_tl >= 0 ? s.id_tl : 0xC0 | s.name.size()));
    r.insert(r.end(), s.name.begin(), s.name.end());
    if (r.size() < min_size) r.resize(min_size);
    r[4] = static_cast<uint8_t>(r.size() - 5);
}

inline void put_key(std::vector<uint8_t>& r, const sensor_def& s, uint8_t type) {
    r[2] = 0x51;
    r[3] = type;
    r[5] = 0x20;
    r[6] = s.lun;
    r[7] = s.number;
    r[8] = s.entity;
    r[9] = s.instance;
    r[12] = s.type;
    r[13] = s.reading;
    r[20] = static_cast<uint8_t>((s.format << 6) | (s.usage << 1) | (s.percent ? 1 : 0));
    r[21] = s.base;
    r[22] = s.modifier;
}

inline std::vector<uint8_t> full_record(const sensor_def& s) {
    std::vector<uint8_t> r(47, 0);
    put_key(r, s, 0x01);
    r[23] = s.lin;
    r[24] = static_cast<uint8_t>(s.m & 0xFF);
    r[25] = static_cast<uint8_t>(((s.m >> 8) & 0x3) << 6);
    r[26] = static_cast<uint8_t>(s.b & 0xFF);
    r[27] = static_cast<uint8_t>(((s.b >> 8) & 0x3) << 6);
    r[29] = static_cast<uint8_t>(((s.rexp & 0xF) << 4) | (s.bexp & 0xF));
    put_id(r, s, 49);
    return r;
}

inline std::vector<uint8_t> compact_record(const sensor_def& s) {
    std::vector<uint8_t> r(31, 0);
    put_key(r, s, 0x02);
    r[20] &= 0x3F;  // no analog reading
    put_id(r, s, 33);
    return r;
}

// A record the agent only logs (locators, OEM...), `size` bytes long.
inline std::vector<uint8_t> other_record(uint8_t type, size_t size = 16, uint8_t version = 0x51) {
    std::vector<uint8_t> r(size, 0);
    r[2] = version;
    r[3] = type;
    r[4] = static_cast<uint8_t>(size - 5);
    return r;
}

// Get Sensor Reading replies: completion code, then the data.
inline std::vector<uint8_t> analog_reading(uint8_t raw) { return {0x00, raw, 0xC0, 0x00}; }
inline std::vector<uint8_t> state_reading(uint8_t flags, uint8_t s0, uint8_t s1) { return {0x00, 0x00, flags, s0, s1}; }

class fake_bmc {
public:
    // Repository in reading order; record k has id k + 1 (a request for id 0
    // gets the first), and the last one leads to `last_next`.
    std::vector<std::vector<uint8_t>> sdr;
    uint16_t last_next = 0xFFFF;
    bool present = true;  // false: the host has no BMC
    std::string open_error;  // when set, opening fails with this text
    std::vector<uint8_t> device_id = {0x00, 0x20, 0x01, 0x00, 0x00, 0x51};
    std::vector<uint8_t> chassis = {0x00, 0x01, 0x00, 0x00};
    // Per sensor number: the replies to Get Sensor Reading, the last one repeating.
    std::map<uint8_t, std::deque<std::vector<uint8_t>>> readings;
    size_t max_chunk = 255;  // Get SDR for more bytes gets refuse_code
    uint8_t refuse_code = 0xCA;
    int cancel_at = 0;       // Get SDR request number n (from 1) finds its reservation cancelled
    int breaks = 0;          // the next exchanges fail and take the connection with them
    // Replaces the reply to a request when it returns true.
    std::function<bool(const ipmi_request&, ipmi_reply&)> fault;

    std::vector<ipmi_request> requests;
    int opens = 0;
    uint16_t reservation = 0x0100;

    ipmi_opener opener() {
        return [this](ipmi_transport_ptr& out) -> err {
            if (!open_error.empty()) return err::text(open_error);
            if (!present) return {};
            ++opens;
            out = std::make_unique<link>(*this);
            return {};
        };
    }

    int count(uint8_t netfn, uint8_t cmd) const {
        int n = 0;
        for (auto& r : requests) n += r.netfn == netfn && r.cmd == cmd;
        return n;
    }
    std::vector<uint8_t> sdr_chunks() const {  // bytes asked for by each Get SDR
        std::vector<uint8_t> out;
        for (auto& r : requests)
            if (r.cmd == cmd_get_sdr && r.netfn == netfn_storage) out.push_back(r.data[5]);
        return out;
    }

private:
    struct link : ipmi_transport {
        explicit link(fake_bmc& b) : bmc(b) {}
        err exchange(const ipmi_request& req, ipmi_reply& reply, bool& lost) override {
            return bmc.exchange(req, reply, lost);
        }
        fake_bmc& bmc;
    };

    int sdr_requests_ = 0;

    err exchange(const ipmi_request& req, ipmi_reply& reply, bool& lost) {
        requests.push_back(req);
        if (breaks > 0) {
            --breaks;
            lost = true;
            return err::text("Error sending IPMI request: No such device (19)");
        }
        reply.netfn = req.netfn | 1;
        reply.cmd = req.cmd;
        if (fault && fault(req, reply)) return {};
        reply.bytes = answer(req);
        return {};
    }

    std::vector<uint8_t> answer(const ipmi_request& req) {
        if (req.netfn == netfn_app && req.cmd == cmd_get_device_id) return device_id;
        if (req.netfn == netfn_chassis && req.cmd == cmd_get_chassis_status) return chassis;
        if (req.netfn == netfn_storage && req.cmd == cmd_reserve_sdr) {
            ++reservation;
            return {0x00, static_cast<uint8_t>(reservation & 0xFF), static_cast<uint8_t>(reservation >> 8)};
        }
        if (req.netfn == netfn_storage && req.cmd == cmd_get_sdr) return get_sdr(req.data);
        if (req.netfn == netfn_sensor && req.cmd == cmd_get_sensor_reading && req.data.size() == 1) {
            auto it = readings.find(req.data[0]);
            if (it == readings.end() || it->second.empty()) return {0xCB};
            auto r = it->second.front();
            if (it->second.size() > 1) it->second.pop_front();
            return r;
        }
        return {0xC1};
    }

    std::vector<uint8_t> get_sdr(const std::vector<uint8_t>& d) {
        if (d.size() != 6) return {0xC7};
        if (++sdr_requests_ == cancel_at) ++reservation;
        if ((d[0] | (d[1] << 8)) != reservation) return {0xC5};
        size_t id = d[2] | (d[3] << 8);
        size_t index = id == 0 ? 0 : id - 1;
        if (index >= sdr.size()) return {0xCB};
        if (d[5] > max_chunk) return {refuse_code};
        auto rec = sdr[index];
        rec[0] = static_cast<uint8_t>((index + 1) & 0xFF);
        rec[1] = static_cast<uint8_t>((index + 1) >> 8);
        uint16_t next = index + 1 < sdr.size() ? static_cast<uint16_t>(index + 2) : last_next;
        std::vector<uint8_t> out = {0x00, static_cast<uint8_t>(next & 0xFF), static_cast<uint8_t>(next >> 8)};
        for (size_t i = d[4]; i < rec.size() && i < size_t{d[4]} + d[5]; ++i) out.push_back(rec[i]);
        return out;
    }
};

// A repository of a typical two-socket server: temperatures, fans, voltages,
// power supplies, drive bays, and the records that are only logged.
inline void typical_server(fake_bmc& bmc) {
    bmc.sdr = {
        other_record(0x12, 32),  // management controller locator
        full_record({.number = 0x30, .entity = 3, .instance = 1, .type = 1, .base = 1, .name = "CPU1 Temp"}),
        full_record({.number = 0x31, .entity = 3, .instance = 2, .type = 1, .base = 1, .name = "CPU2 Temp"}),
        full_record({.number = 0x40, .entity = 29, .instance = 1, .type = 4, .base = 18, .m = 75, .name = "FAN1"}),
        full_record({.number = 0x50, .entity = 7, .instance = 1, .type = 2, .base = 4, .m = 7, .rexp = -2,
                     .name = "12V"}),
        compact_record({.number = 0x60, .entity = 10, .instance = 1, .type = 8, .reading = 0x03, .name = "PS1 Status"}),
        compact_record({.number = 0x61, .entity = 10, .instance = 2, .type = 8, .reading = 0x6F, .name = "PS2 Status"}),
        compact_record({.number = 0x70, .entity = 4, .instance = 1, .type = 13, .reading = 0x6F, .name = "Drive 0"}),
        compact_record({.number = 0x71, .entity = 26, .instance = 1, .type = 13, .reading = 0x6F, .name = "Bay 1"}),
        other_record(0x11, 24),  // FRU locator
        other_record(0xC0, 12),  // OEM
    };
    bmc.readings[0x30] = {analog_reading(45)};
    bmc.readings[0x31] = {analog_reading(47)};
    bmc.readings[0x40] = {analog_reading(80)};
    bmc.readings[0x50] = {analog_reading(171)};
    bmc.readings[0x60] = {state_reading(0xC0, 0x01, 0x00)};
    bmc.readings[0x61] = {state_reading(0xC0, 0x01, 0x00)};
    bmc.readings[0x70] = {state_reading(0xC0, 0x01, 0x00)};
    bmc.readings[0x71] = {state_reading(0xC0, 0x01, 0x00)};
}

}  // namespace zp::test
