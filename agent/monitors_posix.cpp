// monitors_posix.cpp - the monitor modules of the Linux build.
#include "agent/monitors.h"
#include "monitors/hostinfo/hostinfo.h"
#include "monitors/ipmi/ipmisens.h"
#include "monitors/raid/raid.h"
#include "monitors/safte/safte.h"
#include "monitors/smart/smart.h"
#include "monitors/system/system.h"

namespace zp {

void register_platform_monitors() {
    register_system_scanners();
    register_smart_scanners();
    register_safte_scanners();
    register_ipmi_scanners();
    register_raid_scanners();
}

clinfo_list platform_host_info() { return gather_host_info(); }

}  // namespace zp
