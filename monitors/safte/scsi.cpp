// scsi.cpp - device names, the device walk over ports and buses, and
// gen_scsi_cmd with its one retry.
#include "monitors/safte/scsi.h"

#include <array>
#include <cstring>

#include "core/log.h"
#include "host/wait.h"

namespace zp {

namespace {

const scsi_transport* replaced = nullptr;
int (*retry_wait)(int) = nullptr;

const scsi_transport& transport() { return replaced ? *replaced : scsi_os_transport(); }

// Ports past this number are not looked at, whatever the transport says.
constexpr int max_ports = 65536;

// The command block of the port driver is 92 bytes before the data, in a
// block of 608: longer reads do not fit.
constexpr size_t max_read = 608 - 92;

bool parse_hex(const std::string& s, size_t& i, uint32_t& out) {
    size_t start = i;
    uint64_t v = 0;
    while (i < s.size() && i - start < 8) {
        char c = s[i];
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0) break;
        v = v * 16 + static_cast<uint64_t>(d);
        ++i;
    }
    out = static_cast<uint32_t>(v);
    return i > start;
}

}  // namespace

void set_scsi_transport(const scsi_transport* t) { replaced = t; }
void set_scsi_retry_wait(int (*wait)(int seconds)) { retry_wait = wait; }

std::string scsi_name(const scsi_addr& a) {
    return strprintf("scsi%d:%02X:%02X:%02X", a.port, a.bus, a.target, a.lun);
}

bool parse_scsi_name(const std::string& name, scsi_addr& out) {
    if (name.compare(0, 4, "scsi") != 0) return false;
    size_t i = 4;
    int64_t port = 0;
    size_t start = i;
    while (i < name.size() && name[i] >= '0' && name[i] <= '9' && i - start < 9) port = port * 10 + (name[i++] - '0');
    if (i == start) return false;
    scsi_addr a;
    a.port = static_cast<int>(port);
    uint32_t* fields[] = {&a.bus, &a.target, &a.lun};
    for (uint32_t* f : fields) {
        if (i >= name.size() || name[i] != ':') return false;
        ++i;
        if (!parse_hex(name, i, *f)) return false;
    }
    if (i != name.size()) return false;
    out = a;
    return true;
}

// ---------------------------------------------------------------------------

err scsi_dev::open(const std::string& name) {
    close();
    scsi_addr a;
    if (!parse_scsi_name(name, a)) return format_error("Bad SCSI device name \"%s\"", name.c_str());
    err e;
    t_ = &transport();
    h_ = t_->open(a, e);
    if (h_ < 0) return format_error("Error opening %s: %s", name.c_str(), e ? e.c_str() : "failed");
    addr_ = a;
    name_ = name;
    return {};
}

void scsi_dev::close() {
    if (h_ >= 0) t_->close(h_);
    h_ = -1;
}

err scsi_dev::gen_scsi_cmd(std::span<const uint8_t> cdb, std::span<uint8_t> out, size_t& got) {
    got = 0;
    if (out.size() > max_read) return err::text("gen_scsi_cmd(): Buffer too short");
    if (h_ < 0) return err::text("gen_scsi_cmd(): device not open");
    std::array<uint8_t, 16> block{};
    size_t len = cdb.size() < block.size() ? cdb.size() : block.size();
    std::memcpy(block.data(), cdb.data(), len);
    if (len >= 2) block[1] = static_cast<uint8_t>((block[1] & 0x1F) | ((addr_.lun & 7) << 5));
    std::string why;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt) (void)(retry_wait ? retry_wait : wakeup_wait)(1);
        size_t n = 0;
        uint8_t status = 0;
        err e = t_->command(h_, std::span<const uint8_t>(block.data(), len), out, n, status);
        if (!e && status == 0) {
            got = n < out.size() ? n : out.size();
            return {};
        }
        why = e ? e.message() : strprintf("SCSI status 0x%02X", status);
    }
    return format_error("gen_scsi_cmd(): %s", why.c_str());
}

// ---------------------------------------------------------------------------

scsi_walk::~scsi_walk() { close_port(); }

void scsi_walk::close_port() {
    if (handle_ >= 0) t_->close_port(handle_);
    handle_ = -1;
}

bool scsi_walk::open_port(int n) {
    std::string path = strprintf("\\\\.\\scsi%d:", n);
    log(-1, "Opening device %s", path.c_str());
    close_port();
    buses_.clear();
    port_ = n;
    if (n >= max_ports) return false;
    bool missing = false;
    err e;
    intptr_t h = t_->open_port(n, missing, e);
    if (h < 0) {
        if (!missing) log(1, "Error scanning SCSI devices: %s", format_error("Error opening %s: %s", path.c_str(), e.c_str()).c_str());
        return false;
    }
    handle_ = h;
    if (auto q = t_->port_devices(h, buses_)) {
        log(1, "Error scanning SCSI devices: %s", format_error("Error querying %s: %s", path.c_str(), q.c_str()).c_str());
        return false;
    }
    bus_ = 0;
    rec_ = 0;
    return true;
}

std::optional<std::string> scsi_walk::find() {
    while (!done_) {
        log(-1, "find_next_scsi_dev_impl: bus %d, offset %d", static_cast<int>(bus_), static_cast<int>(rec_));
        if (bus_ >= buses_.size() || rec_ >= buses_[bus_].size()) {
            if (bus_ < buses_.size()) {
                log(-1, "No more targets on bus %d of %d", static_cast<int>(bus_), static_cast<int>(buses_.size()));
                ++bus_;
                rec_ = 0;
                continue;
            }
            log(-1, "No more busses");
            if (!open_port(port_ + 1)) {
                done_ = true;
                close_port();
            }
            continue;
        }
        const scsi_record& r = buses_[bus_][rec_];
        log(-1, "Got target at bus %d, offset %d", static_cast<int>(bus_), static_cast<int>(rec_));
        if (r.claimed) {
            log(-1, "Device is already claimed by a class driver");
            ++rec_;
            continue;
        }
        log(-1, "Not claimed by a class driver");
        return scsi_name({port_, static_cast<uint32_t>(bus_), r.target, r.lun});
    }
    return std::nullopt;
}

std::optional<std::string> scsi_walk::start() {
    t_ = &transport();
    done_ = !open_port(0);
    if (done_) close_port();
    return find();
}

std::optional<std::string> scsi_walk::next() {
    if (done_) return std::nullopt;
    ++rec_;
    return find();
}

}  // namespace zp
