// journal_fields.h - the fields of one journal entry that make its event log
// line: taken from the entry's data items ("NAME=value", any bytes), kept
// apart from the journal calls so that they can be tested on plain bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zp {

// What one entry gives its line. Values are cut at their first NUL.
struct journal_fields {
    int level = -1;          // the line's level (0 LogAlways ... 5 Verbose), -1 none
    std::string identifier;  // SYSLOG_IDENTIFIER
    std::string comm;        // _COMM
    std::string facility;    // SYSLOG_FACILITY
    std::string uid;         // _UID
    std::string host;        // _HOSTNAME
    std::string message;     // MESSAGE
    void clear();
};

// Takes one data item of the entry; items of other names are ignored.
void journal_take_field(journal_fields& f, std::string_view item);

// The provider: the identifier, else the command name.
std::string_view journal_provider(const journal_fields& f);
// SYSLOG_FACILITY as a number; 0 when absent or not a decimal number.
uint32_t journal_task(const journal_fields& f);
// _UID as a number; false when absent or not a decimal number below 10^9.
bool journal_uid(const journal_fields& f, uint32_t* uid);

// For an entry without message: whether the item is one of the fields its
// sender gave (not added by the journal, not shown elsewhere in the line);
// such items make the message, each followed by CR LF. Appends the item cut
// at its first NUL unless `out` would then exceed `max` bytes.
void journal_append_payload(std::string& out, std::string_view item, size_t max);

}  // namespace zp
