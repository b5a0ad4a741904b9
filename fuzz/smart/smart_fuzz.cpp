// smart_fuzz.cpp - fuzz target of the SMART verdict. The input is cut in two at
// the position its first two bytes give: the attribute values page and the
// thresholds page. Both go to the page evaluation and, through a transport
// that replays them, to the check of an ATA drive (the first page also as the
// NVMe health log of a second drive and as the returned status registers);
// the second page is also read as pass-through sense data.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

#include "core/log.h"
#include "monitors/smart/smart.h"

namespace {

bool quiet = [] {
    zp::set_log_level(4);
    return true;
}();

std::span<const uint8_t> values, thresholds;

intptr_t fake_open(const std::string& path, zp::drive_bus& bus, zp::err&) {
    bool nvme = path.back() == '1';
    bus = nvme ? zp::drive_bus::nvme : zp::drive_bus::ata;
    return nvme ? 1 : 0;
}

zp::err give(std::span<const uint8_t> page, std::span<uint8_t> data, size_t& got) {
    got = std::min(page.size(), data.size());
    if (got) std::memcpy(data.data(), page.data(), got);
    return {};
}

zp::err fake_ata(intptr_t, zp::ata_regs& regs, std::span<uint8_t> data, size_t& got) {
    switch (regs.features) {
    case 0xD0: return give(values, data, got);
    case 0xD1: return give(thresholds, data, got);
    }
    if (values.size() >= 4) {
        regs.lba_mid = values[0];
        regs.lba_high = values[1];
        regs.status = values[2];
        regs.error = values[3];
    }
    return {};
}

zp::err fake_health(intptr_t, std::span<uint8_t> page, size_t& got) { return give(values, page, got); }
void fake_close(intptr_t) {}

constexpr zp::smart_transport fake = {fake_open, fake_ata, fake_health, fake_close};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    size_t cut = std::min<size_t>(size - 2, static_cast<size_t>(data[0] << 8 | data[1]));
    values = std::span<const uint8_t>(data + 2, cut);
    thresholds = std::span<const uint8_t>(data + 2 + cut, size - 2 - cut);
    (void)zp::evaluate_smart_pages(values, thresholds);
    (void)zp::evaluate_nvme_health(values);
    zp::ata_regs regs;
    (void)zp::read_sat_sense(thresholds, regs);

    zp::set_smart_transport(&fake);
    for (const char* id : {"PhysicalDrive0", "PhysicalDrive1"}) {
        zp::devnode node;
        node.id = id;
        auto r = zp::alloc_resnode();
        (void)zp::check_smart(node, r.get());
    }
    zp::set_smart_transport(nullptr);
    return 0;
}
