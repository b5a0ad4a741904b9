// results.cpp - JSON lines of received results and the summary table.
#include "tools/zpserver/results.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "core/log.h"

namespace zp::server {

namespace {

const char* status_name(uint32_t s) {
    switch (s) {
    case 0: return "ok";
    case 1: return "warning";
    case 2: return "alert";
    case 3: return "error";
    default: return "?";
    }
}

std::string real_json(double d) {
    if (std::isnan(d)) return "\"nan\"";
    if (std::isinf(d)) return d > 0 ? "\"inf\"" : "\"-inf\"";
    return strprintf("%.17g", d);
}

std::string value_json(const result_value& v) {
    switch (v.kind) {
    case result_value::integer: return std::to_string(v.i);
    case result_value::real: return real_json(v.d);
    case result_value::text: return json_string(v.s);
    default: return "null";
    }
}

// The value as the table shows it: short, printable.
std::string value_text(const result_value& v) {
    std::string t;
    switch (v.kind) {
    case result_value::integer: t = std::to_string(v.i); break;
    case result_value::real: t = std::fabs(v.d) < 1e15 ? strprintf("%.1f", v.d) : strprintf("%g", v.d); break;
    case result_value::text: t = v.s; break;
    default: t = "-"; break;
    }
    for (auto& c : t) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
    }
    if (t.size() > 40) t = t.substr(0, 37) + "...";
    return t;
}

std::string path_text(const std::vector<std::string>& path) {
    std::string p;
    for (const auto& id : path) {
        if (!p.empty()) p += '/';
        p += id;
    }
    for (auto& c : p) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
    }
    return p;
}

}  // namespace

std::string json_string(std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c > 0x7E) {
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    return out;
}

std::string result_json(const std::string& agent, const std::string& domain, const check_result& r, bool ack) {
    std::string j = "{\"agent\":" + json_string(agent) + ",\"domain\":" + json_string(domain) + ",\"path\":[";
    for (size_t i = 0; i < r.path.size(); ++i) {
        if (i) j += ',';
        j += json_string(r.path[i]);
    }
    j += "],\"status\":" + std::to_string(r.status);
    j += ",\"checkTime\":" + std::to_string(r.check_time);
    j += ",\"comment\":" + json_string(r.comment);
    j += ",\"value\":" + value_json(r.value);
    j += ",\"identifier\":" + (r.identifier ? json_string(*r.identifier) : std::string("null"));
    j += ",\"alertGroup\":" + (r.alert_group ? json_string(*r.alert_group) : std::string("null"));
    j += std::string(",\"ack\":") + (ack ? "true" : "false") + "}";
    return j;
}

result_log::~result_log() {
    if (own_ && out_) std::fclose(out_);
}

err result_log::open(const std::string& path) {
    std::lock_guard lk(mu_);
    if (path.empty() || path == "-") {
        out_ = stdout;
        own_ = false;
        return {};
    }
    std::FILE* f = std::fopen(path.c_str(), "a");
    if (!f) return format_error("Error opening %s", path.c_str());
    if (own_ && out_) std::fclose(out_);
    out_ = f;
    own_ = true;
    return {};
}

void result_log::write(const std::string& agent, const std::string& domain, const std::vector<check_result>& results,
                       bool ack) {
    std::lock_guard lk(mu_);
    if (!out_) return;
    for (const auto& r : results) {
        std::string line = result_json(agent, domain, r, ack);
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), out_);
    }
    std::fflush(out_);
}

std::string host_info_json(const std::string& agent, const std::string& domain,
                           const std::vector<std::pair<std::string, std::string>>& lines) {
    std::string j = "{\"agent\":" + json_string(agent) + ",\"domain\":" + json_string(domain) + ",\"hostInfo\":[";
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i) j += ',';
        j += "[" + json_string(lines[i].first) + "," + json_string(lines[i].second) + "]";
    }
    return j + "]}";
}

void result_log::write_line(const std::string& line) {
    std::lock_guard lk(mu_);
    if (!out_) return;
    std::fwrite(line.data(), 1, line.size(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

void summary::set_host_info(const std::string& agent, std::vector<std::pair<std::string, std::string>> lines) {
    std::lock_guard lk(mu_);
    host_info_[agent] = std::move(lines);
}

void summary::add(const std::string& agent, const std::vector<check_result>& results) {
    std::lock_guard lk(mu_);
    for (const auto& r : results) {
        auto& e = rows_[{agent, path_text(r.path)}];
        ++e.count;
        e.status = r.status;
        e.value = value_text(r.value);
    }
}

std::string summary::render(size_t max_lines) const {
    std::lock_guard lk(mu_);
    std::string t;
    size_t lines = 0;
    for (const auto& [agent, info] : host_info_) {
        // Headings open a line of their own; continuation lines are indented.
        std::string line = path_text({agent}) + ":";
        auto flush = [&] {
            if (!line.empty()) t += line + "\n", ++lines;
            line.clear();
        };
        for (const auto& [label, value] : info) {
            std::string l = path_text({label}), v = path_text({value});
            if (v.empty()) {
                flush();
                line = "  " + l + ":";
            } else if (l.empty()) {
                line += ", " + v;
            } else {
                line += "  " + l + " " + v;
            }
            if (line.size() > 200) flush();
        }
        flush();
    }
    if (!host_info_.empty()) t += "\n", ++lines;

    auto rank = [](const std::string& path) {
        static const char* order[] = {"fs/", "mem/", "system/", "scm/", "proc/"};
        for (size_t i = 0; i < std::size(order); ++i)
            if (path.rfind(order[i], 0) == 0) return i;
        return std::size(order);
    };
    std::vector<const std::pair<const std::pair<std::string, std::string>, entry>*> rows;
    for (const auto& r : rows_) rows.push_back(&r);
    std::stable_sort(rows.begin(), rows.end(), [&](auto* a, auto* b) {
        return std::pair(a->first.first, rank(a->first.second)) < std::pair(b->first.first, rank(b->first.second));
    });
    size_t wa = 5, wp = 4;
    for (const auto& [k, e] : rows_) {
        wa = std::max(wa, std::min<size_t>(k.first.size(), 24));
        wp = std::max(wp, std::min<size_t>(k.second.size(), 60));
    }
    t += strprintf("%-*s  %-*s  %7s  %-7s  %s\n", static_cast<int>(wa), "agent", static_cast<int>(wp),
                   "check", "count", "status", "value");
    ++lines;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (lines + 1 >= max_lines && i + 1 < rows.size()) {
            t += strprintf("... and %zu more checks\n", rows.size() - i);
            break;
        }
        const auto& [k, e] = *rows[i];
        ++lines;
        t += strprintf("%-*.*s  %-*.*s  %7zu  %-7s  %s\n", static_cast<int>(wa), static_cast<int>(wa),
                       path_text({k.first}).c_str(), static_cast<int>(wp), static_cast<int>(wp), k.second.c_str(),
                       e.count, status_name(e.status), e.value.c_str());
    }
    return t;
}

size_t summary::checks() const {
    std::lock_guard lk(mu_);
    return rows_.size();
}

}  // namespace zp::server
