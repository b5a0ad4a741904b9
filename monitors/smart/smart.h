// smart.h - the "smart" scanner: one bitmap check per drive that accepts SMART
// commands, whose value is 0 healthy, 1 an advisory attribute (or the NVMe
// lifetime) reached its limit, 2 a pre-failure attribute reached its
// threshold, the drive reports its threshold exceeded or its status command
// failed. Main thread only.
#pragma once

#include <span>

#include "core/err.h"
#include "devtree/devtree.h"
#include "monitors/smart/smart_transport.h"

namespace zp {

// Fills the scanner table's "smart" entry.
void register_smart_scanners();

// Scan: one devnode "PhysicalDrive%i" per drive that accepts the enable SMART
// command, below the group "smart"; stops at the first drive number that
// cannot be opened. Nothing when "disable_smart" is set. Never fails.
err scan_smart_ide(devtree& root);

// Check: sets the result's integer value to the verdict and its text. Only a
// drive that cannot be opened gives an error text.
err check_smart(devnode& node, resnode* result);

// The verdict of an attribute values page and a thresholds page, entries
// paired by position; entries past the end of either page are not read.
int evaluate_smart_pages(std::span<const uint8_t> values, std::span<const uint8_t> thresholds);

// The verdict of the returned registers of a SMART RETURN STATUS command that
// succeeded: 2 when the drive reports its threshold exceeded, else 0.
int smart_status_from_registers(const ata_regs& regs);

// The verdict of an NVMe SMART / Health Information log: 2 when any critical
// warning bit is set, 1 when the percentage used is 100 or more, else 0; -1
// when the log is too short to hold those fields.
int evaluate_nvme_health(std::span<const uint8_t> log);

}  // namespace zp
