// file_replace_win32.cpp - atomic file replacement on Windows.
#include <windows.h>

#include "core/file_os.h"

namespace zp {

namespace {

err sys_err(const char* step) {
    return format_error("%s: %s", step, system_error_text(last_system_error()).c_str());
}


err make_dirs(const std::string& dir) {
    if (dir.empty() || GetFileAttributesA(dir.c_str()) != INVALID_FILE_ATTRIBUTES) return {};
    std::string parent = parent_dir(dir);
    if (parent != dir && parent != ".")
        if (err e = make_dirs(parent)) return e;
    if (!CreateDirectoryA(dir.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return sys_err("mkdir");
    return {};
}

struct handle_closer {
    HANDLE h;
    ~handle_closer() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

}  // namespace

std::string parent_dir(const std::string& path) {
    size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos) return ".";
    return path.substr(0, slash);
}

err replace_file(const std::string& path, const std::string& data) {
    if (err e = make_dirs(parent_dir(path))) return e;
    std::string tmp = path + ".tmp";
    {
        handle_closer f{CreateFileA(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr)};
        if (f.h == INVALID_HANDLE_VALUE) return sys_err("open");
        size_t done = 0;
        while (done < data.size()) {
            DWORD n = 0;
            DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1u << 30));
            if (!WriteFile(f.h, data.data() + done, chunk, &n, nullptr)) {
                err e = sys_err("write");
                CloseHandle(f.h);
                f.h = INVALID_HANDLE_VALUE;
                DeleteFileA(tmp.c_str());
                return e;
            }
            done += n;
        }
        if (!FlushFileBuffers(f.h)) {
            err e = sys_err("fsync");
            CloseHandle(f.h);
            f.h = INVALID_HANDLE_VALUE;
            DeleteFileA(tmp.c_str());
            return e;
        }
    }
    // The replacing rename reaches the disk before the call returns.
    if (!MoveFileExA(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        err e = sys_err("rename");
        DeleteFileA(tmp.c_str());
        return e;
    }
    return {};
}

bool path_exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace zp
