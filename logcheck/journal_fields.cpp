// journal_fields.cpp - the fields of a journal entry that make its event log line.
#include "logcheck/journal_fields.h"

namespace zp {

namespace {

// The value of `item` when it is "NAME=value", cut at its first NUL.
bool value_of(std::string_view item, std::string_view name, std::string_view* value) {
    if (item.size() <= name.size() || item[name.size()] != '=' || item.substr(0, name.size()) != name) return false;
    std::string_view v = item.substr(name.size() + 1);
    *value = v.substr(0, v.find('\0'));
    return true;
}

void assign(std::string& to, std::string_view from) { to.assign(from.data(), from.size()); }

// Journal priorities to the line's levels: 0-2 Critical, 3 Error, 4 Warning,
// 5-6 Information, 7 Verbose.
int level_of(std::string_view priority) {
    static const int levels[8] = {1, 1, 1, 2, 3, 4, 4, 5};
    if (priority.size() != 1 || priority[0] < '0' || priority[0] > '7') return -1;
    return levels[priority[0] - '0'];
}

bool decimal(std::string_view text, uint32_t* out) {
    if (text.empty() || text.size() > 9) return false;
    uint32_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<uint32_t>(c - '0');
    }
    *out = n;
    return true;
}

}  // namespace

void journal_fields::clear() {
    level = -1;
    identifier.clear();
    comm.clear();
    facility.clear();
    uid.clear();
    host.clear();
    message.clear();
}

void journal_take_field(journal_fields& f, std::string_view item) {
    std::string_view v;
    if (item.empty()) return;
    switch (item[0]) {  // most items are none of these: one byte tells
    case 'M':
        if (value_of(item, "MESSAGE", &v)) assign(f.message, v);
        break;
    case 'P':
        if (value_of(item, "PRIORITY", &v)) f.level = level_of(v);
        break;
    case 'S':
        if (value_of(item, "SYSLOG_IDENTIFIER", &v))
            assign(f.identifier, v);
        else if (value_of(item, "SYSLOG_FACILITY", &v))
            assign(f.facility, v);
        break;
    case '_':
        if (value_of(item, "_COMM", &v))
            assign(f.comm, v);
        else if (value_of(item, "_UID", &v))
            assign(f.uid, v);
        else if (value_of(item, "_HOSTNAME", &v))
            assign(f.host, v);
        break;
    default:
        break;
    }
}

std::string_view journal_provider(const journal_fields& f) { return f.identifier.empty() ? f.comm : f.identifier; }

uint32_t journal_task(const journal_fields& f) {
    uint32_t n = 0;
    return decimal(f.facility, &n) ? n : 0;
}

bool journal_uid(const journal_fields& f, uint32_t* uid) { return decimal(f.uid, uid); }

void journal_append_payload(std::string& out, std::string_view item, size_t max) {
    std::string_view v;
    if (item.empty() || item[0] == '_' || value_of(item, "PRIORITY", &v) || value_of(item, "SYSLOG_IDENTIFIER", &v) ||
        value_of(item, "SYSLOG_FACILITY", &v))
        return;
    item = item.substr(0, item.find('\0'));
    if (out.size() + item.size() + 2 > max) return;
    out.append(item);
    out.append("\r\n");
}

}  // namespace zp
