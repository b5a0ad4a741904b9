// sat_sense.cpp - the sense data of ATA PASS-THROUGH commands: the sense key
// and the ATA registers that the drive returned.
#include <algorithm>

#include "monitors/smart/smart_transport.h"

namespace zp {

sat_sense read_sat_sense(std::span<const uint8_t> s, ata_regs& r) {
    sat_sense out;
    if (s.size() < 4) return out;
    uint8_t code = s[0] & 0x7F;
    if (code == 0x72 || code == 0x73) {
        out.key = s[1] & 0x0F;
        out.asc = s[2];
        out.ascq = s[3];
        if (s.size() < 8) return out;
        size_t end = std::min(s.size(), static_cast<size_t>(8) + s[7]);
        for (size_t at = 8; at + 2 <= end;) {
            size_t len = s[at + 1] + 2u;
            if (s[at] == 0x09 && len >= 14 && at + 14 <= end) {
                r.error = s[at + 3];
                r.count = s[at + 5];
                r.lba_low = s[at + 7];
                r.lba_mid = s[at + 9];
                r.lba_high = s[at + 11];
                r.device = s[at + 12];
                r.status = s[at + 13];
                out.has_registers = true;
                break;
            }
            at += len;
        }
        return out;
    }
    if ((code == 0x70 || code == 0x71) && s.size() >= 14) {
        out.key = s[2] & 0x0F;
        out.asc = s[12];
        out.ascq = s[13];
        if (out.asc == 0x00 && out.ascq == 0x1D) {
            r.error = s[3];
            r.status = s[4];
            r.device = s[5];
            r.count = s[6];
            r.lba_low = s[9];
            r.lba_mid = s[10];
            r.lba_high = s[11];
            out.has_registers = true;
        }
    }
    return out;
}

}  // namespace zp
