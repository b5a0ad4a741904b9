// safte_fuzz.cpp - fuzz target of the SAF-TE page readers. Byte 0 picks the
// element kind, byte 1 its number, byte 2 the activation setting; then come
// the configuration, enclosure status and slot status pages, each after a
// length byte. A transport replays them (after a valid INQUIRY reply) to the
// check, and the readers get them directly.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "core/config.h"
#include "core/log.h"
#include "monitors/safte/safte.h"
#include "monitors/safte/scsi.h"

namespace {

bool quiet = [] {
    zp::set_log_level(4);
    return true;
}();

std::span<const uint8_t> pages[3];
uint8_t inquiry[96];

intptr_t no_port(int, bool& missing, zp::err&) {
    missing = true;
    return -1;
}
zp::err no_devices(intptr_t, std::vector<zp::scsi_bus>&) { return {}; }
void no_close(intptr_t) {}
intptr_t fake_open(const zp::scsi_addr&, zp::err&) { return 0; }

zp::err fake_command(intptr_t, std::span<const uint8_t> cdb, std::span<uint8_t> data, size_t& got, uint8_t& status) {
    status = 0;
    std::span<const uint8_t> page;
    if (cdb[0] == 0x12) page = inquiry;
    else if (cdb[2] == 0x00) page = pages[0];
    else if (cdb[2] == 0x01) page = pages[1];
    else page = pages[2];
    got = std::min(page.size(), data.size());
    if (got) std::memcpy(data.data(), page.data(), got);
    return {};
}

constexpr zp::scsi_transport fake = {no_port, no_devices, no_close, fake_open, fake_command, no_close};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    static const char* const kinds[] = {"slot", "fan", "psu", "temp", "door"};
    std::string kind = kinds[data[0] % 5];
    unsigned index = data[1];
    size_t at = 3;
    for (auto& p : pages) {
        size_t n = at < size ? std::min<size_t>(data[at], size - at - 1) : 0;
        p = at < size ? std::span<const uint8_t>(data + at + 1, n) : std::span<const uint8_t>();
        at += n + 1;
    }
    inquiry[0] = 3;
    std::memcpy(inquiry + 44, "SAF-TE", 6);

    zp::safte_config c;
    if (zp::read_safte_config(pages[0], c).ok()) {
        zp::safte_reading r;
        if (kind == "slot") (void)zp::read_safte_slot(c, index, pages[2], data[2] & 1, r);
        else (void)zp::read_safte_element(c, kind, index, pages[1], r);
        (void)zp::safte_slots_report_activation(c, pages[2]);
    }

    zp::config& cfg = zp::the_config();
    cfg.safte_assume_active = data[2] & 2;
    cfg.safte_assume_inactive = data[2] & 4;
    zp::set_scsi_transport(&fake);
    zp::devtree_list tree;
    zp::devtree* top = zp::devtree_child(tree, "safte", std::nullopt);
    zp::devtree* g = zp::devtree_child(*zp::devtree_child(*top, "scsi0:00:00:00", std::nullopt), kind, std::nullopt);
    auto node = zp::alloc_devnode();
    node->id = std::to_string(index);
    node->parent = g;
    auto r = zp::alloc_resnode();
    (void)zp::check_safte(*node, r.get());
    zp::set_scsi_transport(nullptr);
    zp::reset_safte_activation_list();
    return 0;
}
