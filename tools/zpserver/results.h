// results.h - where the server puts the results it receives: one JSON line
// per result (a file, or standard output), and a summary table of the last
// status and value of every check. Both are shared by the connection threads
// and take their own locks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "core/err.h"
#include "tools/zpserver/server_messages.h"

namespace zp::server {

// The text as a JSON string with its quotes: '"' and '\\' escaped, every
// octet outside 0x20..0x7E as \u00XX (so any byte sequence gives valid JSON).
std::string json_string(std::string_view text);

// One result as a JSON object on one line (no line feed): agent, domain,
// path, status, checkTime, comment, value, identifier, alertGroup, ack.
// Reals that JSON cannot hold (infinities, NaN) are written as strings.
std::string result_json(const std::string& agent, const std::string& domain, const check_result& r, bool ack);

// The host information lines of a registration as one JSON object on one
// line: agent, domain, hostInfo (a list of [label, value] pairs).
std::string host_info_json(const std::string& agent, const std::string& domain,
                           const std::vector<std::pair<std::string, std::string>>& lines);

class result_log {
public:
    result_log() = default;
    ~result_log();
    result_log(const result_log&) = delete;
    result_log& operator=(const result_log&) = delete;

    // Empty path or "-": standard output. A file is appended to.
    // Text: "Error opening %s".
    err open(const std::string& path);
    // Writes one line per result and flushes.
    void write(const std::string& agent, const std::string& domain, const std::vector<check_result>& results,
               bool ack);
    // Writes one line as it is and flushes.
    void write_line(const std::string& line);

private:
    std::mutex mu_;
    std::FILE* out_ = nullptr;
    bool own_ = false;
};

// The last status and value and the count of results of every check, and
// the host information each agent sent at registration.
class summary {
public:
    void add(const std::string& agent, const std::vector<check_result>& results);
    void set_host_info(const std::string& agent, std::vector<std::pair<std::string, std::string>> lines);
    // The host information, then a table with one line per check: agent,
    // path, count, status, value. File systems, memory and system figures
    // come first, then services, processes and the rest. At most `max_lines`
    // lines: what does not fit is counted in a last line.
    std::string render(size_t max_lines = SIZE_MAX) const;
    size_t checks() const;

private:
    struct entry {
        size_t count = 0;
        uint32_t status = 0;
        std::string value;
    };
    mutable std::mutex mu_;
    std::map<std::pair<std::string, std::string>, entry> rows_;
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> host_info_;
};

}  // namespace zp::server
