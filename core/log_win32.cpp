// log_win32.cpp - local time, file creation time and the log file itself on
// Windows.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "core/file_os.h"
#include "core/log_os.h"

namespace zp {

bool local_time(int64_t t, std::tm& out) {
    std::time_t tt = static_cast<std::time_t>(t);
    return localtime_s(&out, &tt) == 0;
}

err file_creation_time(const std::string& path, std::optional<int64_t>& out) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return err::text(system_error_text(last_system_error()));
    // 100-ns intervals since 1601 to seconds since 1970.
    uint64_t ft = (static_cast<uint64_t>(data.ftCreationTime.dwHighDateTime) << 32) |
                  data.ftCreationTime.dwLowDateTime;
    out = static_cast<int64_t>(ft / 10000000ULL) - 11644473600LL;
    return {};
}

err create_file(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return err::text(system_error_text(last_system_error()));
    CloseHandle(h);
    return {};
}

namespace {

// A disk file (not a directory) or a console opened as `h`.
bool log_target(HANDLE h) {
    DWORD type = GetFileType(h);
    if (type == FILE_TYPE_CHAR) {
        DWORD mode;
        return GetConsoleMode(h, &mode) != 0;
    }
    if (type != FILE_TYPE_DISK) return false;
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(h, &info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

std::FILE* open_append(const std::string& path) {
    // Not inherited (no security attributes); others may read, rotate or
    // delete the file while it is open.
    HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    if (!log_target(h)) {
        CloseHandle(h);
        return nullptr;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_APPEND | _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    std::FILE* f = _fdopen(fd, "ab");
    if (!f) _close(fd);  // closes the handle too
    return f;
}

bool usable_log_path(const std::string& path, std::string& what) {
    file_kind k = kind_of_path(path);
    if (k == file_kind::missing || k == file_kind::regular) return true;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        bool ok = log_target(h);
        CloseHandle(h);
        if (ok) return true;
    }
    what = file_kind_text(k);
    return false;
}

}  // namespace zp
