// syslog_gen.h - the generated syslog-like text and the rule patterns that the
// log benchmarks share.
#pragma once

#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace zp::bench {

inline const char* const patterns[] = {
    "error",
    "Failed password for .* from [0-9.]+",
    "(ERROR|CRIT|FATAL)",
    "kernel: .*segfault at",
    "Out of memory: Kill(ed)? process [0-9]+",
    "sshd\\[[0-9]+\\]: Invalid user",
    "I/O error, dev [a-z]+, sector",
    "status=5[0-9][0-9]",
    "authentication failure",
    "disk (full|quota exceeded)",
    "Connection (reset|refused|timed out)",
    "panic",
    "warning: .*deferred",
    "BUG: soft lockup",
    "oom-killer",
    "link is (down|not ready)",
    "temperature above threshold",
    "EXT4-fs error",
    "nginx.*\" 50[0-9] ",
    "Too many open files",
};

inline const char* const normal[] = {
    "sshd[%d]: Accepted publickey for deploy from 10.0.%d.%d port %d ssh2",
    "CRON[%d]: (root) CMD (run-parts /etc/cron.hourly) job %d.%d.%d",
    "systemd[1]: Started Session %d of user app; slice %d.%d.%d.",
    "kernel: [%d.%d] eth0: renamed from veth%d%d",
    "nginx[%d]: 10.1.%d.%d - - \"GET /api/v1/items HTTP/1.1\" 200 %d",
    "postfix/smtpd[%d]: connect from mail%d.example.net[192.0.%d.%d]",
    "dhclient[%d]: DHCPACK of 10.0.%d.%d from 10.0.0.1 lease %d",
    "app[%d]: request id=%d handled in %d ms user=%d",
};

inline const char* const rare[] = {
    "sshd[%d]: Failed password for root from 10.9.%d.%d port %d ssh2",
    "app[%d]: ERROR database timeout after %d ms (try %d of %d)",
    "kernel: [%d.%d] app[%d]: segfault at %d ip 00007f sp 00007ff error 4",
    "kernel: [%d.%d] Out of memory: Killed process %d (java) score %d",
    "sshd[%d]: Invalid user admin from 10.7.%d.%d port %d",
    "nginx[%d]: 10.1.%d.%d - - \"POST /api HTTP/1.1\" 502 %d",
    "postfix/smtp[%d]: warning: queue %d.%d deferred for %d s",
    "kernel: [%d.%d] e1000e: eth%d NIC Link is Down %d",
};

inline std::string make_file(const std::string& path, size_t bytes) {
    std::mt19937 rng(42);
    std::ofstream f(path, std::ios::binary);
    std::string all;
    all.reserve(bytes + 256);
    char line[512];
    const char* months[] = {"Jan", "Feb", "Mar", "Dec"};
    while (all.size() < bytes) {
        int n = snprintf(line, sizeof line, "%s %2d %02d:%02d:%02d host%02d ", months[rng() % 4],
                         1 + static_cast<int>(rng() % 28), static_cast<int>(rng() % 24),
                         static_cast<int>(rng() % 60), static_cast<int>(rng() % 60),
                         static_cast<int>(rng() % 40));
        const char* fmt = rng() % 50 == 0 ? rare[rng() % std::size(rare)] : normal[rng() % std::size(normal)];
        n += snprintf(line + n, sizeof line - n, fmt, static_cast<int>(rng() % 30000),
                      static_cast<int>(rng() % 256), static_cast<int>(rng() % 256),
                      static_cast<int>(rng() % 65536));
        while (n < 115 + static_cast<int>(rng() % 20)) line[n++] = ' ';  // about 120 bytes a line
        line[n++] = '\n';
        all.append(line, static_cast<size_t>(n));
    }
    f.write(all.data(), static_cast<std::streamsize>(all.size()));
    return all;
}

inline std::vector<std::string_view> split_lines(const std::string& all) {
    std::vector<std::string_view> v;
    size_t start = 0;
    for (size_t i = all.find('\n'); i != std::string::npos; i = all.find('\n', start)) {
        v.emplace_back(all.data() + start, i - start);
        start = i + 1;
    }
    return v;
}

}  // namespace zp::bench
