// rotation.cpp - look-ups of the renamed or copied file after a log rotation.
#include "logcheck/rotation.h"

#include <cstring>
#include <vector>

#include "logcheck/logpath.h"

namespace zp {

namespace {

bool compressed_name(const std::string& name) {
    for (const char* ext : {".gz", ".bz2", ".xz", ".zst", ".Z", ".lz4", ".lzma", ".zip"}) {
        size_t n = std::strlen(ext);
        if (name.size() > n && name.compare(name.size() - n, n, ext) == 0) return true;
    }
    return false;
}

template <typename F>
std::string first_in_dir(const std::string& path, F&& accept) {
    std::string dir = path_directory(path, os_path_style());
    std::vector<dir_entry> entries;
    if (os_list_dir(dir, log_rotation_scan_max, entries) != 0) return {};
    for (const auto& e : entries) {
        if (e.is_dir) continue;
        std::string full = dir + e.name;
        if (full == path) continue;
        path_info info = os_path_info(full);
        if (info.kind != path_kind::file) continue;
        if (accept(e.name, full, info)) return full;
    }
    return {};
}

bool same_bytes(os_file& f, int64_t pos, const unsigned char* want, int64_t len) {
    char buf[log_sample_size];
    if (len <= 0 || len > static_cast<int64_t>(sizeof buf)) return len == 0;
    return os_file_read_at(f, pos, buf, static_cast<size_t>(len)) == len && std::memcmp(buf, want, static_cast<size_t>(len)) == 0;
}

}  // namespace

std::string find_renamed_file(const std::string& path, const file_identity& identity) {
    return first_in_dir(path, [&](const std::string&, const std::string&, const path_info& info) {
        return info.identity == identity;
    });
}

std::string find_file_copy(const std::string& path, const log_file_state& st, const file_identity* current) {
    if (st.head_len <= 0) return {};
    return first_in_dir(path, [&](const std::string& name, const std::string& full, const path_info& info) {
        if (compressed_name(name) || info.size <= st.offset) return false;
        if (current && info.identity == *current) return false;
        os_file_ptr f;
        if (os_file_open(full, &f)) return false;
        if (!same_bytes(*f, 0, st.head, st.head_len)) return false;
        return st.tail_len == 0 || same_bytes(*f, st.offset - st.tail_len, st.tail, st.tail_len);
    });
}

}  // namespace zp
