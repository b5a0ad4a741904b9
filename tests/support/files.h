// files.h - test helpers for files and a temporary directory that every
// ZERPAL_* directory points into, so that no test reaches /etc or /var.
#pragma once

#include <stdlib.h>
#include <unistd.h>

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

inline bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// A fresh directory with etc/, user/, state/, ustate/, run/ and journal/ below it, the
// ZERPAL_* variables pointing there; removed with everything in it at the end.
class temp_env {
public:
    temp_env() {
        char tmpl[] = "/tmp/zp-test-XXXXXX";
        if (!::mkdtemp(tmpl)) std::abort();
        root = tmpl;
        const char* vars[][2] = {{"ZERPAL_CONF_DIR", "etc"}, {"ZERPAL_USER_CONF_DIR", "user"},
                                 {"ZERPAL_STATE_DIR", "state"}, {"ZERPAL_USER_STATE_DIR", "ustate"},
                                 {"ZERPAL_RUN_DIR", "run"}, {"ZERPAL_JOURNAL_DIR", "journal"}};
        for (auto& [var, sub] : vars) {
            std::filesystem::create_directory(path(sub));
            ::setenv(var, path(sub).c_str(), 1);
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
