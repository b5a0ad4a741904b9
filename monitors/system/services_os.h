// services_os.h - the service manager behind the "scm" scanner: on Linux the
// system's unit manager over the system bus. Every failure comes back as the
// system's text; the scanner adds its own words around it.
#pragma once

#include <string>
#include <vector>

#include "core/err.h"

namespace zp::os {

struct service_unit {
    std::string name;         // "ssh.service"
    std::string description;  // "OpenBSD Secure Shell server"
    std::string active_state; // "active", "inactive", "failed", ...
};

// Connects to the service manager (kept open between calls while it works).
err open_service_manager();
// Every service unit the manager has loaded (at most max_units).
inline constexpr size_t max_units = 20000;
err list_service_units(std::vector<service_unit>& out);
// Finds the unit `name`; `handle` identifies it for query_service_state.
err open_service(const std::string& name, std::string& handle);
err query_service_state(const std::string& handle, std::string& active_state);
// Drops the connection (after a failure, and at the end of tests).
void close_service_manager();

}  // namespace zp::os
