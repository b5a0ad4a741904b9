// files.h - test helpers for files and a temporary directory that every
// ZERPAL_* directory points into, so that no test reaches /etc or /var.
#pragma once

#include <stdlib.h>
#if defined(_WIN32)
#include <io.h>
#include <process.h>
#else
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace zp::test {

inline std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline void write_file(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

inline bool exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

// A new empty directory under the system's temporary directory.
inline std::string make_temp_dir() {
#if defined(_WIN32)
    for (unsigned i = 0;; ++i) {
        auto dir = std::filesystem::temp_directory_path() /
                   ("zp-test-" + std::to_string(::_getpid()) + "-" + std::to_string(::rand()) + std::to_string(i));
        std::error_code ec;
        if (std::filesystem::create_directory(dir, ec)) return dir.generic_string();
    }
#else
    char tmpl[] = "/tmp/zp-test-XXXXXX";
    if (!::mkdtemp(tmpl)) std::abort();
    return tmpl;
#endif
}

inline void set_env(const char* name, const std::string& value) {
#if defined(_WIN32)
    ::_putenv_s(name, value.c_str());
#else
    ::setenv(name, value.c_str(), 1);
#endif
}

#if defined(_WIN32)
// The registry side (registry_win32.cpp): the values of <base>\<key> under
// HKEY_CURRENT_USER (user) or HKEY_LOCAL_MACHINE replaced by the
// "name = value" lines of `text` ("#" lines and lines without "=" skipped);
// and both trees of <base> removed.
void write_registry_conf(const std::string& base, const std::string& key, bool user, const std::string& text);
void delete_registry_tree(const std::string& base);
#endif

// A registry base of its own for one test environment, so that tests running
// at once never share the agent's keys (Windows; unused on Linux).
inline std::string unique_registry_base() {
#if defined(_WIN32)
    return "SOFTWARE\\Zerpal-test\\" + std::to_string(::_getpid()) + "-" + std::to_string(::rand());
#else
    return {};
#endif
}

// A fresh directory with etc/, user/, state/, ustate/, run/ and journal/ below it, the
// ZERPAL_* variables pointing there (on Windows also a registry base of its
// own); removed with everything in it at the end.
class temp_env {
public:
    temp_env() {
        root = make_temp_dir();
        reg_base = unique_registry_base();
        if (!reg_base.empty()) set_env("ZERPAL_REG_BASE", reg_base);
        const char* vars[][2] = {{"ZERPAL_CONF_DIR", "etc"}, {"ZERPAL_USER_CONF_DIR", "user"},
                                 {"ZERPAL_STATE_DIR", "state"}, {"ZERPAL_USER_STATE_DIR", "ustate"},
                                 {"ZERPAL_RUN_DIR", "run"}, {"ZERPAL_JOURNAL_DIR", "journal"}};
        for (auto& [var, sub] : vars) {
            std::filesystem::create_directory(path(sub));
            set_env(var, path(sub));
        }
    }
    ~temp_env() {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
#if defined(_WIN32)
        delete_registry_tree(reg_base);
#endif
    }
    temp_env(const temp_env&) = delete;
    temp_env& operator=(const temp_env&) = delete;

    std::string path(const std::string& rel) const { return root + "/" + rel; }
    // The machine's and the user's configuration of `key`: the files on
    // Linux, the registry keys on Windows.
    void machine_conf(const std::string& text, const std::string& key = "ZPAgent") const {
#if defined(_WIN32)
        write_registry_conf(reg_base, key, false, text);
#else
        write_file(path("etc/" + key + ".conf"), text);
#endif
    }
    void user_conf(const std::string& text, const std::string& key = "ZPAgent") const {
#if defined(_WIN32)
        write_registry_conf(reg_base, key, true, text);
#else
        write_file(path("user/" + key + ".conf"), text);
#endif
    }
    // What "Cannot open path" names for the user's configuration of `key`.
    std::string user_conf_path(const std::string& key = "ZPAgent") const {
#if defined(_WIN32)
        return reg_base + "\\" + key;
#else
        return path("user/" + key + ".conf");
#endif
    }

    std::string root;
    std::string reg_base;
};

}  // namespace zp::test
