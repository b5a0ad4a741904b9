// ipmi_transport.h - the way one IPMI request reaches the BMC and its reply comes
// back: the kernel's IPMI device on a real host, a simulated controller in tests.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "core/err.h"

namespace zp {

// One request to the BMC's system interface.
struct ipmi_request {
    uint8_t netfn = 0;
    uint8_t lun = 0;
    uint8_t cmd = 0;
    std::vector<uint8_t> data;
};

// The reply as the BMC sent it: its network function and command, and its
// bytes, the completion code first. Nothing in it has been checked.
struct ipmi_reply {
    uint8_t netfn = 0;
    uint8_t cmd = 0;
    std::vector<uint8_t> bytes;
};

// An open connection to one BMC; closed when destroyed. Main thread only.
struct ipmi_transport {
    virtual ~ipmi_transport() = default;
    // Sends `req` and waits for its reply. On failure `reply` is unchanged, the
    // text says why, and `lost` tells whether the connection is gone for good
    // (driver unloaded, device removed): the caller then opens it again.
    virtual err exchange(const ipmi_request& req, ipmi_reply& reply, bool& lost) = 0;
};

using ipmi_transport_ptr = std::unique_ptr<ipmi_transport>;

// Opens the connection to the host's BMC into `out`. A host without a BMC is
// not an error: `out` stays null. An error text means a BMC that is there but
// cannot be used.
using ipmi_opener = std::function<err(ipmi_transport_ptr& out)>;

}  // namespace zp
