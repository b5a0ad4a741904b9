// scsi_posix.cpp - the Linux SCSI transport: ports are SCSI hosts, devices
// are the SCSI generic nodes (/dev/sg*) with their host, channel, target and
// LUN from sysfs, commands go through SG_IO. A device bound to the disk, tape
// or CD driver counts as claimed.
#include <dirent.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "monitors/safte/scsi.h"

namespace zp {

namespace {

constexpr unsigned command_timeout_ms = 2000;
constexpr uint32_t max_bus = 64;

std::string link_base(const std::string& path) {
    char buf[PATH_MAX];
    ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return {};
    std::string s(buf, static_cast<size_t>(n));
    size_t slash = s.rfind('/');
    return slash == std::string::npos ? s : s.substr(slash + 1);
}

// Names in a directory that begin with `prefix`.
std::vector<std::string> entries(const char* dir, const char* prefix) {
    std::vector<std::string> out;
    DIR* d = ::opendir(dir);
    if (!d) return out;
    std::string p = prefix;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name.compare(0, p.size(), p) == 0 && name.size() > p.size()) out.push_back(name);
    }
    ::closedir(d);
    return out;
}

struct sg_node {
    std::string name;  // "sg3"
    scsi_addr addr;
    bool claimed = false;
};

// Every SCSI generic node with its address.
std::vector<sg_node> sg_nodes() {
    std::vector<sg_node> out;
    for (const std::string& sg : entries("/sys/class/scsi_generic", "sg")) {
        std::string dev = "/sys/class/scsi_generic/" + sg + "/device";
        std::string hctl = link_base(dev);  // "H:C:T:L"
        unsigned long long v[4];
        const char* p = hctl.c_str();
        bool ok = true;
        for (int i = 0; i < 4 && ok; ++i) {
            char* end = nullptr;
            errno = 0;
            v[i] = std::strtoull(p, &end, 10);
            ok = end != p && errno == 0 && (i == 3 ? *end == '\0' : *end == ':');
            p = end + 1;
        }
        if (!ok || v[0] > INT_MAX || v[1] >= max_bus || v[2] > UINT32_MAX || v[3] > UINT32_MAX) continue;
        std::string driver = link_base(dev + "/driver");
        sg_node n;
        n.name = sg;
        n.addr = {static_cast<int>(v[0]), static_cast<uint32_t>(v[1]), static_cast<uint32_t>(v[2]),
                  static_cast<uint32_t>(v[3])};
        n.claimed = driver == "sd" || driver == "st" || driver == "sr" || driver == "osst";
        out.push_back(n);
    }
    return out;
}

// Host numbers are not dense on Linux (hosts come and go): a missing number
// below the highest one is a port without buses, so the walk goes on to it.
intptr_t os_open_port(int port, bool& missing, err& e) {
    (void)e;
    int highest = -1;
    for (const std::string& h : entries("/sys/class/scsi_host", "host")) {
        char* end = nullptr;
        long n = std::strtol(h.c_str() + 4, &end, 10);
        if (*end == '\0' && n >= 0 && n <= INT_MAX) highest = std::max(highest, static_cast<int>(n));
    }
    if (port > highest) {
        missing = true;
        return -1;
    }
    return port;
}

err os_port_devices(intptr_t port, std::vector<scsi_bus>& buses) {
    buses.clear();
    for (const sg_node& n : sg_nodes()) {
        if (n.addr.port != port) continue;
        if (buses.size() <= n.addr.bus) buses.resize(n.addr.bus + 1);
        buses[n.addr.bus].push_back({n.addr.target, n.addr.lun, n.claimed});
    }
    for (auto& b : buses)
        std::sort(b.begin(), b.end(), [](const scsi_record& x, const scsi_record& y) {
            return x.target != y.target ? x.target < y.target : x.lun < y.lun;
        });
    return {};
}

void os_close_port(intptr_t) {}

intptr_t os_open(const scsi_addr& a, err& e) {
    for (const sg_node& n : sg_nodes()) {
        if (n.addr.port != a.port || n.addr.bus != a.bus || n.addr.target != a.target || n.addr.lun != a.lun) continue;
        int fd = ::open(("/dev/" + n.name).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            e = err::text(system_error_text(errno));
            return -1;
        }
        return fd;
    }
    e = err::text(system_error_text(ENODEV));
    return -1;
}

err os_command(intptr_t dev, std::span<const uint8_t> cdb, std::span<uint8_t> data, size_t& got, uint8_t& status) {
    got = 0;
    status = 0;
    uint8_t cmd[16] = {};
    size_t len = std::min(cdb.size(), sizeof cmd);
    std::copy(cdb.begin(), cdb.begin() + static_cast<std::ptrdiff_t>(len), cmd);
    uint8_t sense[32] = {};
    sg_io_hdr_t h{};
    h.interface_id = 'S';
    h.cmd_len = static_cast<unsigned char>(len);
    h.cmdp = cmd;
    h.dxfer_direction = data.empty() ? SG_DXFER_NONE : SG_DXFER_FROM_DEV;
    h.dxferp = data.data();
    h.dxfer_len = static_cast<unsigned>(data.size());
    h.sbp = sense;
    h.mx_sb_len = sizeof sense;
    h.timeout = command_timeout_ms;
    if (::ioctl(static_cast<int>(dev), SG_IO, &h) < 0) return err::text(system_error_text(errno));
    if (h.host_status != 0) return format_error("SCSI host status 0x%02X", h.host_status);
    unsigned driver = h.driver_status & 0x0F;
    if (driver != 0 && driver != 0x08) return format_error("SCSI driver status 0x%02X", h.driver_status);
    status = h.status;
    size_t resid = h.resid > 0 ? static_cast<size_t>(h.resid) : 0;
    got = data.size() - std::min(resid, data.size());
    return {};
}

void os_close(intptr_t dev) { ::close(static_cast<int>(dev)); }

constexpr scsi_transport os_transport = {os_open_port, os_port_devices, os_close_port, os_open, os_command, os_close};

}  // namespace

const scsi_transport& scsi_os_transport() { return os_transport; }

}  // namespace zp
