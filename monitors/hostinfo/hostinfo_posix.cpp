// hostinfo_posix.cpp - uname, processors, host name and addresses on Linux.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "monitors/hostinfo/hostinfo_os.h"

namespace zp::os {

uname_facts uname_info() {
    struct utsname u{};
    if (::uname(&u) != 0) return {};
    return {u.machine, u.release};
}

int cpu_count() {
    long n = ::sysconf(_SC_NPROCESSORS_CONF);
    return n > 0 && n < 65536 ? static_cast<int>(n) : 0;
}

std::vector<bool> cpu_affinity(int cpus) {
    std::vector<bool> out;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) != 0) return out;
    for (int i = 0; i < cpus && i < CPU_SETSIZE; ++i) out.push_back(CPU_ISSET(i, &set));
    return out;
}

std::string host_name() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return {};
    return buf;
}

std::map<std::string, std::vector<std::pair<std::string, std::string>>> ipv4_addresses() {
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || !a->ifa_name) continue;
        char addr[INET_ADDRSTRLEN] = {}, mask[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, addr, sizeof addr);
        if (a->ifa_netmask)
            ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_netmask)->sin_addr, mask, sizeof mask);
        out[a->ifa_name].emplace_back(addr, mask);
    }
    ::freeifaddrs(list);
    return out;
}

}  // namespace zp::os
