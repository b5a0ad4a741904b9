// variables.cpp - the variables store, its write-behind rule and its file.
//
// The file is text: a header line, one line per variable in store order
// (newest first), and an end line with the count, so that a cut-off file is
// recognised. Keys and values are arbitrary bytes; every byte outside
// "!".."~" and the backslash itself are written as "\xHH":
//
//   zerpal-variables 1
//   host_id 4f2a
//   log\x20pos 1234
//   end 2
#include "core/variables.h"

#include <list>
#include <mutex>
#include <set>
#include <string_view>

#include "core/clock.h"
#include "core/log.h"
#include "core/variables_os.h"

namespace zp {

namespace {

struct variable {
    std::string key;
    std::string value;
};

struct store {
    std::mutex mu;             // the download thread's sessions use the store too
    std::list<variable> vars;  // newest first
    int64_t dirty_since = 0;   // 0 clean; 1 write at the next flush
    std::string file_name;
    std::string key_name = "ZPAgent";
    uint64_t writes = 0;
};

store& the_store() {
    static store s;
    return s;
}

constexpr const char* file_header = "zerpal-variables 1";
void escape(const std::string& in, std::string& out) {
    static const char hex[] = "0123456789abcdef";
    for (char ch : in) {
        auto b = static_cast<unsigned char>(ch);
        if (b > 0x20 && b < 0x7f && b != '\\') {
            out += ch;
        } else {
            out += "\\x";
            out += hex[b >> 4];
            out += hex[b & 15];
        }
    }
}

int hex_value(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

// Decodes an escaped field; false on a malformed escape or a stray byte.
bool unescape(std::string_view in, std::string& out) {
    out.clear();
    for (size_t i = 0; i < in.size(); ++i) {
        auto b = static_cast<unsigned char>(in[i]);
        if (b == '\\') {
            if (i + 3 >= in.size()) return false;
            if (in[i + 1] != 'x') return false;
            int hi = hex_value(in[i + 2]), lo = hex_value(in[i + 3]);
            if (hi < 0 || lo < 0) return false;
            out += static_cast<char>(hi * 16 + lo);
            i += 3;
        } else if (b > 0x20 && b < 0x7f) {
            out += in[i];
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string serialize_variables(const variable_pairs& vars) {
    std::string out = file_header;
    out += '\n';
    for (const auto& [key, value] : vars) {
        escape(key, out);
        out += ' ';
        escape(value, out);
        out += '\n';
    }
    out += strprintf("end %zu\n", vars.size());
    return out;
}

err parse_variables(const std::string& data, std::vector<std::pair<std::string, std::string>>& out) {
    std::vector<std::pair<std::string, std::string>> vars;
    if (data.empty()) {
        out = std::move(vars);
        return {};
    }
    std::string_view rest(data);
    auto next_line = [&](std::string_view& line) {
        size_t nl = rest.find('\n');
        if (nl == std::string_view::npos) return false;  // a line without its end: cut off
        line = rest.substr(0, nl);
        rest.remove_prefix(nl + 1);
        return true;
    };
    std::string_view line;
    if (!next_line(line) || line != file_header) return err::text("Variables file has no valid header");
    size_t line_no = 1;
    std::set<std::string> seen;
    for (;;) {
        if (!next_line(line)) return format_error("Variables file ends early after line %zu", line_no);
        ++line_no;
        if (line.substr(0, 4) == "end ") {
            if (line.substr(4) != std::to_string(vars.size()) || !rest.empty())
                return format_error("Variables file has a bad end at line %zu", line_no);
            break;
        }
        size_t sp = line.find(' ');
        if (sp == std::string_view::npos) return format_error("Variables file has a bad line %zu", line_no);
        std::string key, value;
        if (!unescape(line.substr(0, sp), key) || !unescape(line.substr(sp + 1), value))
            return format_error("Variables file has a bad line %zu", line_no);
        if (key.size() > variable_max_size || value.size() > variable_max_size)
            return err::text("Cannot read variabel key");
        if (!seen.insert(key).second)
            return format_error("Variables file has a repeated key at line %zu", line_no);
        vars.emplace_back(std::move(key), std::move(value));
    }
    out = std::move(vars);
    return {};
}

const std::string* get_variable(const std::string& key) {
    auto& s = the_store();
    std::lock_guard lk(s.mu);
    for (auto& v : s.vars)
        if (v.key == key) return &v.value;
    return nullptr;
}

std::optional<std::string> variable_value(const std::string& key) {
    auto& s = the_store();
    std::lock_guard lk(s.mu);
    for (auto& v : s.vars)
        if (v.key == key) return v.value;
    return std::nullopt;
}

err set_variable(const std::string& key, const std::string& value) {
    if (key.size() > variable_max_size || value.size() > variable_max_size)
        return format_error("Variable \"%.100s\" too long: keys and values hold at most %zu bytes",
                            key.c_str(), variable_max_size);
    auto& s = the_store();
    std::lock_guard lk(s.mu);
    for (auto& v : s.vars) {
        if (v.key == key) {
            v.value = value;
            if (s.dirty_since == 0) s.dirty_since = time_now();
            return {};
        }
    }
    s.vars.push_front(variable{key, value});
    if (s.dirty_since == 0) s.dirty_since = 1;
    return {};
}

void delete_variable(const std::string& key) {
    auto& s = the_store();
    std::lock_guard lk(s.mu);
    for (auto it = s.vars.begin(); it != s.vars.end(); ++it) {
        if (it->key == key) {
            s.vars.erase(it);
            if (s.dirty_since == 0) s.dirty_since = 1;
            return;
        }
    }
}

int set_variables_file(const std::string& name) {
    the_store().file_name = name;
    return 0;
}

const std::string& variables_file() { return the_store().file_name; }

void set_variables_key(const std::string& key_name) {
    auto& s = the_store();
    std::lock_guard lk(s.mu);
    s.key_name = key_name;
}

err read_variables(bool* fatal_fault) {
    auto& s = the_store();
    std::lock_guard lk(s.mu);
    if (fatal_fault) *fatal_fault = false;
    variable_pairs loaded;
    if (err e = load_variables(variables_place{s.file_name, s.key_name}, loaded, fatal_fault)) return e;
    s.vars.clear();
    for (auto& [k, v] : loaded) s.vars.push_back(variable{std::move(k), std::move(v)});
    s.dirty_since = 0;
    return {};
}

err flush_variables(bool force) {
    auto& s = the_store();
    std::lock_guard lk(s.mu);
    if (s.dirty_since == 0) return {};
    if (!force && s.dirty_since + 30 > time_now()) return {};
    if (s.file_name.empty()) return err::text("No variables file name");
    variable_pairs vars;
    vars.reserve(s.vars.size());
    for (const auto& v : s.vars) {
        log(-1, "%s: %d", v.key.c_str(), static_cast<int>(v.value.size()));
        vars.emplace_back(v.key, v.value);
    }
    if (err e = store_variables(variables_place{s.file_name, s.key_name}, vars)) return e;
    s.dirty_since = 0;
    s.writes++;
    return {};
}

uint64_t variables_writes() { return the_store().writes; }

void clear_variables() {
    auto& s = the_store();
    std::lock_guard lk(s.mu);
    s.vars.clear();
    s.dirty_since = 0;
}

}  // namespace zp
