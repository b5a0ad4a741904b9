// config_win32.cpp - the configuration in the registry, and the state
// directories, on Windows.
#include <windows.h>

#include <cstdlib>

#include "core/config_os.h"
#include "core/file_text.h"

namespace zp {

namespace {

const char* env(const char* name) {
    const char* v = std::getenv(name);
    return v && *v ? v : nullptr;
}

// $var, else $base\Zerpal, else the fallback.
std::string dir_of(const char* var, const char* base, const char* fallback) {
    if (const char* v = env(var)) return v;
    if (const char* b = env(base)) return std::string(b) + "\\Zerpal";
    return fallback;
}

}  // namespace

std::string machine_config_dir() { return dir_of("ZERPAL_CONF_DIR", "ProgramData", "C:\\ProgramData\\Zerpal"); }
std::string user_config_dir() { return dir_of("ZERPAL_USER_CONF_DIR", "APPDATA", "C:\\Zerpal"); }
std::string machine_state_dir() { return dir_of("ZERPAL_STATE_DIR", "ProgramData", "C:\\ProgramData\\Zerpal"); }
std::string user_state_dir() { return dir_of("ZERPAL_USER_STATE_DIR", "LOCALAPPDATA", "C:\\Zerpal"); }

std::string default_log_file() { return "c:\\temp\\agent.log"; }

std::string registry_base() {
    const char* v = env("ZERPAL_REG_BASE");
    return v ? v : "SOFTWARE\\Zerpal";
}

}  // namespace zp

namespace zp {

namespace {

// Past the 1023 bytes a value may hold; a longer one is read no further than
// this, so that a huge value costs nothing.
constexpr DWORD max_read = 4096;

}  // namespace

struct config_source::impl {
    HKEY key = nullptr;
};

config_source::config_source(config_scope scope, const std::string& key_name) : impl_(std::make_unique<impl>()) {
    // The key's path was formatted into a buffer of 256 bytes.
    path_ = strprintf("%s\\%s", registry_base().c_str(), key_name.c_str()).substr(0, 255);
    HKEY root = scope == config_scope::user ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    LSTATUS rc = RegOpenKeyExA(root, path_.c_str(), 0, KEY_QUERY_VALUE, &impl_->key);
    if (rc != ERROR_SUCCESS) {
        impl_->key = nullptr;
        open_error_ = err::text(system_error_text(static_cast<int>(rc)));
    }
}

config_source::~config_source() {
    if (impl_->key) RegCloseKey(impl_->key);
}

err config_source::read(const char* name, std::string& out) const {
    DWORD type = 0, size = 0;
    LSTATUS rc = RegQueryValueExA(impl_->key, name, nullptr, &type, nullptr, &size);
    if (rc != ERROR_SUCCESS) return err::text(system_error_text(static_cast<int>(rc)));
    if (size > max_read) return err::text("Value longer than 1023 bytes");
    std::string data(size, '\0');
    rc = RegQueryValueExA(impl_->key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    if (rc != ERROR_SUCCESS) return err::text(system_error_text(static_cast<int>(rc)));
    data.resize(size);
    if (data.empty()) {  // a value without data reads as the empty text
        out.clear();
        return {};
    }
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_MULTI_SZ: {
        if (type == REG_MULTI_SZ) {
            // One string after the other, each ended by a zero byte.
            while (!data.empty() && data.back() == '\0') data.pop_back();
            for (char& ch : data)
                if (ch == '\0') ch = ',';
        } else {
            // A string ends at its first zero byte, as C reads it.
            data.resize(std::min(data.size(), data.find('\0')));
        }
        if (type == REG_EXPAND_SZ) {
            char expanded[max_read + 1];
            DWORD n = ExpandEnvironmentStringsA(data.c_str(), expanded, sizeof expanded);
            if (n == 0) return err::text(system_error_text(last_system_error()));
            if (n > sizeof expanded) return err::text("Value longer than 1023 bytes");
            data = expanded;
        }
        out = std::move(data);
        return {};
    }
    case REG_DWORD:
        if (data.size() != 4) break;
        out = std::to_string(static_cast<unsigned char>(data[0]) | static_cast<unsigned char>(data[1]) << 8 |
                             static_cast<unsigned char>(data[2]) << 16 |
                             static_cast<uint32_t>(static_cast<unsigned char>(data[3])) << 24);
        return {};
    case REG_QWORD: {
        if (data.size() != 8) break;
        uint64_t v = 0;
        for (int i = 7; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(data[static_cast<size_t>(i)]);
        out = std::to_string(v);
        return {};
    }
    default:
        break;
    }
    return format_error("Value of type %lu is not text", static_cast<unsigned long>(type));
}

}  // namespace zp
