// hostinfo_os.h - the system calls behind the host information report.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace zp::os {

struct uname_facts {
    std::string machine, release;
};
uname_facts uname_info();
// Processors configured, and which of them this process may run on.
int cpu_count();
std::vector<bool> cpu_affinity(int cpus);
std::string host_name();
// IPv4 address and mask of every interface, by interface name.
std::map<std::string, std::vector<std::pair<std::string, std::string>>> ipv4_addresses();

}  // namespace zp::os
