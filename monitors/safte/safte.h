// safte.h - the "safte" scanner: SCSI enclosure processors that speak SAF-TE,
// with one check per disk slot, fan, power supply and temperature sensor;
// and the readers of the enclosure's pages, which take the bytes a device
// returned and never read past them. Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/err.h"
#include "devtree/devtree.h"

namespace zp {

// Fills the scanner table's "safte" entry.
void register_safte_scanners();

// Scan: every unclaimed SCSI device that identifies as a SAF-TE processor
// gets its groups and checks below "safte". Failures are logged; never fails.
err scan_safte(devtree& root);

// Check: re-identifies the enclosure and reads the element's state into the
// result (integer value and text, or the double value of a temperature).
err check_safte(devnode& node, resnode* result);

// The enclosure configuration page.
struct safte_config {
    unsigned fans = 0, psus = 0, slots = 0, temps = 0;
    bool celsius = false;
};

// What one element reads as: the integer value and the text, or for a
// temperature the double value only.
struct safte_reading {
    int32_t ivalue = 0;
    double dvalue = 0;
    bool has_text = false;
    std::string text;
};

// True when the INQUIRY reply names a SAF-TE processor.
bool is_safte_inquiry(std::span<const uint8_t> reply);

// Reads the enclosure configuration page; a page too short for its fields is
// an error.
err read_safte_config(std::span<const uint8_t> page, safte_config& out);

// Bytes of the enclosure status page for this configuration.
size_t safte_status_length(const safte_config& c);

// The state of fan, power supply or temperature sensor `index` (kind "fan",
// "psu" or "temp") from the enclosure status page.
err read_safte_element(const safte_config& c, std::string_view kind, unsigned index,
                       std::span<const uint8_t> status, safte_reading& out);

// True when any slot of the device slot status page shows its activated bit.
bool safte_slots_report_activation(const safte_config& c, std::span<const uint8_t> slots);

// The state of slot `index` from the device slot status page; `assume_active`
// says whether a slot without its activated bit still counts as active.
err read_safte_slot(const safte_config& c, unsigned index, std::span<const uint8_t> slots, bool assume_active,
                    safte_reading& out);

// Forgets the enclosures seen reporting activation (tests).
void reset_safte_activation_list();

}  // namespace zp
