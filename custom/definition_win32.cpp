// definition_win32.cpp - opening a definition file with its size cap.
#include "custom/definition_os.h"

#include <windows.h>

#include <string>

namespace zp::definition_os {

namespace {

struct handle_closer {
    HANDLE h;
    ~handle_closer() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

}  // namespace

// Who may change the file is not checked here: the owner-and-mode rule has
// no simple counterpart in Windows access lists, and the agent's directories
// there are protected by the installer's access lists. The file is taken as
// it is; only its kind and size are checked.
err read_trusted_file(const std::string& path, size_t max_bytes, std::string& out) {
    handle_closer f{CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (f.h == INVALID_HANDLE_VALUE) {
        // A directory cannot be opened as a file at all.
        DWORD attrs = GetFileAttributesA(path.c_str());
        if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY))
            return format_error("File %s is not a regular file", path.c_str());
        return err::text("Cannot open file");
    }
    if (GetFileType(f.h) != FILE_TYPE_DISK) return format_error("File %s is not a regular file", path.c_str());
    LARGE_INTEGER size;
    if (!GetFileSizeEx(f.h, &size)) return err::text("Cannot open file");
    if (static_cast<uint64_t>(size.QuadPart) > max_bytes) return format_error("File %s is too large", path.c_str());
    std::string data;
    char buf[8192];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(f.h, buf, sizeof buf, &n, nullptr)) return err::text("Cannot open file");
        if (n == 0) break;
        if (data.size() + n > max_bytes) return format_error("File %s is too large", path.c_str());
        data.append(buf, n);
    }
    out = std::move(data);
    return {};
}

}  // namespace zp::definition_os
