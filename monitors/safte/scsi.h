// scsi.h - SCSI devices for the enclosure monitor: the seam to the platform
// (ports that list their devices, devices that take one command and give
// bytes and a status back), the walk over every unclaimed device, and
// gen_scsi_cmd with its one retry. Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/err.h"

namespace zp {

// A device: port (SCSI host), bus (channel), target id, LUN.
struct scsi_addr {
    int port = 0;
    uint32_t bus = 0, target = 0, lun = 0;
};

// One device a port reports on a bus.
struct scsi_record {
    uint32_t target = 0, lun = 0;
    bool claimed = false;  // bound to a disk, tape or CD driver
};
using scsi_bus = std::vector<scsi_record>;

// The platform's part. Port handles and device handles are numbers only the
// transport understands; each one it returns is closed through it once.
struct scsi_transport {
    // Opens port `port`: a handle >= 0; or -1 with `missing` set when no port
    // of that number exists (the walk ends there), else -1 with `e`.
    intptr_t (*open_port)(int port, bool& missing, err& e);
    // The devices of an open port, by bus (a port may have no bus).
    err (*port_devices)(intptr_t port, std::vector<scsi_bus>& buses);
    void (*close_port)(intptr_t port);
    // Opens a device: a handle >= 0, or -1 with the reason in `e`.
    intptr_t (*open)(const scsi_addr& a, err& e);
    // Sends one command that reads up to data.size() bytes. `got` is set to
    // the bytes the device returned and `status` to its SCSI status; an error
    // text only when the command could not be sent.
    err (*command)(intptr_t dev, std::span<const uint8_t> cdb, std::span<uint8_t> data, size_t& got,
                   uint8_t& status);
    void (*close)(intptr_t dev);
};

// The platform's transport (a static table).
const scsi_transport& scsi_os_transport();
// Puts `t` in place of the platform's transport (tests); null restores it.
void set_scsi_transport(const scsi_transport* t);
// Replaces the wait before a command is sent again (wakeup_wait by default;
// tests pass one that does not sleep). Null restores the default.
void set_scsi_retry_wait(int (*wait)(int seconds));

// "scsi%d:%02X:%02X:%02X"; and back, strictly (false for anything else).
std::string scsi_name(const scsi_addr& a);
bool parse_scsi_name(const std::string& name, scsi_addr& out);

// An open device, closed when destroyed.
class scsi_dev {
public:
    scsi_dev() = default;
    ~scsi_dev() { close(); }
    scsi_dev(const scsi_dev&) = delete;
    scsi_dev& operator=(const scsi_dev&) = delete;

    // Opens the device `name`; the error says why not.
    err open(const std::string& name);
    void close();
    const scsi_addr& addr() const { return addr_; }
    const std::string& name() const { return name_; }

    // Sends `cdb` (the LUN goes into bits 7:5 of byte 1) and reads up to
    // out.size() bytes; `got` is what the device returned. A failure is tried
    // once more a second later; then "gen_scsi_cmd(): %s".
    err gen_scsi_cmd(std::span<const uint8_t> cdb, std::span<uint8_t> out, size_t& got);

private:
    const scsi_transport* t_ = nullptr;
    intptr_t h_ = -1;
    scsi_addr addr_;
    std::string name_;
};

// The walk over the unclaimed devices of every port and bus. Errors of a
// port are logged and end the walk. The open port is closed when destroyed.
class scsi_walk {
public:
    scsi_walk() = default;
    ~scsi_walk();
    scsi_walk(const scsi_walk&) = delete;
    scsi_walk& operator=(const scsi_walk&) = delete;

    // The first unclaimed device, or none.
    std::optional<std::string> start();
    // The one after the device last returned, or none.
    std::optional<std::string> next();

private:
    bool open_port(int n);
    std::optional<std::string> find();
    void close_port();

    const scsi_transport* t_ = nullptr;
    int port_ = -1;
    intptr_t handle_ = -1;
    std::vector<scsi_bus> buses_;
    size_t bus_ = 0, rec_ = 0;
    bool done_ = true;
};

}  // namespace zp
