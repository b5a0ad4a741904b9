// raid.cpp - RAID volumes behind legacy CISS controllers: the controller
// table, the BMIC requests, the scan and the volume status check.
#include "monitors/raid/raid.h"

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "core/fatal.h"
#include "core/log.h"
#include "devtree/scan.h"

namespace zp {

namespace {

const ciss_transport* replaced = nullptr;
const ciss_transport& transport() { return replaced ? *replaced : ciss_os_transport(); }

constexpr unsigned max_port = 254;
constexpr unsigned max_logical_drive = 31;
constexpr const char* csmi_state = "disabled";

constexpr uint32_t type_legacy_ciss = 1;
constexpr uint32_t type_csmi = 2;

// The BMIC commands: command, driver time-out, and the data they return
// (payload length less the 120 bytes before the data).
struct bmic_request {
    uint8_t command;
    uint32_t timeout;
    size_t data_length;
};
constexpr bmic_request identify_controller = {0x11, 0, 648 - 120};
constexpr bmic_request identify_logical_drive = {0x10, 0xFFFFFFFF, 646 - 120};
constexpr bmic_request sense_logical_drive_status = {0x12, 0xFFFFFFFF, 646 - 120};

using reply_buffer = std::array<uint8_t, 648 - 120>;

struct controller {
    const ciss_transport* t = nullptr;
    intptr_t handle = -1;
    std::string name;
    uint32_t type = 0;

    controller() = default;
    ~controller() {
        if (handle >= 0) t->close(handle);
    }
    controller(const controller&) = delete;
    controller& operator=(const controller&) = delete;
};

// Rebuilt at every scan; the index is the controller number.
std::vector<std::unique_ptr<controller>>& controllers() {
    static std::vector<std::unique_ptr<controller>> table;
    return table;
}

// Sends one BMIC request for logical drive `drive`.
err send_bmic(const ciss_transport& t, intptr_t h, const bmic_request& r, uint8_t drive, reply_buffer& reply,
              size_t& got, uint32_t& rc) {
    const uint8_t cdb[10] = {0x26, drive, 0, 0, 0, 0, r.command, 0, 0, 0};
    reply.fill(0);
    got = 0;
    rc = 0;
    return t.bmic(h, std::span<const uint8_t>(cdb), r.timeout, std::span<uint8_t>(reply.data(), r.data_length), got, rc);
}

char printable(char c) { return c >= 0x20 && c < 0x7F ? c : '.'; }

// The number after `prefix` in `text`, as "prefix%u" reads it.
bool parse_prefixed(const std::string& text, const char* prefix, unsigned& out) {
    std::string p = prefix;
    if (text.compare(0, p.size(), p) != 0) return false;
    size_t i = p.size();
    uint64_t v = 0;
    size_t start = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        v = v * 10 + static_cast<uint64_t>(text[i++] - '0');
        if (v > UINT32_MAX) return false;
    }
    if (i == start) return false;
    out = static_cast<unsigned>(v);
    return true;
}

void add_volume(devtree& root, unsigned ctl, unsigned lv) {
    devtree* top = devtree_child(root, "csmiplus", "Array controllers");
    if (!top) return;
    top->name_template = "%1r %0r on %3r";
    top->flags |= 1;
    devtree* c = devtree_child(*top, strprintf("cntrl:%u", ctl), strprintf("Controller %u", ctl));
    devtree* logical = c ? devtree_child(*c, "logical", "Volumes") : nullptr;
    if (!logical) return;
    logical->flags |= 1;
    devtree* vol = devtree_child(*logical, strprintf("lv:%u", lv), strprintf("Volume %u", lv));
    if (!vol) return;
    auto n = alloc_devnode();
    switch (controllers()[ctl]->type) {
    case type_legacy_ciss:
        n->id = "cciss:status";
        n->name = "Status";
        n->type = 13;
        n->description = 27;
        break;
    case type_csmi:
        n->id = "csmi:status";
        n->name = "Status (CSMI)";
        n->type = 14;
        n->description = 28;
        break;
    default:
        fatal("Controller type changed behind us");
    }
    add_devnodes(*vol, std::move(n));
}

void probe_port(unsigned port) {
    std::string name = strprintf("\\\\.\\scsi%u:", port);
    const ciss_transport& t = transport();
    err e;
    intptr_t h = t.open(port, e);
    if (h < 0) return;
    auto c = std::make_unique<controller>();
    c->t = &t;
    c->handle = h;
    c->name = name;
    log(-1, "Probing for CSMI support on %s", name.c_str());
    log(-1, " %s does not support CSMI (%s) - probing legacy CCISS", name.c_str(), csmi_state);
    reply_buffer reply;
    size_t got = 0;
    uint32_t rc = 0;
    ciss_controller_info info;
    if (send_bmic(t, h, identify_controller, 0, reply, got, rc) || rc != 0 ||
        read_identify_controller(std::span<const uint8_t>(reply.data(), got), info)) {
        log(-1, " %s does not support legacy Compaq CISS", name.c_str());
        return;  // closes the port
    }
    log(-1, " %s is Legacy Compaq: %u LVs, firmware: %c%c%c%c", name.c_str(), info.logical_drives,
        printable(info.firmware[0]), printable(info.firmware[1]), printable(info.firmware[2]),
        printable(info.firmware[3]));
    c->type = type_legacy_ciss;
    controllers().push_back(std::move(c));
    log(1, "Driver on %s is %s capable", name.c_str(), "Compaq legacy CISS");
}

err probe_volumes(devtree& root, unsigned ctl) {
    controller& c = *controllers()[ctl];
    log(-1, "Will probe for volumes on %s", c.name.c_str());
    if (c.type == type_csmi) {
        log(1, "Unable to query RAID info on %s: %s", c.name.c_str(), csmi_state);
        return {};
    }
    if (c.type != type_legacy_ciss) {
        log(3, "Unset controller type: %u", c.type);
        return {};
    }
    for (unsigned lv = 0; lv <= max_logical_drive; ++lv) {
        reply_buffer reply;
        size_t got = 0;
        uint32_t rc = 0;
        ciss_volume_info info;
        if (send_bmic(*c.t, c.handle, identify_logical_drive, static_cast<uint8_t>(lv), reply, got, rc) || rc != 0 ||
            read_identify_logical_drive(std::span<const uint8_t>(reply.data(), got), info))
            return format_error("Failed legacy volume inquiry, %s lv%u", c.name.c_str(), lv);
        if (info.block_size == 0 && info.blocks == 0) continue;
        log(-1, " Located volume %u (%u blocks of %u bytes)", lv, info.blocks, info.block_size);
        add_volume(root, ctl, lv);
    }
    return {};
}

}  // namespace

void set_ciss_transport(const ciss_transport* t) { replaced = t; }

void register_raid_scanners() { register_scanner("csmiplus", scan_raid, check_raid); }

void clear_raid_controllers() { controllers().clear(); }

err scan_raid(devtree& root) {
    clear_raid_controllers();
    for (unsigned port = 0; port <= max_port; ++port) probe_port(port);
    for (unsigned ctl = 0; ctl < controllers().size(); ++ctl)
        if (auto e = probe_volumes(root, ctl)) return e;
    return {};
}

err check_raid(devnode& node, resnode* result) {
    if (!result) return err::text("Unimplemented");
    devtree* vol = node.parent;
    devtree* ctl_group = vol && vol->parent ? vol->parent->parent : nullptr;
    unsigned lv = 0, ctl = 0;
    if (!vol || !parse_prefixed(vol->id, "lv:", lv))
        return format_error("Cannot scan volume id \"%s\"", vol ? vol->id.c_str() : "");
    if (!ctl_group || !parse_prefixed(ctl_group->id, "cntrl:", ctl))
        return format_error("Cannot scan controller id \"%s\"", ctl_group ? ctl_group->id.c_str() : "");
    auto& table = controllers();
    if (ctl >= table.size())
        return format_error("Controller id %u out of range (ceiling:%u)", ctl, static_cast<unsigned>(table.size()));
    controller& c = *table[ctl];
    log(-1, "About to check %s on volume %u controller %u (%s)", node.id.c_str(), lv, ctl, c.name.c_str());
    if (node.id == "cciss:status") {
        reply_buffer reply;
        size_t got = 0;
        uint32_t rc = 0;
        if (lv > 0xFF || send_bmic(*c.t, c.handle, sense_logical_drive_status, static_cast<uint8_t>(lv), reply, got, rc))
            return err::text("Cannot send CISS BMIC");
        if (rc != 0) return format_error("Legacy Compaq CISS driver returned status %u", rc);
        uint8_t status = 0;
        if (auto e = read_logical_drive_status(std::span<const uint8_t>(reply.data(), got), status)) return e;
        result->ivalue = status;
        set_result_text(*result, logical_drive_status_text(status));
        return {};
    }
    if (node.id == "csmi:status") return format_error("No CSMI volume status on %s: %s", c.name.c_str(), csmi_state);
    return format_error("Unable to check \"%s\"", node.id.c_str());
}

// ---------------------------------------------------------------------------
// BMIC reply readers.

err read_identify_controller(std::span<const uint8_t> reply, ciss_controller_info& out) {
    if (reply.size() < 9) return format_error("BMIC reply too short (%zu bytes)", reply.size());
    out.logical_drives = reply[0];
    for (int i = 0; i < 4; ++i) out.firmware[i] = static_cast<char>(reply[5 + i]);
    return {};
}

err read_identify_logical_drive(std::span<const uint8_t> reply, ciss_volume_info& out) {
    if (reply.size() < 6) return format_error("BMIC reply too short (%zu bytes)", reply.size());
    out.block_size = static_cast<unsigned>(reply[0] | reply[1] << 8);
    out.blocks = static_cast<uint32_t>(reply[2]) | static_cast<uint32_t>(reply[3]) << 8 |
                 static_cast<uint32_t>(reply[4]) << 16 | static_cast<uint32_t>(reply[5]) << 24;
    return {};
}

err read_logical_drive_status(std::span<const uint8_t> reply, uint8_t& out) {
    if (reply.empty()) return err::text("BMIC reply too short (0 bytes)");
    out = reply[0];
    return {};
}

const char* logical_drive_status_text(uint8_t status) {
    static constexpr const char* texts[] = {
        "Logical device OK",
        "Logical device failing",
        "Logical device not configured",
        "Logical device in interim recovery",
        "Logical device ready for recovery",
        "Logical device recovering",
        "Wrong physical device replaced",
        "Improperly connected physical device",
        "Hardware is overheating",
        "Hardware has overheated",
        "Logical device is expanding",
        "Logical device not available",
        "Logical device queued for expansion",
    };
    return status < std::size(texts) ? texts[status] : "Unknown state";
}

}  // namespace zp
