// registry_win32.cpp - the registry side of the test environment on Windows:
// configuration values written from "name = value" lines, and each
// environment's keys removed at its end.
#include <windows.h>

#include <string>

#include "tests/support/files.h"

namespace zp::test {

namespace {

std::string trimmed(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n\v\f"), e = s.find_last_not_of(" \t\r\n\v\f");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

}  // namespace

void write_registry_conf(const std::string& base, const std::string& key, bool user, const std::string& text) {
    HKEY k = nullptr;
    std::string path = base + "\\" + key;
    if (RegCreateKeyExA(user ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &k, nullptr) != ERROR_SUCCESS)
        std::abort();
    // The values of an earlier text go; subkeys (the variables) stay.
    for (;;) {
        char name[16384];
        DWORD len = sizeof name;
        if (RegEnumValueA(k, 0, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        RegDeleteValueA(k, name);
    }
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = trimmed(text.substr(pos, end - pos));
        pos = end + 1;
        size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
        std::string name = trimmed(line.substr(0, eq)), value = trimmed(line.substr(eq + 1));
        RegSetValueExA(k, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
    }
    RegCloseKey(k);
}

void delete_registry_tree(const std::string& base) {
    RegDeleteTreeA(HKEY_CURRENT_USER, base.c_str());
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, base.c_str());
}

}  // namespace zp::test
