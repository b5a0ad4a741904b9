// raid_fuzz.cpp - fuzz target of the BMIC reply readers. The input is a
// sequence of replies, each after a length byte and a return code byte; a
// controller on port 0 answers every request with the next one (the scan's
// Identify Controller and Identify Logical Drive requests, then the status
// checks of the volumes found), and the readers get each reply directly.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

#include "core/log.h"
#include "monitors/raid/raid.h"

namespace {

bool quiet = [] {
    zp::set_log_level(4);
    return true;
}();

const uint8_t* input = nullptr;
size_t input_size = 0, pos = 0;

intptr_t fake_open(unsigned port, zp::err&) { return port == 0 ? 0 : -1; }

zp::err fake_bmic(intptr_t, std::span<const uint8_t>, uint32_t, std::span<uint8_t> data, size_t& got, uint32_t& rc) {
    if (pos + 2 > input_size) return zp::err::text("end of input");
    size_t n = std::min<size_t>(input[pos], input_size - pos - 2);
    rc = input[pos + 1] & 3 ? 0 : input[pos + 1];
    std::span<const uint8_t> reply(input + pos + 2, n);
    pos += n + 2;
    zp::ciss_controller_info ci;
    zp::ciss_volume_info vi;
    uint8_t status;
    (void)zp::read_identify_controller(reply, ci);
    (void)zp::read_identify_logical_drive(reply, vi);
    if (zp::read_logical_drive_status(reply, status).ok()) (void)zp::logical_drive_status_text(status);
    got = std::min(n, data.size());
    if (got) std::memcpy(data.data(), reply.data(), got);
    return {};
}

void fake_close(intptr_t) {}

constexpr zp::ciss_transport fake = {fake_open, fake_bmic, fake_close};

void check_all(zp::devtree& g) {
    for (auto& n : g.checks) {
        auto r = zp::alloc_resnode();
        (void)zp::check_raid(*n, r.get());
    }
    for (auto& c : g.children) check_all(*c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    input = data;
    input_size = size;
    pos = 0;
    zp::set_ciss_transport(&fake);
    zp::devtree root;
    (void)zp::scan_raid(root);
    check_all(root);
    zp::clear_raid_controllers();
    zp::set_ciss_transport(nullptr);
    return 0;
}
