// file_win32.cpp - opening files without blocking on what is not a disk file,
// and file kinds, on Windows.
#include <windows.h>

#include "core/file_os.h"

namespace zp {

namespace {

struct handle_closer {
    HANDLE h;
    ~handle_closer() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

file_kind kind_of_attributes(DWORD attrs) {
    if (attrs == INVALID_FILE_ATTRIBUTES) return file_kind::missing;
    if (attrs & FILE_ATTRIBUTE_DIRECTORY) return file_kind::directory;
    if (attrs & FILE_ATTRIBUTE_DEVICE) return file_kind::char_device;
    return file_kind::regular;
}

file_kind kind_of_handle(HANDLE h) {
    switch (GetFileType(h)) {
    case FILE_TYPE_DISK: {
        BY_HANDLE_FILE_INFORMATION info;
        if (GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            return file_kind::directory;
        return file_kind::regular;
    }
    case FILE_TYPE_PIPE: return file_kind::fifo;
    case FILE_TYPE_CHAR: {
        DWORD mode;
        return GetConsoleMode(h, &mode) ? file_kind::terminal : file_kind::char_device;
    }
    default: return file_kind::other;
    }
}

bool denied_code(DWORD code) { return code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION; }

bool missing_code(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

}  // namespace

file_kind kind_of_path(const std::string& path) { return kind_of_attributes(GetFileAttributesA(path.c_str())); }

err read_regular_file(const std::string& path, size_t max_bytes, std::string& out, file_kind& kind, bool& denied) {
    denied = false;
    kind = file_kind::missing;
    // Opening a directory needs FILE_FLAG_BACKUP_SEMANTICS; its kind is then
    // taken from the handle like that of a pipe or a device.
    handle_closer f{CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
    if (f.h == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        denied = denied_code(code);
        if (!missing_code(code)) kind = kind_of_path(path);
        if (kind == file_kind::regular || kind == file_kind::missing)
            return err::text(system_error_text(static_cast<int>(code)));
        return {};
    }
    kind = kind_of_handle(f.h);
    if (kind != file_kind::regular) return {};
    std::string data;
    char buf[8192];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(f.h, buf, sizeof buf, &n, nullptr)) {
            DWORD code = GetLastError();
            denied = denied_code(code);
            return err::text(system_error_text(static_cast<int>(code)));
        }
        if (n == 0) break;
        data.append(buf, n);
        if (data.size() > max_bytes) break;
    }
    out = std::move(data);
    return {};
}

}  // namespace zp
