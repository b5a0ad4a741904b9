// system_parse.h - parsers of /proc/self/mountinfo and /proc/meminfo, and the
// choice of the mounts the file system scanner offers. No I/O: the texts may
// be truncated or garbage, and the parsers skip or refuse what they cannot read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zp {

// One line of mountinfo (octal escapes such as \040 decoded).
struct mount_entry {
    uint32_t id = 0, parent = 0;
    uint32_t major = 0, minor = 0;
    std::string root;         // the directory of the file system shown here
    std::string mount_point;
    std::string fs_type;
    std::string source;
};

// Every well-formed line; malformed or over-long lines are skipped. At most
// max_mounts entries are kept.
inline constexpr size_t max_mounts = 65536;
std::vector<mount_entry> parse_mountinfo(std::string_view text);

// A block device of /sys/block (whole disk or partition).
struct block_device {
    uint32_t major = 0, minor = 0;
    std::string name;
    bool removable = false;
};

// "8:0\n" from a dev file; false when it is not two numbers.
bool parse_dev_number(std::string_view text, uint32_t& major, uint32_t& minor);

// The mounts to offer, in mountinfo order: file systems on a fixed block
// device (not removable, not a loop or RAM disk) whose mount chain up to the
// top is fixed too, each part of a file system once (a bind mount of a
// directory of a file system already offered is left out), and a mount
// point hidden by a later mount on the same place left out.
std::vector<const mount_entry*> fixed_mounts(const std::vector<mount_entry>& mounts,
                                             const std::vector<block_device>& devices);

// The memory figures, in kilobytes.
struct mem_status {
    uint64_t phys_total = 0, phys_avail = 0;
    uint64_t swap_total = 0, swap_avail = 0;
    uint64_t virt_total = 0, virt_avail = 0;
};
// False when a figure the memory check needs is missing or unreadable.
bool parse_meminfo(std::string_view text, mem_status& out);

}  // namespace zp
