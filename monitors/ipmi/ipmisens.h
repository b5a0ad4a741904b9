// ipmisens.h - the "ipmisens" scanner: the BMC's analog sensors, two-state and
// drive bay sensors and its chassis status as checks.
//
// The scan rebuilds the sensor record list of ipmi.h and the check reads one
// sensor (or the chassis status) through it. Main thread only.
#pragma once

namespace zp {

// Puts the "ipmisens" scan and check operations in the scanner table; called
// once by the wiring at start-up. Without a BMC the scan adds nothing.
void register_ipmi_scanners();

}  // namespace zp
