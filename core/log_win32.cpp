// log_win32.cpp - local time and file creation time on Windows.
#include <windows.h>

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

}  // namespace zp
