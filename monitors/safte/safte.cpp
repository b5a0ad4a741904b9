// safte.cpp - SAF-TE enclosures: the scan, the check, and the readers of the
// INQUIRY reply, the configuration, enclosure status and slot status pages.
#include "monitors/safte/safte.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <vector>

#include "core/config.h"
#include "core/log.h"
#include "devtree/scan.h"
#include "monitors/safte/scsi.h"

namespace zp {

namespace {

constexpr size_t inquiry_length = 96;
constexpr size_t config_length = 64;

// Enclosures in which a slot has shown its activated bit; kept for the life
// of the process, by canonical device name.
std::vector<std::string>& activation_list() {
    static std::vector<std::string> list;
    return list;
}

struct kind_info {
    const char* id;
    const char* group_name;
    const char* node_name;
    uint32_t type;
    const char* unit;
    uint32_t description;
};

constexpr kind_info kinds[] = {
    {"slot", "Disk slots", "Disk slot %d", 10, "", 24},
    {"fan", "Fans", "Fan %d", 11, "", 25},
    {"psu", "Power supplies", "Power supply %d", 12, "", 26},
    {"temp", "Temperature", "Temperature sensor %d", 7, "C", 11},
};

char printable(uint8_t c) { return c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.'; }

err inquiry(scsi_dev& d, std::array<uint8_t, inquiry_length>& reply, size_t& got) {
    const uint8_t cdb[] = {0x12, 0, 0, 0, static_cast<uint8_t>(inquiry_length), 0};
    reply.fill(0);
    return d.gen_scsi_cmd(cdb, reply, got);
}

void log_inquiry(const std::array<uint8_t, inquiry_length>& b) {
    log(-1, "SCSI inquiry returned:");
    for (size_t at = 0; at < b.size(); at += 8) {
        std::string chars;
        for (size_t i = 0; i < 8; ++i) chars += printable(b[at + i]);
        log(-1, "%02X %02X %02X %02X %02X %02X %02X %02X %s", b[at], b[at + 1], b[at + 2], b[at + 3], b[at + 4],
            b[at + 5], b[at + 6], b[at + 7], chars.c_str());
    }
}

// READ BUFFER of one of the enclosure's buffers into `out`.
err read_buffer(scsi_dev& d, uint8_t buffer_id, std::span<uint8_t> out, size_t& got) {
    size_t n = out.size();
    const uint8_t cdb[] = {0x3C, 0x01, buffer_id, 0, 0, 0, 0, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n), 0};
    std::fill(out.begin(), out.end(), 0);
    return d.gen_scsi_cmd(cdb, out, got);
}

err read_config(scsi_dev& d, safte_config& c) {
    std::array<uint8_t, config_length> page;
    size_t got = 0;
    if (auto e = read_buffer(d, 0x00, page, got)) return e;
    return read_safte_config(std::span<const uint8_t>(page.data(), got), c);
}

void add_kind(devtree& enclosure, const kind_info& k, unsigned count) {
    if (count == 0) return;
    devtree* g = devtree_child(enclosure, k.id, k.group_name);
    if (!g) return;
    g->name_template = "SAFTE %1l - %0r";
    g->flags |= 1;
    devnode_list nodes;
    for (unsigned i = 0; i < count; ++i) {
        auto n = alloc_devnode();
        n->id = strprintf("%u", i);
        n->name = strprintf(k.node_name, static_cast<int>(i));
        n->type = k.type;
        n->unit = k.unit;
        n->description = k.description;
        nodes.push_back(std::move(n));
    }
    add_devnodes(*g, std::move(nodes));
}

void probe(devtree& root, const std::string& name) {
    log(0, "Probing SCSI device %s for SAFTE capability", name.c_str());
    scsi_dev d;
    if (auto e = d.open(name)) {
        log(0, "Error probing %s for SAFTE: %s", name.c_str(), e.c_str());
        return;
    }
    std::array<uint8_t, inquiry_length> reply;
    size_t got = 0;
    if (auto e = inquiry(d, reply, got)) {
        log(2, "Error probing %s for SAFTE: %s", name.c_str(), e.c_str());
        return;
    }
    log_inquiry(reply);
    if (!is_safte_inquiry(std::span<const uint8_t>(reply.data(), got))) return;
    safte_config c;
    if (auto e = read_config(d, c)) {
        log(2, "Error probing %s for SAFTE: %s", name.c_str(), e.c_str());
        return;
    }
    log(0, "SAFTE device %s: %d slots, %d fans, %d PSUs, %d temp sensors", name.c_str(), c.slots, c.fans, c.psus,
        c.temps);
    devtree* top = devtree_child(root, "safte", "SCSI enclosures");
    if (!top) return;
    top->flags |= 1;
    devtree* enclosure = devtree_child(*top, name, name);
    if (!enclosure) return;
    const unsigned counts[] = {c.slots, c.fans, c.psus, c.temps};
    for (size_t i = 0; i < std::size(kinds); ++i) add_kind(*enclosure, kinds[i], counts[i]);
}

void apply(resnode& result, const safte_reading& r) {
    result.ivalue = r.ivalue;
    result.dvalue = r.dvalue;
    if (r.has_text) set_result_text(result, r.text);
}

safte_reading reading(int32_t value, const char* text) { return {value, 0, true, text}; }

// Whether slots without their activated bit count as active, from the
// configuration, else from what this enclosure has shown so far.
bool assume_active(const std::string& enclosure, bool reports_activation) {
    const config& cfg = the_config();
    if (cfg.safte_assume_active) return true;
    if (cfg.safte_assume_inactive) return false;
    auto& list = activation_list();
    bool listed = std::find(list.begin(), list.end(), enclosure) != list.end();
    if (reports_activation && !listed) list.push_back(enclosure);
    return !(reports_activation || listed);
}

err check_slot(scsi_dev& d, const safte_config& c, unsigned index, resnode& result) {
    std::array<uint8_t, 4 * 255> page;
    std::span<uint8_t> want(page.data(), 4 * static_cast<size_t>(c.slots));
    size_t got = 0;
    if (auto e = read_buffer(d, 0x04, want, got)) return e;
    std::span<const uint8_t> slots(page.data(), got);
    log(-1, "SCSI slot scan returned:");
    for (size_t i = 0; i < c.slots && 4 * i + 4 <= got; ++i) {
        const uint8_t* s = &page[4 * i];
        std::string chars = {printable(s[0]), printable(s[1]), printable(s[2]), printable(s[3])};
        log(-1, "%u: %02X %02X %02X %02X %s", static_cast<unsigned>(i), s[0], s[1], s[2], s[3], chars.c_str());
    }
    if (index >= c.slots) return err::text("Slot number out of range");
    bool active = assume_active(scsi_name(d.addr()), safte_slots_report_activation(c, slots));
    safte_reading r;
    if (auto e = read_safte_slot(c, index, slots, active, r)) return e;
    apply(result, r);
    return {};
}

}  // namespace

void register_safte_scanners() { register_scanner("safte", scan_safte, check_safte); }

void reset_safte_activation_list() { activation_list().clear(); }

err scan_safte(devtree& root) {
    scsi_walk walk;
    for (auto name = walk.start(); name; name = walk.next()) probe(root, *name);
    return {};
}

err check_safte(devnode& node, resnode* result) {
    devtree* kind = node.parent;
    devtree* enclosure = kind ? kind->parent : nullptr;
    devtree* top = enclosure ? enclosure->parent : nullptr;
    if (!result || !top || top->parent) return err::text("Unimplemented");
    unsigned index = 0;
    const char* first = node.id.data();
    auto [end, ec] = std::from_chars(first, first + node.id.size(), index);
    if (ec != std::errc() || end == first) return format_error("sscanf failed for string \"%s\"", node.id.c_str());

    scsi_dev d;
    if (auto e = d.open(enclosure->id)) return e;
    std::array<uint8_t, inquiry_length> reply;
    size_t got = 0;
    if (auto e = inquiry(d, reply, got)) return format_error("Device %s SCSI error: %s", enclosure->id.c_str(), e.c_str());
    if (!is_safte_inquiry(std::span<const uint8_t>(reply.data(), got)))
        return format_error("Device %s no longer supports SAFTE", enclosure->id.c_str());
    safte_config c;
    if (auto e = read_config(d, c)) return e;

    if (kind->id == "slot") return check_slot(d, c, index, *result);
    if (kind->id != "fan" && kind->id != "psu" && kind->id != "temp")
        return format_error("Unknown SAFTE type: \"%s\"", kind->id.c_str());
    std::array<uint8_t, 4 * 255 + 4> page;
    std::span<uint8_t> want(page.data(), safte_status_length(c));
    if (auto e = read_buffer(d, 0x01, want, got)) return e;
    safte_reading r;
    if (auto e = read_safte_element(c, kind->id, index, std::span<const uint8_t>(page.data(), got), r)) return e;
    apply(*result, r);
    return {};
}

// ---------------------------------------------------------------------------
// Page readers.

bool is_safte_inquiry(std::span<const uint8_t> reply) {
    static constexpr char tag[] = "SAF-TE";
    if (reply.size() < 50 || reply[0] != 3) return false;
    return std::equal(tag, tag + 6, reply.begin() + 44);
}

err read_safte_config(std::span<const uint8_t> page, safte_config& out) {
    if (page.size() < 7) return format_error("Enclosure configuration too short (%zu bytes)", page.size());
    out.fans = page[0];
    out.psus = page[1];
    out.slots = page[2];
    out.temps = page[4];
    out.celsius = page[6] & 0x80;
    return {};
}

size_t safte_status_length(const safte_config& c) {
    return static_cast<size_t>(c.fans) + c.psus + c.slots + c.temps + 4;
}

err read_safte_element(const safte_config& c, std::string_view kind, unsigned index,
                       std::span<const uint8_t> status, safte_reading& out) {
    size_t at;
    if (kind == "fan") {
        if (index >= c.fans) return err::text("Fan number out of range");
        at = index;
    } else if (kind == "psu") {
        if (index >= c.psus) return err::text("Power supply number out of range");
        at = static_cast<size_t>(c.fans) + index;
    } else if (kind == "temp") {
        if (index >= c.temps) return err::text("Temperature sensor number out of range");
        at = static_cast<size_t>(c.fans) + c.psus + c.slots + 2 + index;
    } else {
        return format_error("Unknown SAFTE type: \"%.*s\"", static_cast<int>(kind.size()), kind.data());
    }
    if (at >= status.size()) return format_error("Enclosure status too short (%zu bytes)", status.size());
    uint8_t b = status[at];
    if (kind == "fan") {
        switch (b) {
        case 0x00: out = reading(0, "Fan operational"); return {};
        case 0x01: out = reading(1, "Fan malfunctioning"); return {};
        case 0x02: out = reading(2, "Fan not present"); return {};
        }
        return format_error("Unknown safte fan status: %d", b);
    }
    if (kind == "psu") {
        switch (b) {
        case 0x00: out = reading(0, "Operational and on"); return {};
        case 0x01: out = reading(1, "Operational, but off"); return {};
        case 0x10: out = reading(2, "Malfunctioning, but should be on"); return {};
        case 0x11: out = reading(3, "Malfunctioning, should be off"); return {};
        case 0x20: out = reading(4, "Not present"); return {};
        case 0x21: out = reading(5, "Present"); return {};
        }
        return format_error("Unknown safte PSU status: %d", b);
    }
    out = {};
    // The enclosure reports degrees offset by 10, Fahrenheit unless told.
    out.dvalue = c.celsius ? b - 10.0 : (b - 10.0 - 32.0) / 1.8;
    return {};
}

bool safte_slots_report_activation(const safte_config& c, std::span<const uint8_t> slots) {
    for (size_t i = 0; i < c.slots && 4 * i + 4 <= slots.size(); ++i)
        if (slots[4 * i + 3] & 0x04) return true;
    return false;
}

err read_safte_slot(const safte_config& c, unsigned index, std::span<const uint8_t> slots, bool assume_active,
                    safte_reading& out) {
    if (index >= c.slots) return err::text("Slot number out of range");
    size_t at = 4 * static_cast<size_t>(index);
    if (at + 4 > slots.size()) return format_error("Slot status too short (%zu bytes)", slots.size());
    uint8_t b0 = slots[at], b1 = slots[at + 1], b3 = slots[at + 3];
    if (!(b3 & 0x01)) out = reading(5, "No disk in slot");
    else if (!assume_active && !(b3 & 0x04)) out = reading(4, "Disk not activated");
    else if (b0 & 0x02) out = reading(3, "Disk faulty");
    else if (b0 & 0x40) out = reading(2, "Predicted disk fault");
    else if (b0 & 0x04) out = reading(1, "Rebuilding");
    else if (b1 & 0x02) out = reading(3, "Rebuild stopped");
    else if (b0 & 0x80) out = reading(6, "Not configured in any RAID");
    else if ((b0 & 0x01) && (b1 & 0x01)) out = reading(0, "Disk OK, hot spare");
    else if (b0 & 0x01) out = reading(0, "Disk OK");
    else out = reading(7, "Unknown safte status");
    return {};
}

}  // namespace zp
