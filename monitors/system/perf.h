// perf.h - the scanners that enumerate performance objects: "perf" (every
// counter of every object at the configured detail level), "ifthrough" and
// "ifevents" (byte and packet counters of each network interface) and
// "block" (activity of each physical disk).
//
// Scan and check operations follow the scanner table's contract (scan.h) and
// run on the main thread. Checks keep their counter in the devnode from the
// first run on, so that a run costs one collection.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/err.h"
#include "devtree/devtree.h"

namespace zp {

// Fills the table entries "perf", "ifthrough" (which "ifevents" follows) and
// "block". Called by register_system_scanners.
void register_perf_scanners();

err scan_perfcnts(devtree& root);
err check_perfcnt(devnode& node, resnode* res);
// Builds both "ifthrough" and "ifevents"; the one check serves both.
err scan_ifthroughput(devtree& root);
err check_ifthrough(devnode& node, resnode* res);
err scan_block_devices(devtree& root);
err check_block_device(devnode& node, resnode* res);

// The unit of a performance counter devnode from its id and, when the
// counter information could be read, its counter type; "" for none.
std::string perf_counter_unit(std::string_view id, bool has_type, uint32_t type);

// The labels of an object's instances in list order: the name itself the
// first time, "name#n" for the n-th repetition; cut to 127 characters.
std::vector<std::string> instance_labels(const std::vector<std::string>& names);

// "<number> <word>..." as an instance of the physical disks: the number and
// the first word after it. False for other names (such as "_Total").
bool parse_disk_instance(std::string_view name, int& number, std::string& word);

}  // namespace zp
