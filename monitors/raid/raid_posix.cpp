// raid_posix.cpp - the Linux CISS transport: port n is SCSI host n when its
// driver is hpsa or cciss; BMIC commands go through the driver's pass-through
// ioctl on a SCSI generic node of that host.
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include <linux/cciss_ioctl.h>

#include "monitors/raid/raid.h"

namespace zp {

namespace {

std::string read_word(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    char buf[64];
    ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0) return {};
    std::string s(buf, static_cast<size_t>(n));
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

// A SCSI generic node ("sg3") of a device on host `port`, or "".
std::string sg_node_of_host(unsigned port) {
    std::string found;
    DIR* d = ::opendir("/sys/class/scsi_generic");
    if (!d) return found;
    std::string prefix = std::to_string(port) + ":";
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name.compare(0, 2, "sg") != 0) continue;
        char buf[PATH_MAX];
        std::string link = "/sys/class/scsi_generic/" + name + "/device";
        ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
        if (n <= 0) continue;
        std::string target(buf, static_cast<size_t>(n));
        std::string hctl = target.substr(target.rfind('/') + 1);
        if (hctl.compare(0, prefix.size(), prefix) == 0) {
            found = name;
            break;
        }
    }
    ::closedir(d);
    return found;
}

intptr_t os_open(unsigned port, err& e) {
    std::string driver = read_word("/sys/class/scsi_host/host" + std::to_string(port) + "/proc_name");
    std::string sg = driver == "hpsa" || driver == "cciss" ? sg_node_of_host(port) : std::string();
    if (sg.empty()) {
        e = err::text(system_error_text(ENODEV));
        return -1;
    }
    int fd = ::open(("/dev/" + sg).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        e = err::text(system_error_text(errno));
        return -1;
    }
    return fd;
}

err os_bmic(intptr_t h, std::span<const uint8_t> cdb, uint32_t timeout, std::span<uint8_t> data, size_t& got,
            uint32_t& rc) {
    (void)timeout;  // the driver waits for BMIC commands without a time-out
    got = 0;
    rc = 0;
    if (data.size() > 0xFFFF || cdb.size() > 16) return err::text(system_error_text(EINVAL));
    IOCTL_Command_struct c;
    std::memset(&c, 0, sizeof c);  // LUN 0: the controller itself
    c.Request.CDBLen = static_cast<uint8_t>(cdb.size());
    c.Request.Type.Type = TYPE_CMD;
    c.Request.Type.Attribute = ATTR_SIMPLE;
    c.Request.Type.Direction = XFER_READ;
    std::copy(cdb.begin(), cdb.end(), c.Request.CDB);
    // On this path the controller takes the transfer length from the command.
    if (cdb.size() >= 9 && c.Request.CDB[7] == 0 && c.Request.CDB[8] == 0) {
        c.Request.CDB[7] = static_cast<uint8_t>(data.size() >> 8);
        c.Request.CDB[8] = static_cast<uint8_t>(data.size());
    }
    c.buf_size = static_cast<uint16_t>(data.size());
    c.buf = data.data();
    if (::ioctl(static_cast<int>(h), CCISS_PASSTHRU, &c) < 0) return err::text(system_error_text(errno));
    uint16_t status = c.error_info.CommandStatus;
    if (status == CMD_SUCCESS || status == CMD_DATA_UNDERRUN) {
        size_t resid = status == CMD_DATA_UNDERRUN ? c.error_info.ResidualCnt : 0;
        got = data.size() - std::min(resid, data.size());
    } else {
        rc = status;
    }
    return {};
}

void os_close(intptr_t h) { ::close(static_cast<int>(h)); }

constexpr ciss_transport os_transport = {os_open, os_bmic, os_close};

}  // namespace

const ciss_transport& ciss_os_transport() { return os_transport; }

}  // namespace zp
