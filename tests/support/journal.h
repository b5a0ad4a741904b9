// journal.h - a journal directory for tests: entries given as "NAME=value"
// lines are written in export format by systemd-journal-remote.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/files.h"

namespace zp::test {

class journal_writer {
public:
    // `dir` must exist; the export text is made beside it.
    explicit journal_writer(std::string dir) : dir_(std::move(dir)) {}

    // Appends the entries to `file`.journal, with increasing timestamps.
    void add(const std::vector<std::string>& entries, const std::string& file = "remote") {
        std::string text;
        for (const auto& e : entries) {
            seq_++;
            text += "__REALTIME_TIMESTAMP=" + std::to_string(1700000000000000ULL + seq_ * 1000) + "\n";
            text += "__MONOTONIC_TIMESTAMP=" + std::to_string(seq_ * 1000) + "\n";
            text += "_BOOT_ID=0123456789abcdef0123456789abcdef\n" + e + "\n";
        }
        const std::string in = dir_ + ".export";
        write_file(in, text);
        const char* tool = exists("/usr/lib/systemd/systemd-journal-remote") ? "/usr/lib/systemd/systemd-journal-remote"
                                                                             : "/lib/systemd/systemd-journal-remote";
        std::string cmd = std::string(tool) + " --output=" + dir_ + "/" + file + ".journal " + in + " 2>/dev/null";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    }

private:
    std::string dir_;
    uint64_t seq_ = 0;
};

// A binary field of export format: the name, its length (64 bits, little
// endian) and the bytes.
inline std::string journal_binary_field(const std::string& name, const std::string& value) {
    std::string f = name + "\n";
    for (int i = 0; i < 8; i++) f.push_back(static_cast<char>((value.size() >> (8 * i)) & 0xff));
    return f + value + "\n";
}

}  // namespace zp::test
