// smart_transport.h - the seam between the SMART logic and the drives: open a
// drive by its name, send one ATA SMART command or read the NVMe health log,
// get the bytes and the returned registers back. The platform provides one
// transport; tests put a fake in its place.
//
// A transport belongs to the main thread. Handles are plain numbers that only
// the transport that made them understands; every handle it returns is closed
// through its own `close` exactly once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "core/err.h"

namespace zp {

// How a drive is reached: ATA SMART commands, or the NVMe health log.
enum class drive_bus : uint8_t { ata, nvme };

// The registers of one ATA command: what goes to the drive, and, after the
// command, what the drive returned (the transport leaves a field as it was
// sent when the platform does not report it).
struct ata_regs {
    uint8_t features = 0, count = 0, lba_low = 0, lba_mid = 0, lba_high = 0;
    uint8_t device = 0, command = 0;
    uint8_t status = 0, error = 0;  // returned only
};

// Size of a SMART data page and of the NVMe SMART / Health Information log.
inline constexpr size_t smart_page_size = 512;

struct smart_transport {
    // Opens the drive at `path` ("\\\\.\\PhysicalDrive%i"). Returns a handle
    // (>= 0) and sets `bus`, or -1 with the reason in `e`.
    intptr_t (*open)(const std::string& path, drive_bus& bus, err& e);
    // One ATA command. `data` is empty for a command without data, else the
    // buffer the drive fills; `got` is set to the bytes it filled. On success
    // the returned registers replace those in `regs`.
    err (*ata)(intptr_t h, ata_regs& regs, std::span<uint8_t> data, size_t& got);
    // Reads the NVMe SMART / Health Information log (global) into `page`
    // (at least smart_page_size bytes); `got` is set to the bytes read.
    err (*nvme_health)(intptr_t h, std::span<uint8_t> page, size_t& got);
    void (*close)(intptr_t h);
};

// What the sense data of an ATA PASS-THROUGH command says: sense key,
// additional sense code and qualifier, and whether it carried the ATA
// registers (the ATA Status Return descriptor, or fixed format sense with
// "ATA pass-through information available").
struct sat_sense {
    uint8_t key = 0, asc = 0, ascq = 0;
    bool has_registers = false;
};
// Reads sense data (descriptor or fixed format) of `sense.size()` bytes; the
// registers it carries replace those in `regs`. Never reads past the bytes.
sat_sense read_sat_sense(std::span<const uint8_t> sense, ata_regs& regs);

// The platform's transport (a static table).
const smart_transport& smart_os_transport();

// Puts `t` in place of the platform's transport (tests); null restores it. The
// table must outlive its use.
void set_smart_transport(const smart_transport* t);

}  // namespace zp
