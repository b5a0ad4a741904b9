// results_file.cpp - writing and reading the results that wait for the server.
#include "devtree/results_file.h"

#include <cstdlib>
#include <unordered_map>

#include "core/file_os.h"
#include "core/file_text.h"
#include "core/log.h"
#include "core/variables.h"
#include "devtree/check.h"

namespace zp {

namespace {

constexpr const char* header = "zerpal-results 1";
// The budget holds at most 6.7 MB of results; escaped texts at most triple.
constexpr size_t file_max = 64u << 20;

// Absent: "-"; present: "=" and the bytes, those outside 0x21-0x7e and "%"
// written as "%XX".
void put_field(std::string& out, std::optional<std::string_view> v) {
    static const char hex[] = "0123456789ABCDEF";
    out += ' ';
    if (!v) {
        out += '-';
        return;
    }
    out += '=';
    for (char ch : *v) {
        auto b = static_cast<unsigned char>(ch);
        if (b > 0x20 && b < 0x7f && b != '%') {
            out += ch;
        } else {
            out += '%';
            out += hex[b >> 4];
            out += hex[b & 15];
        }
    }
}

bool get_field(std::string_view in, std::optional<std::string>& out) {
    if (in == "-") {
        out.reset();
        return true;
    }
    if (in.empty() || in[0] != '=') return false;
    std::string v;
    for (size_t i = 1; i < in.size(); i++) {
        if (in[i] != '%') {
            v += in[i];
            continue;
        }
        if (i + 2 >= in.size()) return false;
        char* end = nullptr;
        std::string two(in.substr(i + 1, 2));
        long b = std::strtol(two.c_str(), &end, 16);
        if (*end != '\0' || two[0] == '-' || two[0] == '+') return false;
        v += static_cast<char>(b);
        i += 2;
    }
    out = std::move(v);
    return true;
}

std::vector<std::string_view> split(std::string_view line) {
    std::vector<std::string_view> parts;
    size_t i = 0;
    while (i <= line.size()) {
        size_t j = line.find(' ', i);
        if (j == std::string_view::npos) j = line.size();
        parts.push_back(line.substr(i, j - i));
        i = j + 1;
    }
    return parts;
}

bool get_int(std::string_view s, long long& v) {
    std::string t(s);
    if (t.empty()) return false;
    char* end = nullptr;
    v = std::strtoll(t.c_str(), &end, 10);
    return *end == '\0';
}

template <typename F>
void each_check(const devtree_list& tree, F&& f) {
    for (const auto& g : tree) {
        for (const auto& n : g->checks) f(*n);
        each_check(g->children, f);
    }
}

}  // namespace

std::string results_file_path() { return variables_file() + ".results"; }

std::string serialize_results(const devtree_list& tree) {
    std::string out = header;
    out += '\n';
    each_check(tree, [&](const devnode& n) {
        if (!n.identifier || n.results.empty()) return;
        out += 'c';
        put_field(out, std::string_view(*n.identifier));
        out += '\n';
        for (const auto& r : n.results) {
            out += strprintf("r %lld %u %d %.17g", static_cast<long long>(r.time), r.status, r.ivalue, r.dvalue);
            put_field(out, r.text());
            put_field(out, r.log_text());
            put_field(out, r.alert_group());
            out += '\n';
        }
    });
    out += "end\n";
    return out;
}

err parse_results(std::string_view data, std::vector<saved_results>& out, size_t* dropped) {
    std::vector<saved_results> got;
    size_t over = 0;
    size_t pos = 0;
    int line_no = 0;
    bool ended = false;
    while (pos < data.size()) {
        size_t nl = data.find('\n', pos);
        if (nl == std::string_view::npos) return err::text("Results file ends inside a line");
        std::string_view line = data.substr(pos, nl - pos);
        pos = nl + 1;
        auto bad = [&] { return format_error("Bad line %d in results file", line_no + 1); };
        if (line_no++ == 0) {
            if (line != header) return err::text("Not a results file");
            continue;
        }
        if (ended) return bad();
        auto parts = split(line);
        if (parts.size() == 1 && parts[0] == "end") {
            ended = true;
        } else if (parts.size() == 2 && parts[0] == "c") {
            std::optional<std::string> id;
            if (!get_field(parts[1], id) || !id) return bad();
            got.push_back({std::move(*id), {}});
        } else if (parts.size() == 8 && parts[0] == "r" && !got.empty()) {
            long long t, status, ivalue;
            std::optional<std::string> text, log_text, group;
            if (!get_int(parts[1], t) || !get_int(parts[2], status) || !get_int(parts[3], ivalue) ||
                !get_field(parts[5], text) || !get_field(parts[6], log_text) || !get_field(parts[7], group))
                return bad();
            std::string d(parts[4]);
            char* end = nullptr;
            double dvalue = std::strtod(d.c_str(), &end);
            if (d.empty() || *end != '\0' || status < 0 || status > 3 || ivalue < INT32_MIN || ivalue > INT32_MAX)
                return bad();
            if (result_budget_used() > result_budget_limit()) {
                over++;
                continue;
            }
            auto r = alloc_resnode();
            r->time = t;
            r->status = static_cast<uint32_t>(status);
            r->ivalue = static_cast<int32_t>(ivalue);
            r->dvalue = dvalue;
            if (text) set_result_text(*r, *text);
            if (log_text) set_result_log_text(*r, *log_text);
            if (group) r->set_alert_group(*group);
            got.back().results.push_back(std::move(r));
        } else {
            return bad();
        }
    }
    if (!ended) return err::text("Results file ends early");
    out = std::move(got);
    if (dropped) *dropped = over;
    return {};
}

err save_results_file(const std::string& path, const devtree_list& tree) {
    return replace_file(path, serialize_results(tree));
}

void restore_results_file(const std::string& path, devtree_list& tree) {
    if (!path_exists(path)) return;
    std::string data;
    std::vector<saved_results> saved;
    size_t dropped = 0;
    err e = read_text_file(path, file_max, data);
    if (!e) e = parse_results(data, saved, &dropped);
    if (e) {
        log(3, "Unable to read results file \"%s\": %s", path.c_str(), e.c_str());
        return;
    }
    std::unordered_map<std::string, devnode*> by_id;
    each_check(tree, [&](devnode& n) {
        if (n.identifier) by_id.emplace(*n.identifier, &n);
    });
    size_t restored = 0, gone = 0;
    for (auto& s : saved) {
        auto it = by_id.find(s.identifier);
        if (it == by_id.end()) {
            gone += s.results.size();
            continue;
        }
        devnode& n = *it->second;
        result_queue q;
        for (auto& r : s.results) q.push_back(std::move(r));
        restored += s.results.size();
        while (auto r = n.results.pop_front()) q.push_back(std::move(r));
        n.results = std::move(q);
        apply_retention(n);
    }
    log(1, "Restored %zu results kept at the last stop", restored);
    if (gone + dropped > 0)
        log(2, "Dropped %zu kept results of checks no longer configured and %zu beyond the result budget", gone,
            dropped);
}

}  // namespace zp
