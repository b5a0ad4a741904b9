// smart.cpp - SMART disk health: the drive scan, the check, and the verdict
// from the attribute and threshold pages or the status command.
#include "monitors/smart/smart.h"

#include <array>
#include <string>
#include <utility>

#include "core/config.h"
#include "core/log.h"
#include "devtree/scan.h"

namespace zp {

namespace {

const smart_transport* replaced = nullptr;

const smart_transport& transport() { return replaced ? *replaced : smart_os_transport(); }

// Drives beyond this number are not looked at, whatever the transport says.
constexpr int max_drives = 4096;

// SMART sub-commands (the ATA features register).
constexpr uint8_t smart_read_data = 0xD0;
constexpr uint8_t smart_read_thresh = 0xD1;
constexpr uint8_t smart_enable = 0xD8;
constexpr uint8_t smart_return_status = 0xDA;

constexpr uint8_t ata_status_err = 0x01;

constexpr int attribute_entries = 30;
constexpr size_t attribute_entry_size = 12;

using page = std::array<uint8_t, smart_page_size>;

// An open drive, closed through its transport when destroyed.
class drive {
public:
    drive() = default;
    ~drive() { close(); }
    drive(const drive&) = delete;
    drive& operator=(const drive&) = delete;

    err open(const std::string& path) {
        close();
        err e;
        t_ = &transport();
        h_ = t_->open(path, bus_, e);
        if (h_ < 0) return e ? std::move(e) : err::text("cannot open");
        return {};
    }
    void close() {
        if (h_ >= 0) t_->close(h_);
        h_ = -1;
    }
    drive_bus bus() const { return bus_; }

    // One SMART command; fails when the transport fails, when the drive
    // reports an error in its status register or fills less than `data`.
    err smart(uint8_t feature, ata_regs& regs, std::span<uint8_t> data) {
        regs = {};
        regs.features = feature;
        regs.count = 1;
        regs.lba_low = 1;
        regs.lba_mid = 0x4F;
        regs.lba_high = 0xC2;
        regs.command = 0xB0;
        size_t got = 0;
        if (auto e = t_->ata(h_, regs, data, got)) return e;
        if (regs.status & ata_status_err) return format_error("ATA error 0x%02X", regs.error);
        if (got < data.size()) return format_error("short transfer (%zu bytes)", got);
        return {};
    }

    err health_log(page& p) {
        size_t got = 0;
        p.fill(0);
        if (auto e = t_->nvme_health(h_, p, got)) return e;
        if (evaluate_nvme_health(std::span<const uint8_t>(p.data(), got < p.size() ? got : p.size())) < 0)
            return format_error("short health log (%zu bytes)", got);
        return {};
    }

private:
    const smart_transport* t_ = nullptr;
    intptr_t h_ = -1;
    drive_bus bus_ = drive_bus::ata;
};

err enable_smart(drive& d) {
    if (d.bus() == drive_bus::nvme) {
        page p;
        return d.health_log(p);
    }
    ata_regs regs;
    return d.smart(smart_enable, regs, {});
}

// 0 when the status command succeeds with healthy registers, 2 otherwise.
int smart_status(drive& d) {
    ata_regs regs;
    if (d.smart(smart_return_status, regs, {})) return 2;
    return smart_status_from_registers(regs);
}

err smart_read_values(drive& d, page& p) {
    ata_regs regs;
    if (d.smart(smart_read_data, regs, p)) return err::text("SMART_READ_ATTRIBUTE_VALUES call failed");
    return {};
}

err smart_read_thresholds(drive& d, page& p) {
    ata_regs regs;
    if (d.smart(smart_read_thresh, regs, p)) return err::text("SMART_READ_THRESHOLDS call failed");
    return {};
}

const char* verdict_text(int verdict) {
    switch (verdict) {
    case 0: return "Drive is OK";
    case 1: return "Drive has exceeded lifetime";
    default: return "Drive is about to fail";
    }
}

void set_verdict(resnode& result, int verdict, const char* text) {
    result.ivalue = verdict;
    set_result_text(result, text);
}

// NVMe drives answer with their health log: it is both the attribute pages
// and the status command of an ATA drive, so a log that cannot be read counts
// like a failing status command.
void check_nvme(drive& d, resnode& result) {
    page p;
    if (d.health_log(p)) {
        log(0, "Couldn't read health log");
        d.close();
        set_verdict(result, 2, verdict_text(2));
        return;
    }
    d.close();
    int verdict = evaluate_nvme_health(p);
    set_verdict(result, verdict, verdict_text(verdict));
}

uint16_t le16(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

}  // namespace

void set_smart_transport(const smart_transport* t) { replaced = t; }

void register_smart_scanners() { register_scanner("smart", scan_smart_ide, check_smart); }

err scan_smart_ide(devtree& root) {
    log(-1, "In scan_smart_ide");
    if (the_config().disable_smart) {
        log(0, "SMART disabled - will not scan");
        return {};
    }
    devnode_list found;
    for (int n = 0; n < max_drives; ++n) {
        std::string path = strprintf("\\\\.\\PhysicalDrive%i", n);
        drive d;
        if (d.open(path)) break;
        log(0, "Will look at device \"%s\"", path.c_str());
        err e = enable_smart(d);
        d.close();
        if (e) continue;
        log(0, "%s is smart-capable", path.c_str());
        auto node = alloc_devnode();
        node->id = strprintf("PhysicalDrive%i", n);
        node->name = node->id;
        node->comment = "IDE S.M.A.R.T.";
        node->type = 5;
        node->description = 10;
        found.push_back(std::move(node));
    }
    if (found.empty()) return {};
    devtree* group = devtree_child(root, "smart", "SMART status");
    if (!group) return err::text("Couldn't allocate devtree_child smart");
    group->flags |= 1;
    add_devnodes(*group, std::move(found));
    return {};
}

err check_smart(devnode& node, resnode* result) {
    if (!result) return err::text("Unimplemented");
    if (the_config().disable_smart) {
        log(0, "SMART disabled - will not check \"%s\"", node.id.c_str());
        set_verdict(*result, 0, "SMART disabled on agent");
        return {};
    }
    std::string path = "\\\\.\\" + node.id;
    drive d;
    if (auto e = d.open(path)) return format_error("Cannot open device %s: %s", path.c_str(), e.c_str());
    if (d.bus() == drive_bus::nvme) {
        check_nvme(d, *result);
        return {};
    }
    page values, thresholds;
    if (smart_read_values(d, values)) {
        log(0, "Couldn't read attribute values");
        int status = smart_status(d);
        d.close();
        set_verdict(*result, status, status ? "Drive is about to fail" : "Drive is OK");
        return {};
    }
    if (smart_read_thresholds(d, thresholds)) {
        log(0, "Couldn't read attribute thresholds");
        int status = smart_status(d);
        d.close();
        set_verdict(*result, status, status ? "Drive is about to failK" : "Drive is OK");
        return {};
    }
    d.close();
    int verdict = evaluate_smart_pages(values, thresholds);
    set_verdict(*result, verdict, verdict_text(verdict));
    return {};
}

int evaluate_smart_pages(std::span<const uint8_t> values, std::span<const uint8_t> thresholds) {
    if (values.size() >= 2) log(0, "Smart attributes revision: %i", le16(values, 0));
    if (thresholds.size() >= 2) log(0, "Smart thresholds revision: %i", le16(thresholds, 0));
    int verdict = 0;
    for (int i = 0; i < attribute_entries; ++i) {
        size_t at = 2 + i * attribute_entry_size;
        if (at + attribute_entry_size > values.size() || at + attribute_entry_size > thresholds.size()) break;
        uint8_t id = values[at];
        bool prefailure = values[at + 1] & 1;
        uint8_t value = values[at + 3];
        uint8_t threshold_id = thresholds[at];
        uint8_t threshold = thresholds[at + 1];
        log(0, "Checking value %i: id: %i, value: %i, id: %i, threshold: %i", i, id, value, threshold_id,
            threshold);
        if (id != 0 && threshold != 0 && value <= threshold) {
            log(0, "Something is wrong");
            int v = prefailure ? 2 : 1;
            if (v > verdict) verdict = v;
        }
    }
    return verdict;
}

int smart_status_from_registers(const ata_regs& regs) {
    // The drive answers in LBA mid/high: 0x4F/0xC2 healthy, 0xF4/0x2C threshold
    // exceeded. Anything else is no answer and keeps the call's success.
    if (regs.lba_mid == 0xF4 && regs.lba_high == 0x2C) {
        log(0, "SMART status: threshold exceeded");
        return 2;
    }
    return 0;
}

int evaluate_nvme_health(std::span<const uint8_t> log_page) {
    if (log_page.size() < 6) return -1;
    uint8_t critical = log_page[0];
    uint8_t used = log_page[5];
    log(0, "NVMe critical warning: 0x%02X, percentage used: %u", critical, used);
    if (critical != 0) return 2;
    if (used >= 100) return 1;
    return 0;
}

}  // namespace zp
