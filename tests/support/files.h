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

// A fresh directory with etc/, user/, state/, ustate/, run/ and journal/ below it, the
// ZERPAL_* variables pointing there; removed with everything in it at the end.
class temp_env {
public:
    temp_env() {
        root = make_temp_dir();
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
    }
    temp_env(const temp_env&) = delete;
    temp_env& operator=(const temp_env&) = delete;

    std::string path(const std::string& rel) const { return root + "/" + rel; }
    void machine_conf(const std::string& text, const std::string& key = "ZPAgent") const {
        write_file(path("etc/" + key + ".conf"), text);
    }
    void user_conf(const std::string& text, const std::string& key = "ZPAgent") const {
        write_file(path("user/" + key + ".conf"), text);
    }

    std::string root;
};

}  // namespace zp::test
