// fixture.h - what the end-to-end tests share: a temporary directory, the
// reference server started from the build tree on a loopback port, and
// reading back the files it writes.
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "process.h"

namespace zp::test {

namespace fs = std::filesystem;

inline std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream b;
    b << in.rdbuf();
    return b.str();
}

inline std::vector<std::string> lines_of(const fs::path& p) {
    std::ifstream in(p);
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// Writes `size` octets to `file`.
inline void write_upgrade_file(const fs::path& file, size_t size) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << std::string(size, 'u');
}

class ServerFixture : public ::testing::Test {
protected:
    fs::path dir;
    process server;
    uint16_t port = 0;

    void SetUp() override {
        char name[] = "/tmp/zp-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override {
        server.stop();
        if (HasFailure()) std::fprintf(stderr, "---- server log\n%s\n", server_log().c_str());
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // Starts the server with short intervals and the options given; reads the
    // port from its first line.
    void start_server(std::vector<std::string> extra = {}) {
        server.stop();
        std::vector<std::string> argv = {std::string(ZP_BINARY_DIR) + "/tools/zpserver/zpserver",
                                         "-p", "0", "-v", "--no-summary",
                                         "--state-dir", (dir / "server-state").string(),
                                         "--results", (dir / "results.jsonl").string(),
                                         "--frequency", "1", "--checkin-frequency", "1", "--io-timeout", "20"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        ASSERT_TRUE(server.start(argv, {}, dir.string(), "", (dir / "server.log").string()));
        std::string line = server.read_line(10);
        ASSERT_EQ(line.rfind("listening on 127.0.0.1:", 0), 0u) << line;
        port = static_cast<uint16_t>(std::stoi(line.substr(line.rfind(':') + 1)));
    }

    std::string server_log() const { return read_file(dir / "server.log"); }
    std::vector<std::string> results() const { return lines_of(dir / "results.jsonl"); }
};

}  // namespace zp::test
