// journal_fuzz.cpp - fuzz target of the journal entry fields and the event
// log line made from them.
//
// The input is the data items of one entry, separated by line feeds (values
// may hold any byte but a line feed). Every item is taken, the line is built,
// and the items make the message of an entry without one; each bounded.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "logcheck/channel.h"
#include "logcheck/journal_fields.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view in(reinterpret_cast<const char*>(data), size);
    zp::journal_fields f;
    std::string payload;
    const size_t max = 4096;
    for (size_t start = 0; start <= in.size();) {
        size_t nl = in.find('\n', start);
        if (nl == std::string_view::npos) nl = in.size();
        std::string_view item = in.substr(start, nl - start);
        zp::journal_take_field(f, item);
        zp::journal_append_payload(payload, item, max);
        start = nl + 1;
    }
    if (payload.size() > max) abort();
    if (f.level < -1 || f.level > 5) abort();
    for (const std::string* s : {&f.identifier, &f.comm, &f.facility, &f.uid, &f.host, &f.message})
        if (s->find('\0') != std::string::npos) abort();
    zp::channel_event ev;
    ev.level = f.level;
    ev.provider = zp::journal_provider(f);
    ev.task = zp::journal_task(f);
    uint32_t uid = 0;
    if (zp::journal_uid(f, &uid) && uid >= 1000000000u) abort();
    ev.computer = f.host;
    ev.message = f.message;
    std::string line;
    zp::event_log_line(line, ev, f.message.empty() ? std::string_view(payload) : std::string_view(f.message));
    return 0;
}
