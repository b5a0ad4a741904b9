// smart_posix.cpp - the Linux SMART transport: "PhysicalDrive%i" is the i-th
// whole-disk block device in name order; ATA drives get their SMART commands
// through ATA PASS-THROUGH (16, else 12) over SG_IO, NVMe drives give their
// health log through the NVMe admin command ioctl.
#include <dirent.h>
#include <fcntl.h>
#include <linux/nvme_ioctl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "monitors/smart/smart_transport.h"

namespace zp {

namespace {

constexpr char drive_prefix[] = "\\\\.\\PhysicalDrive";
constexpr unsigned sg_timeout_ms = 10000;

std::string read_line(const std::string& path) {
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

// Whole disks: the block devices backed by hardware (a "device" link), not
// CD drives and not the hidden paths of multipath NVMe, in name order.
std::vector<std::string> whole_disks() {
    std::vector<std::string> out;
    DIR* d = ::opendir("/sys/block");
    if (!d) return out;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name.empty() || name[0] == '.' || name.compare(0, 2, "sr") == 0) continue;
        std::string sys = "/sys/block/" + name;
        if (::access((sys + "/device").c_str(), F_OK) != 0) continue;
        if (read_line(sys + "/hidden") == "1") continue;
        out.push_back(name);
    }
    ::closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

// The drive number of a "\\\\.\\PhysicalDrive%i" path, or -1.
long drive_number(const std::string& path) {
    size_t plen = sizeof drive_prefix - 1;
    if (path.compare(0, plen, drive_prefix) != 0 || path.size() == plen || path.size() > plen + 6) return -1;
    long n = 0;
    for (size_t i = plen; i < path.size(); ++i) {
        if (path[i] < '0' || path[i] > '9') return -1;
        n = n * 10 + (path[i] - '0');
    }
    return n;
}

intptr_t os_open(const std::string& path, drive_bus& bus, err& e) {
    long n = drive_number(path);
    std::vector<std::string> disks = whole_disks();
    if (n < 0 || static_cast<size_t>(n) >= disks.size()) {
        e = err::text(system_error_text(ENODEV));
        return -1;
    }
    const std::string& name = disks[static_cast<size_t>(n)];
    int fd = ::open(("/dev/" + name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        e = err::text("/dev/" + name + ": " + system_error_text(errno));
        return -1;
    }
    bus = name.compare(0, 4, "nvme") == 0 ? drive_bus::nvme : drive_bus::ata;
    return fd;
}

// 1 done, 0 the drive does not know this pass-through size, -1 failed.
int pass_through(int fd, bool use16, ata_regs& r, std::span<uint8_t> data, size_t& got, err& e) {
    uint8_t cdb[16] = {};
    bool in = !data.empty();
    uint8_t protocol = in ? 4 : 3;  // PIO data-in, non-data
    // Data-in: direction from the device, length in blocks given by the count
    // register. Non-data: ask for the registers back (CK_COND).
    uint8_t flags = in ? 0x0E : 0x20;
    if (use16) {
        cdb[0] = 0x85;
        cdb[1] = static_cast<uint8_t>(protocol << 1);
        cdb[2] = flags;
        cdb[4] = r.features;
        cdb[6] = r.count;
        cdb[8] = r.lba_low;
        cdb[10] = r.lba_mid;
        cdb[12] = r.lba_high;
        cdb[13] = r.device;
        cdb[14] = r.command;
    } else {
        cdb[0] = 0xA1;
        cdb[1] = static_cast<uint8_t>(protocol << 1);
        cdb[2] = flags;
        cdb[3] = r.features;
        cdb[4] = r.count;
        cdb[5] = r.lba_low;
        cdb[6] = r.lba_mid;
        cdb[7] = r.lba_high;
        cdb[8] = r.device;
        cdb[9] = r.command;
    }
    uint8_t sense[64] = {};
    sg_io_hdr_t h{};
    h.interface_id = 'S';
    h.cmd_len = use16 ? 16 : 12;
    h.cmdp = cdb;
    h.dxfer_direction = in ? SG_DXFER_FROM_DEV : SG_DXFER_NONE;
    h.dxferp = in ? data.data() : nullptr;
    h.dxfer_len = static_cast<unsigned>(data.size());
    h.sbp = sense;
    h.mx_sb_len = sizeof sense;
    h.timeout = sg_timeout_ms;
    if (::ioctl(fd, SG_IO, &h) < 0) {
        e = err::text(system_error_text(errno));
        return -1;
    }
    size_t slen = std::min<size_t>(h.sb_len_wr, sizeof sense);
    ata_regs returned = r;
    sat_sense k = read_sat_sense(std::span<const uint8_t>(sense, slen), returned);
    if (h.host_status != 0) {
        e = format_error("SCSI host status 0x%02X", h.host_status);
        return -1;
    }
    unsigned driver = h.driver_status & 0x0F;  // 8: sense data came with it
    if (h.status == 0 && (driver == 0 || driver == 0x08)) {
        got = data.size() - std::min<size_t>(static_cast<size_t>(h.resid < 0 ? 0 : h.resid), data.size());
        if (k.has_registers) r = returned;
        return 1;
    }
    if (k.key == 0x05 && (k.asc == 0x20 || k.asc == 0x24)) return 0;  // unknown opcode or field
    // CK_COND ends a successful command in CHECK CONDITION, RECOVERED ERROR or
    // NO SENSE, "ATA pass-through information available", with the registers.
    if ((k.key == 0x01 || k.key == 0x00) && k.asc == 0x00 && k.ascq == 0x1D && k.has_registers) {
        r = returned;
        got = 0;
        return 1;
    }
    e = format_error("SCSI status 0x%02X, sense %X/%02X/%02X", h.status, k.key, k.asc, k.ascq);
    return -1;
}

err os_ata(intptr_t h, ata_regs& regs, std::span<uint8_t> data, size_t& got) {
    got = 0;
    err e;
    int fd = static_cast<int>(h);
    int r = pass_through(fd, true, regs, data, got, e);
    if (r == 0) r = pass_through(fd, false, regs, data, got, e);
    if (r == 0) return err::text("ATA pass-through not supported");
    if (r < 0) return e;
    return {};
}

err os_nvme_health(intptr_t h, std::span<uint8_t> page, size_t& got) {
    got = 0;
    if (page.size() < smart_page_size) return err::text("buffer too small");
    nvme_admin_cmd c{};
    c.opcode = 0x02;  // Get Log Page
    c.nsid = 0xFFFFFFFF;
    c.addr = reinterpret_cast<uintptr_t>(page.data());
    c.data_len = smart_page_size;
    c.cdw10 = ((smart_page_size / 4 - 1) << 16) | 0x02;  // dwords - 1, SMART / Health Information
    c.timeout_ms = sg_timeout_ms;
    int r = ::ioctl(static_cast<int>(h), NVME_IOCTL_ADMIN_CMD, &c);
    if (r < 0) return err::text(system_error_text(errno));
    if (r > 0) return format_error("NVMe status 0x%X", static_cast<unsigned>(r));
    got = smart_page_size;
    return {};
}

void os_close(intptr_t h) { ::close(static_cast<int>(h)); }

constexpr smart_transport os_transport = {os_open, os_ata, os_nvme_health, os_close};

}  // namespace

const smart_transport& smart_os_transport() { return os_transport; }

}  // namespace zp
