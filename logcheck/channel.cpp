// channel.cpp - the channel event log reader: positioning at the bookmark,
// the read loop in batches, the line of each event, and the channel list.
#include "logcheck/channel.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

#include "core/fatal.h"
#include "core/log.h"
#include "core/variables.h"
#include "logcheck/channel_os.h"
#include "logcheck/logfile.h"
#include "logcheck/rules.h"

namespace zp {

bool log_checkin_due();  // logfile.cpp: the hook, or never

// The reader's failures travel as exceptions inside it and become an error
// text at its edge (execute_event_log_check).
namespace error {
struct Exception {
    std::string text;
};
struct ESystemError : Exception {};
}  // namespace error

namespace {

bool loaded = false;
bool available = false;
constexpr size_t batch_size = 1024;      // events between two bookmarks
constexpr size_t event_data_max = 65535; // the other fields of an event without message
constexpr size_t channel_name_max = 2047;
constexpr size_t channel_count_max = 100000;

void raise(err e) {
    if (e) throw error::ESystemError{{e.message()}};
}

const char* level_name(int level) {
    static const char* const names[] = {"LogAlways", "Critical", "Error", "Warning", "Information", "Verbose"};
    return level >= 0 && level <= 5 ? names[level] : "N/A";
}

void append_number(std::string& line, uint32_t n) {
    char buf[16];
    auto r = std::to_chars(buf, buf + sizeof buf, n);
    line.append(buf, r.ptr);
}

bool over_half_budget() { return result_budget_used() > result_budget_limit() / 2; }

void keep_bookmark(log_file_state& st, const std::string& bookmark) {
    // A bookmark is kept whole or not at all: a cut one could not be restored.
    if (bookmark.size() > log_bookmark_max)
        throw error::ESystemError{{strprintf("Bookmark of %zu bytes is too long to keep", bookmark.size())}};
    std::memcpy(st.tail, bookmark.data(), bookmark.size());
    st.tail_len = static_cast<int64_t>(bookmark.size());
}

// The state of a check seen for the first time since start-up: the bookmark,
// and whether the channel was looked at before (offset 1).
void load_bookmark(devnode& node, log_file_state& st) {
    const std::string name = dotted_name(node);
    std::string key = "last_bin:" + name;
    if (key.size() > variable_max_size) key.resize(variable_max_size);
    const std::string* bin = get_variable(key);
    st.tail_len = bin ? static_cast<int64_t>(log_hex_decode(*bin, st.tail, log_bookmark_max)) : 0;
    const std::string* seen = get_variable(name.size() > variable_max_size ? name.substr(0, variable_max_size) : name);
    st.offset = seen && std::strtoll(seen->c_str(), nullptr, 10) > 0 ? 1 : 0;
}

// Puts the reader where the check goes on: after the bookmark; at the oldest
// event when the bookmark's event has gone or an empty channel was seen
// before (everything in it is new); else at the last event, so that a new
// check reports nothing old.
void position(channel_reader& r, devnode& node, log_file_state& st) {
    if (st.tail_len > 0) {
        std::string_view bookmark(reinterpret_cast<const char*>(st.tail), static_cast<size_t>(st.tail_len));
        log(-1, "Restored bookmark: %.*s", static_cast<int>(bookmark.size()), bookmark.data());
        channel_seek where = channel_seek::unusable;
        std::string why;
        raise(channel_seek_after(r, bookmark, &where, &why));
        if (where == channel_seek::at_bookmark) return;
        if (where == channel_seek::gone) {
            log(1, "Bookmark of event log %s is no longer in the journal; reading from its oldest entry",
                node.id.c_str());
            return;
        }
        log(1, "Bookmark of event log %s cannot be used: %s", node.id.c_str(), why.c_str());
    } else if (st.offset > 0) {
        raise(channel_seek_first(r));
        return;
    }
    std::string last;
    raise(channel_seek_last(r, &last));
    if (!last.empty()) keep_bookmark(st, last);
}

}  // namespace

void event_log_line(std::string& line, const channel_event& ev, std::string_view message) {
    line.clear();
    line.append(level_name(ev.level));
    line.push_back(':');
    line.append(ev.provider);
    line.push_back(':');
    append_number(line, ev.task);
    line.push_back(':');
    append_number(line, ev.event_id);
    line.push_back(':');
    if (ev.user.empty())
        line.append("N/A");
    else
        line.append(ev.user);
    line.push_back(':');
    line.append(ev.computer);
    line.push_back(':');
    line.append(message);
}

bool load_channel_api() {
    if (loaded) return available;
    loaded = true;
    err e = channel_os_probe();
    available = !e;
    if (e) log(1, "Event logs cannot be read: %s", e.c_str());
    return available;
}

bool channel_api_available() { return available; }

void reset_channel_api() {
    loaded = false;
    available = false;
}

err execute_event_log_check(devnode& node, bool is_new) {
    if (node.state_tag != state_tag_log || !node.state) fatal("Check state corrupt");
    auto& st = static_cast<log_file_state&>(*node.state);
    if (is_new) load_bookmark(node, st);
    unsigned lines = 0, matched = 0;
    try {
        channel_reader_ptr r;
        raise(channel_open(node.id, &r));
        position(*r, node, st);
        st.offset = 1;  // looked at: later checks of an empty channel read it from its start
        std::string line, data, bookmark;
        channel_event ev;
        for (bool more = true; more;) {
            size_t n = 0;
            while (n < batch_size) {
                int got = 0;
                raise(channel_next(*r, &ev, &got));
                if (!got) {
                    more = false;
                    break;
                }
                std::string_view message = ev.message;
                if (message.empty()) {
                    channel_event_data(*r, event_data_max, &data);
                    message = data;
                }
                log(-1, "* About to build log line");
                event_log_line(line, ev, message);
                if (log_got_entry(line, node)) matched++;
                lines++;
                n++;
                if (over_half_budget() || log_checkin_due()) {
                    more = false;
                    break;
                }
            }
            if (n > 0) {
                raise(channel_bookmark(*r, &bookmark));
                keep_bookmark(st, bookmark);
            }
        }
    } catch (const error::Exception& e) {
        return format_error("execute_event_log_check failed: %s", e.text.c_str());
    }
    log(0, "Checked event log %s, %u lines of which %u matched", node.id.c_str(), lines, matched);
    return {};
}

std::vector<std::string> event_log_channels() {
    if (!channel_api_available()) {
        log(0, "Scanning old EvenlLog");
        return {};
    }
    log(0, "Scanning new EvenlLog");
    std::vector<std::string> names;
    if (err e = channel_names(channel_name_max, channel_count_max, names)) {
        log(1, "Unable to list the event log channels: %s", e.c_str());
        return {};
    }
    return names;
}

}  // namespace zp
