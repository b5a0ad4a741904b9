// logfile.cpp - the log scanner's check operation: the reading position and
// its variables, the rotation test, too-large files, and the silence watch.
#include "logcheck/logfile.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "core/clock.h"
#include "core/fatal.h"
#include "core/log.h"
#include "core/variables.h"
#include "devtree/scan.h"
#include "logcheck/channel.h"
#include "logcheck/logconf.h"
#include "logcheck/rotation.h"

namespace zp {

namespace {

log_file_hooks hooks;

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

void wait_seconds(int seconds) {
    if (hooks.wait)
        hooks.wait(seconds);
    else
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
}

void add_ok_result(devnode& node, const char* log_text) {
    auto res = alloc_resnode();
    res->time = time_now();
    res->status = status_ok;
    if (log_text) set_result_log_text(*res, log_text);
    append_result(node, std::move(res));
}

// Reads the head (up to 256 bytes from the start) and the tail (the 256 bytes
// before offset, when offset is at least 256) of the file as it is now.
void sample_file(os_file& f, log_file_state& st) {
    int64_t n = os_file_read_at(f, 0, reinterpret_cast<char*>(st.head), log_sample_size);
    st.head_len = n < 0 ? 0 : n;
    st.tail_len = 0;
    if (st.offset >= static_cast<int64_t>(log_sample_size)) {
        n = os_file_read_at(f, st.offset - static_cast<int64_t>(log_sample_size), reinterpret_cast<char*>(st.tail),
                            log_sample_size);
        st.tail_len = n < 0 ? 0 : n;
    }
}

void reset_to_start(log_file_state& st) {
    st.offset = 0;
    st.size = 0;
    st.head_len = 0;
    st.tail_len = 0;
}

// The position after a read of `f` that began at `start`: the state follows
// it, or the file counts as too large when the position cannot be represented.
void advance_state(devnode& node, log_file_state& st, os_file& f, int64_t start, int64_t pending_tail,
                   const std::string& path) {
    int64_t pos = os_file_tell(f);
    if (pos >= start) {
        st.size = pos;
        st.offset = pos - pending_tail;
        sample_file(f, st);
        return;
    }
    st.offset = -1;
    st.size = -1;
    auto res = alloc_resnode();
    res->time = time_now();
    res->status = status_alert;
    set_result_log_text(*res, "Log file is too large, not checking further entries.");
    append_result(node, std::move(res));
    log(3, "File '%s' too large, not checking further entries.", path.c_str());
}

std::string cut_key(std::string key, size_t max) {
    if (key.size() > max) key.resize(max);
    return key;
}

// Keys of the reading variables, as their 256- and 1024-byte buffers cut them.
std::string key_of(const char* prefix, const std::string& name) {
    bool bin = std::strcmp(prefix, "first_bin:") == 0 || std::strcmp(prefix, "last_bin:") == 0;
    std::string key = prefix;
    key += name;
    return cut_key(std::move(key), bin ? variable_max_size : 255);
}

void store(const std::string& key, const std::string& value) {
    if (err e = set_variable(key, value)) log(3, "%s", e.c_str());
}

int64_t silence_var(const char* prefix, const std::string& name, int64_t fallback) {
    const std::string* v = get_variable(key_of(prefix, name));
    if (!v) return fallback;
    return static_cast<int32_t>(std::strtol(v->c_str(), nullptr, 0));
}

bool parse_identity(const std::string& text, file_identity* out) {
    char* end = nullptr;
    unsigned long long dev = std::strtoull(text.c_str(), &end, 10);
    if (!end || *end != ':') return false;
    unsigned long long ino = std::strtoull(end + 1, &end, 10);
    if (*end != '\0') return false;
    *out = {dev, ino};
    return true;
}

// Loads a new state from the variables; a file never read is followed from
// its end on.
err load_state(devnode& node, log_file_state& st, os_file& f) {
    const std::string name = dotted_name(node);
    const std::string* off = get_variable(cut_key(name, variable_max_size));
    if (!off) off = get_variable(cut_key(group_path_name(node), variable_max_size));
    if (off) {
        st.offset = std::strtoll(off->c_str(), nullptr, 10);
    } else {
        int64_t end = os_file_seek_end(f);
        if (end < 0) return format_error("Error seeking end of logfile: %s", system_error_text(os_file_error(f)).c_str());
        st.offset = end;
        st.identity_known = os_file_identity(f, &st.identity);
    }
    const std::string* size = get_variable(key_of("size:", name));
    st.size = size ? std::strtoll(size->c_str(), nullptr, 10) : -1;
    const std::string* head = get_variable(key_of("first_bin:", name));
    st.head_len = head ? static_cast<int64_t>(log_hex_decode(*head, st.head)) : 0;
    const std::string* tail = get_variable(key_of("last_bin:", name));
    st.tail_len = tail ? static_cast<int64_t>(log_hex_decode(*tail, st.tail)) : 0;
    if (off) {
        const std::string* id = get_variable(key_of("file_id:", name));
        st.identity_known = id && parse_identity(*id, &st.identity);
    }
    log(-1, "first_data_len is %d, and last_data_len is %d", static_cast<int>(st.head_len),
        static_cast<int>(st.tail_len));
    return {};
}

// The rotation test of a file that is the one read before: the reason, or null.
const char* rotation_reason(log_file_state& st, os_file& f, int64_t* current_size) {
    const char* reason = nullptr;
    char buf[log_sample_size];
    if (st.head_len > 0) {
        int64_t n = os_file_read_at(f, 0, buf, static_cast<size_t>(st.head_len));
        if (n == st.head_len && std::memcmp(buf, st.head, static_cast<size_t>(n)) != 0) {
            reason = "content changes at beginning";
            log(-1, "Logfile must have been rotated because of changes at the beginning of the file");
        }
    } else {
        log(-1, "No first data stored for this file");
    }
    *current_size = os_file_seek_end(f);
    if (*current_size < st.offset) {
        reason = "smaller than before";
        log(-1, "Logfile is smaller than last time. Must be rotated");
    } else if (!reason && st.offset >= static_cast<int64_t>(log_sample_size)) {
        int64_t n = os_file_read_at(f, st.offset - static_cast<int64_t>(log_sample_size), buf, log_sample_size);
        if (n == static_cast<int64_t>(log_sample_size) && st.tail_len > 0 &&
            std::memcmp(buf, st.tail, static_cast<size_t>(st.tail_len)) != 0) {
            reason = "content changes at end";
            log(-1, "Logfile have changed in the last read data. Must be rotated");
        }
    }
    return reason;
}

// Reads what is left of a rotated file (`old_path`, from the state's offset to
// its end) before the new file. Returns true when it was read to its end (or
// has gone); false when reading stopped early, with the state following the
// old file so that the next check goes on there.
bool finish_rotated(devnode& node, log_file_state& st, const std::string& old_path, err* error) {
    os_file_ptr old;
    if (os_file_open(old_path, &old)) return true;
    if (os_file_seek(*old, st.offset) != st.offset) return true;
    int64_t tail = 0;
    bool finished = false;
    if (err e = log_read_entries(*old, node, false, &tail, &finished)) {
        *error = std::move(e);
        return false;
    }
    if (finished) return true;
    advance_state(node, st, *old, st.offset, tail, old_path);
    return false;
}

}  // namespace

bool log_checkin_due() { return hooks.checkin_due && hooks.checkin_due(); }

void set_log_file_hooks(const log_file_hooks& h) { hooks = h; }

void register_log_scanner(const log_file_hooks& h) {
    hooks = h;
    (void)load_channel_api();
    (void)register_scanner("log", scan_log, log_check);
}

std::string log_file_path(const devnode& node, path_style style) {
    // On Windows the group below "log" is the drive or share and the path is
    // the check's backslash name.
    if (style == path_style::windows) return backslash_name(node);
    // On Linux it is "/"; the groups below it are directories.
    std::vector<const std::string*> ids{&node.id};
    for (const devtree* g = node.parent; g && g->parent; g = g->parent) ids.push_back(&g->id);
    std::string path;
    for (size_t i = ids.size(); i-- > 0;) {
        if (i == ids.size() - 1 && i > 0 && *ids[i] == "/") {
            path.push_back('/');
            continue;
        }
        path.append(*ids[i]);
        if (i > 0) path.push_back('/');
    }
    return path;
}

std::string log_hex_encode(const unsigned char* data, size_t len) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(len * 2);
    for (size_t i = 0; i < len; i++) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

size_t log_hex_decode(std::string_view text, unsigned char* out, size_t max) {
    auto digit = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    size_t n = 0;
    for (size_t i = 0; i < text.size() && n < max; i += 2) {
        if (i + 1 >= text.size()) {
            log(3, "Odd number of characters in hex string \"%.*s\"", static_cast<int>(text.size()), text.data());
            return 0;
        }
        int hi = digit(text[i]), lo = digit(text[i + 1]);
        if (hi < 0 || lo < 0) {
            log(3, "Encountered wrong character in hex string '%c'", hi < 0 ? text[i] : text[i + 1]);
            return 0;
        }
        out[n++] = static_cast<unsigned char>(hi * 16 + lo);
    }
    return n;
}

void log_free_state(devnode& node) {
    if (node.state_tag != state_tag_log) fatal("Magic mismatch in log_free_state");
    node.state.reset();
    node.state_tag = state_tag_none;
    node.release_state = free_no_state;
}

void log_save_state(devnode& node, const log_file_state& st) {
    const std::string name = dotted_name(node);
    store(cut_key(name, variable_max_size), strprintf("%lld", static_cast<long long>(st.offset)));
    if (st.size == -1)
        delete_variable(key_of("size:", name));
    else
        store(key_of("size:", name), strprintf("%lld", static_cast<long long>(st.size)));
    store(key_of("first_bin:", name), log_hex_encode(st.head, static_cast<size_t>(st.head_len)));
    store(key_of("last_bin:", name), log_hex_encode(st.tail, static_cast<size_t>(st.tail_len)));
    if (st.identity_known)
        store(key_of("file_id:", name), strprintf("%llu:%llu", static_cast<unsigned long long>(st.identity.device),
                                                  static_cast<unsigned long long>(st.identity.inode)));
    else
        delete_variable(key_of("file_id:", name));
}

err log_check_file(devnode& node, bool is_new) {
    if (node.state_tag != state_tag_log || !node.state) fatal("Check state corrupt");
    auto& st = static_cast<log_file_state&>(*node.state);
    const std::string path = log_file_path(node);
    os_file_ptr f;
    err opened = os_file_open(path, &f);
    if (opened) {
        wait_seconds(1);
        opened = os_file_open(path, &f);
    }
    if (opened) return format_error("Could not open log file \"%s\": %s", path.c_str(), opened.c_str());
    if (is_new) {
        if (err e = load_state(node, st, *f)) return e;
        st.loaded = true;
    }

    if (st.offset < 0) {
        int64_t end = os_file_seek_end(*f);
        if (end <= 0 || end > log_reread_limit) return {};
        st.offset = 0;
        add_ok_result(node, "Log file truncated, once again checking entries.");
        log(3, "File '%s' truncated, once again checking entries.", path.c_str());
    }

    file_identity id;
    const bool have_id = os_file_identity(*f, &id);
    const char* reason = nullptr;
    int64_t current_size = 0;
    std::string rest_of;  // a rotated file read first
    if (have_id && st.identity_known && !(id == st.identity)) {
        // Another file under the path: the one read before was renamed away.
        reason = "new file under the old name";
        rest_of = find_renamed_file(path, st.identity);
        current_size = os_file_seek_end(*f);
    } else {
        reason = rotation_reason(st, *f, &current_size);
        // The same file cut short or rewritten: a copy may hold what it had.
        if (reason) rest_of = find_file_copy(path, st, have_id ? &id : nullptr);
    }
    if (reason && !rest_of.empty()) {
        log(1, "Rotation of log file '%s' detected (%s); reading the rest of '%s' first", path.c_str(), reason,
            rest_of.c_str());
        err e;
        if (!finish_rotated(node, st, rest_of, &e)) return e;
    } else if (reason) {
        log(1, "Rotation of log file '%s' detected (%s)", path.c_str(), reason);
    }

    bool size_changed;
    if (reason) {
        reset_to_start(st);
        os_file_seek(*f, 0);
        size_changed = true;
    } else {
        log(-1, "Log is not rotated");
        os_file_seek(*f, st.offset);
        size_changed = current_size != st.size;
    }
    const int64_t start = st.offset;
    int64_t tail = 0;
    if (err e = log_read_entries(*f, node, size_changed, &tail)) return e;
    advance_state(node, st, *f, start, tail, path);
    st.identity_known = have_id;
    if (have_id) st.identity = id;
    return {};
}

err log_check(devnode& node, resnode*) {
    devtree* kind = ancestor_group(node, 2);
    const bool systemd = kind && iequals(kind->id, "/systemd");
    if (!node.state) {
        node.state_tag = state_tag_log;
        node.release_state = log_free_state;
        if (!systemd) node.state = std::make_unique<log_file_state>();
    }
    if (node.state_tag != state_tag_log) fatal("Check state corrupt");
    err outcome;
    if (!systemd) {
        auto& st = static_cast<log_file_state&>(*node.state);
        if (!kind || (!iequals(kind->id, "/forward") && !iequals(kind->id, "eventlog"))) {
            outcome = log_check_file(node, !st.loaded);
        } else {
            const bool is_new = !st.loaded;
            st.loaded = true;
            if (iequals(kind->id, "eventlog")) {
                if (channel_api_available())
                    outcome = execute_event_log_check(node, is_new);
                else
                    outcome = format_error("Event log \"%s\" cannot be read in this build", node.id.c_str());
            }
        }
        if (st.loaded) log_save_state(node, st);
    }
    if (node.results.empty()) add_ok_result(node, nullptr);
    return outcome;
}

void log_silence_check(devnode& node, int64_t now) {
    const int64_t warn = node.lognode ? node.lognode->warn_silence_limit : -1;
    const int64_t alert = node.lognode ? node.lognode->alert_silence_limit : -1;
    const std::string name = dotted_name(node);
    const int64_t stamp = silence_var("timestamp:", name, now);
    const int64_t sent = silence_var("status_sent:", name, 0);
    const int64_t silent = now - stamp;
    const bool alert_due = alert != -1 && alert <= silent;
    int64_t status;
    if (sent == 1)
        status = alert_due ? 2 : 1;
    else if (sent != 0)
        status = sent;
    else
        status = alert_due ? 2 : (warn == -1 || warn > silent) ? 0 : 1;
    store(key_of("timestamp:", name), strprintf("%i", static_cast<int>(stamp)));
    store(key_of("status_sent:", name), strprintf("%i", static_cast<int>(status)));
    if (status == sent) return;
    auto res = alloc_resnode();
    res->time = now;
    res->status = static_cast<uint32_t>(status);
    set_result_log_text(*res, strprintf("Log silent for %i hours and %i minutes", static_cast<int>(silent / 3600),
                                        static_cast<int>((silent % 3600) / 60)));
    append_result(node, std::move(res));
}

}  // namespace zp
