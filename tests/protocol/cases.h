// cases.h - reads the octet-level cases under tests/protocol/testdata: one case
// a line, fields split by " | ", blank lines and lines starting with '#' skipped.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace zp::test {

struct case_line {
    std::string where;  // file:line, for SCOPED_TRACE
    std::vector<std::string> field;
};

inline std::vector<case_line> read_cases(const std::string& name) {
    std::ifstream f(std::string(ZP_SOURCE_DIR) + "/tests/protocol/testdata/" + name);
    EXPECT_TRUE(f) << name;
    std::vector<case_line> out;
    std::string line;
    for (int n = 1; std::getline(f, line); ++n) {
        if (line.empty() || line[0] == '#') continue;
        case_line c{name + ":" + std::to_string(n), {}};
        for (size_t at = 0;;) {
            size_t bar = line.find(" | ", at);
            c.field.push_back(line.substr(at, bar == std::string::npos ? bar : bar - at));
            if (bar == std::string::npos) break;
            at = bar + 3;
        }
        out.push_back(std::move(c));
    }
    EXPECT_FALSE(out.empty()) << name;
    return out;
}

// Octets written as hex pairs ("7F 23"), quoted text ("host-1", no quote
// inside) and repetitions ("55*256").
inline std::vector<uint8_t> octets_of(const std::string& text) {
    std::vector<uint8_t> out;
    size_t at = 0;
    while (at < text.size()) {
        if (text[at] == ' ') {
            ++at;
        } else if (text[at] == '"') {
            size_t end = text.find('"', at + 1);
            out.insert(out.end(), text.begin() + static_cast<long>(at) + 1, text.begin() + static_cast<long>(end));
            at = end + 1;
        } else {
            auto octet = static_cast<uint8_t>(std::stoul(text.substr(at, 2), nullptr, 16));
            size_t count = 1;
            at += 2;
            if (at < text.size() && text[at] == '*') {
                size_t used = 0;
                count = std::stoul(text.substr(at + 1), &used);
                at += 1 + used;
            }
            out.insert(out.end(), count, octet);
        }
    }
    return out;
}

}  // namespace zp::test
