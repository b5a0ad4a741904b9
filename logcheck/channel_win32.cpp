// channel_win32.cpp - the channel event log interface on Windows: not in this
// build yet, so every call says so and nothing is ever found.
#include "logcheck/channel_os.h"

namespace zp {

namespace {

err unavailable() { return err::text("the channel event log interface is not available in this build"); }

}  // namespace

struct channel_reader {};

void channel_reader_deleter::operator()(channel_reader* r) const { std::default_delete<channel_reader>()(r); }

err channel_os_probe() { return unavailable(); }

err channel_open(std::string_view, channel_reader_ptr*) { return unavailable(); }

err channel_seek_after(channel_reader&, std::string_view, channel_seek* where, std::string* why) {
    *where = channel_seek::unusable;
    *why = "no channel interface";
    return unavailable();
}

err channel_seek_first(channel_reader&) { return unavailable(); }

err channel_seek_last(channel_reader&, std::string* bookmark) {
    bookmark->clear();
    return unavailable();
}

err channel_next(channel_reader&, channel_event*, int* got) {
    *got = 0;
    return unavailable();
}

void channel_event_data(channel_reader&, size_t, std::string* out) { out->clear(); }

err channel_bookmark(channel_reader&, std::string* out) {
    out->clear();
    return unavailable();
}

err channel_names(size_t, size_t, std::vector<std::string>& out) {
    out.clear();
    return {};
}

}  // namespace zp
