// logfile_win32.cpp - the log reader's file calls on Windows.
#include <windows.h>

#include "logcheck/logfile_os.h"

namespace zp {

struct os_file {
    HANDLE h = INVALID_HANDLE_VALUE;
    int64_t pos = 0;  // every read names its offset, so the position is ours
    int error = 0;
    ~os_file() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

path_style os_path_style() { return path_style::windows; }

void os_file_deleter::operator()(os_file* f) const { std::default_delete<os_file>()(f); }

namespace {

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// One ReadFile at `pos`: the count, 0 at the end, or -1 with the code in `code`.
int64_t read_once(HANDLE h, int64_t pos, char* buf, size_t n, int& code) {
    OVERLAPPED o{};
    o.Offset = static_cast<DWORD>(static_cast<uint64_t>(pos));
    o.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(pos) >> 32);
    DWORD want = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n);
    DWORD got = 0;
    if (ReadFile(h, buf, want, &got, &o)) return got;
    DWORD e = GetLastError();
    if (e == ERROR_HANDLE_EOF) return 0;
    code = static_cast<int>(e);
    return -1;
}

file_identity identity_of(const BY_HANDLE_FILE_INFORMATION& info) {
    return {info.dwVolumeSerialNumber,
            (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

}  // namespace

err os_file_open(const std::string& path, os_file_ptr* out) {
    // Shared for writing and deleting, so that the program writing the log
    // can go on and rotate it while it is read.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, share_all, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return err::text(system_error_text(last_system_error()));
    auto f = std::make_unique<os_file>();
    f->h = h;
    out->reset(f.release());
    return {};
}

int64_t os_file_read(os_file& f, char* buf, size_t n) {
    int64_t r = read_once(f.h, f.pos, buf, n, f.error);
    if (r > 0) f.pos += r;
    return r;
}

int64_t os_file_read_at(os_file& f, int64_t pos, char* buf, size_t n) {
    size_t done = 0;
    while (done < n) {
        int64_t r = read_once(f.h, pos + static_cast<int64_t>(done), buf + done, n - done, f.error);
        if (r < 0) return -1;
        if (r == 0) break;
        done += static_cast<size_t>(r);
    }
    return static_cast<int64_t>(done);
}

int64_t os_file_seek(os_file& f, int64_t pos) {
    if (pos < 0) {
        f.error = ERROR_NEGATIVE_SEEK;
        return -1;
    }
    f.pos = pos;
    return pos;
}

int64_t os_file_seek_end(os_file& f) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(f.h, &size)) {
        f.error = last_system_error();
        return -1;
    }
    f.pos = size.QuadPart;
    return f.pos;
}

int64_t os_file_tell(os_file& f) { return f.pos; }

int os_file_error(const os_file& f) { return f.error; }
void os_file_clear_error(os_file& f) { f.error = 0; }

bool os_file_identity(const os_file& f, file_identity* out) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(f.h, &info)) return false;
    *out = identity_of(info);
    return true;
}

path_info os_path_info(const std::string& path) {
    path_info info;
    // FILE_FLAG_BACKUP_SEMANTICS opens directories as well; no access is
    // asked for, only the attributes.
    HANDLE h = CreateFileA(path.c_str(), 0, share_all, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        info.error = last_system_error();
        return info;
    }
    BY_HANDLE_FILE_INFORMATION bh;
    bool ok = GetFileInformationByHandle(h, &bh);
    if (!ok) info.error = last_system_error();
    DWORD type = GetFileType(h);
    CloseHandle(h);
    if (!ok) return info;
    if (bh.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        info.kind = path_kind::directory;
    else
        info.kind = type == FILE_TYPE_DISK ? path_kind::file : path_kind::other;
    info.size = static_cast<int64_t>((static_cast<uint64_t>(bh.nFileSizeHigh) << 32) | bh.nFileSizeLow);
    info.identity = identity_of(bh);
    return info;
}

int os_list_dir(const std::string& dir, size_t max, std::vector<dir_entry>& out) {
    std::string pattern = dir.empty() ? "." : dir;
    if (pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
    pattern += '*';
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA(pattern.c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        // An empty directory (only possible at a drive's root) lists nothing.
        return e == ERROR_FILE_NOT_FOUND ? 0 : static_cast<int>(e);
    }
    do {
        if (out.size() >= max) break;
        std::string name = fd.cFileName;
        if (name == "." || name == "..") continue;
        // A directory junction or link is not a directory of its own.
        bool is_dir = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                      !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
        out.push_back({std::move(name), is_dir});
    } while (FindNextFileA(h, &fd));
    FindClose(h);
    return 0;
}

}  // namespace zp
