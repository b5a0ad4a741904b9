// system.h - the scanners of the host's basic resources: "fs" (free space of
// fixed file systems), "mem" (free memory), "system" (idle processor time,
// context switches, uptime), "proc" (presence of processes by name) and "scm"
// (state of services).
//
// Scan and check operations follow the scanner table's contract (scan.h) and
// run on the main thread. They read the host through host_files.h (whose root
// tests move to captured files) and the small OS seams of this folder.
#pragma once

#include <functional>
#include <string>

#include "core/err.h"
#include "devtree/devtree.h"

namespace zp {

// Fills the table entries "fs", "mem", "system", "proc" and "scm", and those
// of perf.h ("perf", "ifthrough", "ifevents", "block").
void register_system_scanners();

err scan_fs(devtree& root);
err check_fs(devnode& node, resnode* res);
err scan_meminfo(devtree& root);
err check_mem(devnode& node, resnode* res);
err scan_system(devtree& root);
err check_system(devnode& node, resnode* res);
err scan_processes(devtree& root);
err check_process(devnode& node, resnode* res);
err scan_services(devtree& root);
err check_service(devnode& node, resnode* res);

// Calls `fn` with the name of every process (the base name of its
// executable, else its command name) until `fn` returns true. Fails when the
// process list cannot be read.
err for_each_process(const std::function<bool(const std::string&)>& fn);

// The free space result: kilobytes as the double value, rounded to nearest as
// the integer value (held at the largest integer for file systems with more
// than 2 TiB free).
void store_free_space(uint64_t avail_bytes, resnode& res);

// The idle time in hundredths of a percent from a processor time reading in
// percent (0 to 10000; a reading above 100 gives 0).
int32_t idle_hundredths(double processor_percent);

}  // namespace zp
