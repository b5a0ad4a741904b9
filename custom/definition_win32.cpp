// definition_win32.cpp - opening a definition file and checking, from the
// security descriptors of the file and of its directories, who can change it.
#include "custom/definition_os.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

namespace zp::definition_os {

namespace {

struct handle_closer {
    HANDLE h;
    ~handle_closer() {
        if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

struct local_closer {
    HLOCAL p;
    ~local_closer() {
        if (p) LocalFree(p);
    }
};

std::string sid_text(PSID sid) {
    LPSTR s = nullptr;
    if (!sid || !IsValidSid(sid) || !ConvertSidToStringSidA(sid, &s)) return "(unknown)";
    local_closer c{s};
    return s;
}

// Who besides the agent's own user may own and change what it reads: the
// local Administrators group, SYSTEM and TrustedInstaller, which own the
// system's and the installers' files.
const char* const trusted_sids[] = {"S-1-5-32-544", "S-1-5-18",
                                    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"};
// In an access entry these two stand for the object's owner, who is checked
// on its own: CREATOR OWNER and OWNER RIGHTS.
const char* const owner_placeholders[] = {"S-1-3-0", "S-1-3-4"};

struct trusted {
    std::string me;  // the agent's user; empty when its token could not be read

    bool may_own(const std::string& sid) const {
        for (const char* t : trusted_sids)
            if (sid == t) return true;
        return !me.empty() && sid == me;
    }
    bool may_change(const std::string& sid) const {
        for (const char* t : owner_placeholders)
            if (sid == t) return true;
        return may_own(sid);
    }
};

trusted read_trusted() {
    trusted t;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return t;
    handle_closer c{token};
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size == 0) return t;
    std::vector<unsigned char> buf(size);
    if (GetTokenInformation(token, TokenUser, buf.data(), size, &size))
        t.me = sid_text(reinterpret_cast<TOKEN_USER*>(buf.data())->User.Sid);
    return t;
}

// Rights on the file that let their holder change what the agent reads, or
// give itself that right.
constexpr DWORD file_write_rights =
    FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
// Rights on a directory that let their holder remove or rename what is in it
// and so put another file in the definition file's place. Adding entries is
// not among them: it replaces nothing (the sticky directory's rule), and the
// root of every system drive lets all users create folders.
constexpr DWORD directory_write_rights = FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

// None when only trusted principals own and can change the object that
// `owner` and `dacl` describe.
err check_access(PSID owner, PACL dacl, bool directory, const std::string& path, const trusted& t) {
    const char* what = directory ? "Directory" : "File";
    std::string owner_sid = sid_text(owner);
    if (!t.may_own(owner_sid))
        return format_error("%s %s is owned by user %s, neither root nor the agent's user", what, path.c_str(),
                            owner_sid.c_str());
    auto writable = [&] { return format_error("%s %s is writable by group or others", what, path.c_str()); };
    // No access list at all lets everyone do everything.
    if (!dacl) return writable();
    DWORD rights = directory ? directory_write_rights : file_write_rights;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) return writable();
        auto* header = static_cast<ACE_HEADER*>(ace);
        // Entries only handed down to what the directory will hold.
        if (header->AceFlags & INHERIT_ONLY_ACE) continue;
        switch (header->AceType) {
        case ACCESS_DENIED_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_ACE_TYPE:
        case ACCESS_DENIED_OBJECT_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
            continue;  // a denial only takes rights away
        case ACCESS_ALLOWED_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
            break;
        default:
            return writable();  // a grant of a kind not read here counts against the file
        }
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (!(allowed->Mask & rights)) continue;
        if (!t.may_change(sid_text(&allowed->SidStart))) return writable();
    }
    return {};
}

// The path of the opened file after links and junctions, as "C:\dir\file" or
// "\\server\share\dir\file". Where the file system cannot say, the full
// form of `path` as given; empty when neither is known.
std::string final_path(HANDLE h, const std::string& path) {
    char buf[4096];
    DWORD n = GetFinalPathNameByHandleA(h, buf, sizeof buf, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= sizeof buf) n = GetFullPathNameA(path.c_str(), sizeof buf, buf, nullptr);
    if (n == 0 || n >= sizeof buf) return {};
    std::string p(buf, n);
    if (p.rfind("\\\\?\\UNC\\", 0) == 0) return "\\\\" + p.substr(8);
    if (p.rfind("\\\\?\\", 0) == 0) return p.substr(4);
    return p;
}

// Length of the root of `p`: 3 for "C:\", up to the separator after the
// share for "\\server\share\"; 0 for anything else.
size_t root_length(const std::string& p) {
    if (p.size() >= 3 && p[1] == ':' && p[2] == '\\') return 3;
    if (p.rfind("\\\\", 0) != 0) return 0;
    size_t s = p.find('\\', 2);
    if (s != std::string::npos) s = p.find('\\', s + 1);
    return s == std::string::npos ? 0 : s + 1;
}

}  // namespace

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

    const trusted t = read_trusted();
    {
        PSID owner = nullptr;
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR sd = nullptr;
        if (GetSecurityInfo(f.h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                            nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS)
            return err::text("Cannot open file");
        local_closer c{sd};
        if (auto e = check_access(owner, dacl, false, path, t)) return e;
    }

    // The directories that lead to the file itself, after following links:
    // whoever can remove an entry of one of them can put another file in its
    // place.
    std::string dir = final_path(f.h, path);
    size_t root = root_length(dir);
    if (root == 0) return err::text("Cannot open file");
    while (dir.size() > root) {
        size_t sep = dir.rfind('\\');
        dir.resize(sep == std::string::npos || sep < root ? root : sep);
        PSID owner = nullptr;
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR sd = nullptr;
        if (GetNamedSecurityInfoA(dir.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                  &owner, nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS)
            return err::text("Cannot open file");
        local_closer c{sd};
        if (auto e = check_access(owner, dacl, true, dir, t)) return e;
    }

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
