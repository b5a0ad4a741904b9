// channel_os.h - the host's channel event log interface as the event log
// reader needs it: open a channel, position it, step through its events with
// their properties rendered, take a bookmark, and list the channels. On Linux
// the channels are the systemd journal (the units with entries, and "journal"
// for all of it) and a bookmark is a journal cursor.
//
// Failures come back as an error text naming the call that failed and the
// system's reason; nothing here logs. A reader belongs to one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/err.h"

namespace zp {

// One event as rendered for the line. The views stay valid until the next
// call on the reader.
struct channel_event {
    int level = -1;  // 0 LogAlways ... 5 Verbose; -1 none or unknown
    std::string_view provider;
    uint32_t task = 0;
    uint32_t event_id = 0;
    std::string_view user;      // empty: no user, or one that cannot be looked up
    std::string_view computer;
    std::string_view message;   // empty: the event has none (see channel_event_data)
};

struct channel_reader;  // one open channel
struct channel_reader_deleter {
    void operator()(channel_reader* r) const;
};
using channel_reader_ptr = std::unique_ptr<channel_reader, channel_reader_deleter>;

// Whether the channel interface can be used (the journal can be opened);
// none when it can, else why not.
err channel_os_probe();

// Opens the channel `name`. *out is unchanged on failure.
err channel_open(std::string_view name, channel_reader_ptr* out);

// Where channel_seek_after left the reader.
enum class channel_seek { at_bookmark, gone, unusable };
// Positions the reader on the event of `bookmark`, so that channel_next
// returns the events after it. `gone`: that event is no longer there (the
// reader is then before the oldest event); `unusable`: the bookmark cannot be
// read (*why says why; the position is undefined).
err channel_seek_after(channel_reader& r, std::string_view bookmark, channel_seek* where, std::string* why);
// Positions before the oldest event.
err channel_seek_first(channel_reader& r);
// Positions on the last event, whose bookmark goes to *bookmark (left empty
// when the channel has no event), so that channel_next returns later ones.
err channel_seek_last(channel_reader& r, std::string* bookmark);

// Moves to the next event and renders it into *ev: 1, or 0 when there is none.
err channel_next(channel_reader& r, channel_event* ev, int* got);
// The event's other fields, each followed by CR LF, for an event without a
// message; at most `max` bytes.
void channel_event_data(channel_reader& r, size_t max, std::string* out);
// The bookmark of the event the reader is on.
err channel_bookmark(channel_reader& r, std::string* out);

// The channel names, each at most `max_name` bytes, at most `max_count` of them.
err channel_names(size_t max_name, size_t max_count, std::vector<std::string>& out);

}  // namespace zp
