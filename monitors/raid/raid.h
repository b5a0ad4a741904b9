// raid.h - the "csmiplus" scanner: RAID controllers of the legacy CISS family,
// one bitmap check per logical volume reporting the controller's logical
// drive status; the seam to the controllers (open a port, send one BMIC
// command, get the bytes and the driver's return code back); and the readers
// of the BMIC replies, which never read past the bytes returned. CSMI is off:
// no CSMI request is ever sent. Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/err.h"
#include "devtree/devtree.h"

namespace zp {

struct ciss_transport {
    // Opens port `port` ("\\\\.\\scsi%u:"): a handle >= 0, or -1 with `e`.
    intptr_t (*open)(unsigned port, err& e);
    // Sends one BMIC command wrapped in the 10-byte BMIC read `cdb` and reads
    // up to data.size() bytes; `got` is set to the bytes returned and `rc` to
    // the driver's return code (0 success). An error text only when the
    // request could not be sent. `timeout` is the driver's time-out value.
    err (*bmic)(intptr_t h, std::span<const uint8_t> cdb, uint32_t timeout, std::span<uint8_t> data, size_t& got,
                uint32_t& rc);
    void (*close)(intptr_t h);
};

// The platform's transport (a static table).
const ciss_transport& ciss_os_transport();
// Puts `t` in place of the platform's transport (tests); null restores it.
// The controller table of the last scan keeps using the transport that
// opened its handles.
void set_ciss_transport(const ciss_transport* t);

// Fills the scanner table's "csmiplus" entry.
void register_raid_scanners();

// Scan: rebuilds the controller table (closing the previous scan's handles)
// and adds every volume with a size. A failing volume inquiry ends the scan
// with its error; what was found stays.
err scan_raid(devtree& root);

// Check: the logical drive status of the volume, by the controller table of
// the last scan.
err check_raid(devnode& node, resnode* result);

// Closes the controllers' handles and empties the table.
void clear_raid_controllers();

// BMIC reply readers; a reply too short for its fields is an error.
struct ciss_controller_info {
    unsigned logical_drives = 0;
    char firmware[4] = {};
};
err read_identify_controller(std::span<const uint8_t> reply, ciss_controller_info& out);

struct ciss_volume_info {
    unsigned block_size = 0;
    uint32_t blocks = 0;
};
err read_identify_logical_drive(std::span<const uint8_t> reply, ciss_volume_info& out);

err read_logical_drive_status(std::span<const uint8_t> reply, uint8_t& out);
// "Logical device OK" ... "Unknown state".
const char* logical_drive_status_text(uint8_t status);

}  // namespace zp
