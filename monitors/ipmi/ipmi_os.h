// ipmi_os.h - the OS call behind the real BMC connection: the system's IPMI
// device driver.
#pragma once

#include "core/err.h"
#include "monitors/ipmi/ipmi_transport.h"

namespace zp::ipmi_os {

// Opens the system's IPMI device (/dev/ipmi0 on Linux). A host without one
// leaves `out` null and returns none; any other failure is an error text.
err open_device(ipmi_transport_ptr& out);

}  // namespace zp::ipmi_os
