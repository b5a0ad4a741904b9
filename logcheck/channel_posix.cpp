// channel_posix.cpp - the channel event log interface over the systemd journal
// (sd-journal): channels are units, "journal" is the whole journal, bookmarks
// are cursors.
#include <pwd.h>
#include <systemd/sd-journal.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "logcheck/channel_os.h"
#include "logcheck/journal_fields.h"

namespace zp {

namespace {

constexpr const char whole_journal[] = "journal";
constexpr size_t uid_cache_max = 1024;
constexpr size_t channel_field_max = 65536;

bool field_is(const void* data, size_t len, std::string_view name) {
    return len > name.size() && static_cast<const char*>(data)[name.size()] == '=' &&
           std::memcmp(data, name.data(), name.size()) == 0;
}

std::string_view item_of(const void* data, size_t len) { return {static_cast<const char*>(data), len}; }

err call_failed(const char* call, int r) { return format_error("%s: %s", call, system_error_text(-r).c_str()); }

err open_journal(sd_journal** j) {
    const char* dir = std::getenv("ZERPAL_JOURNAL_DIR");
    if (dir && *dir) {
        int r = sd_journal_open_directory(j, dir, 0);
        return r < 0 ? call_failed("sd_journal_open_directory", r) : err();
    }
    // The system's own journal: system services and the kernel of this machine.
    int r = sd_journal_open(j, SD_JOURNAL_LOCAL_ONLY | SD_JOURNAL_SYSTEM);
    return r < 0 ? call_failed("sd_journal_open", r) : err();
}

struct journal_closer {
    void operator()(sd_journal* j) const { sd_journal_close(j); }
};
using journal_ptr = std::unique_ptr<sd_journal, journal_closer>;

}  // namespace

struct channel_reader {
    journal_ptr j;
    // The fields of the current entry (copies: the journal may reuse its
    // buffer for the next item it decompresses).
    journal_fields fields;
    std::unordered_map<uint32_t, std::string> users;  // uid to name, "" unknown
};

void channel_reader_deleter::operator()(channel_reader* r) const { std::default_delete<channel_reader>()(r); }

err channel_os_probe() {
    sd_journal* j = nullptr;
    if (err e = open_journal(&j)) return e;
    journal_ptr held(j);
    if (!std::getenv("ZERPAL_JOURNAL_DIR") || !*std::getenv("ZERPAL_JOURNAL_DIR")) {
        // Opening succeeds even without permission; then no file is open.
        if (sd_journal_has_runtime_files(j) <= 0 && sd_journal_has_persistent_files(j) <= 0)
            return err::text("sd_journal_open: no journal file can be read");
    }
    return {};
}

err channel_open(std::string_view name, channel_reader_ptr* out) {
    sd_journal* j = nullptr;
    if (err e = open_journal(&j)) return e;
    channel_reader_ptr r(std::make_unique<channel_reader>().release());
    r->j.reset(j);
    // Fields beyond this are cut by the journal: one entry never takes more.
    sd_journal_set_data_threshold(j, channel_field_max);
    if (name != whole_journal) {
        std::string match = "_SYSTEMD_UNIT=";
        match.append(name.data(), name.size());
        int rc = sd_journal_add_match(j, match.data(), match.size());
        if (rc < 0) return call_failed("sd_journal_add_match", rc);
    }
    *out = std::move(r);
    return {};
}

err channel_seek_after(channel_reader& r, std::string_view bookmark, channel_seek* where, std::string* why) {
    std::string cursor(bookmark);
    int rc = sd_journal_seek_cursor(r.j.get(), cursor.c_str());
    if (rc < 0) {
        *where = channel_seek::unusable;
        *why = system_error_text(-rc);
        return {};
    }
    rc = sd_journal_next(r.j.get());
    if (rc < 0) return call_failed("sd_journal_next", rc);
    if (rc > 0) {
        rc = sd_journal_test_cursor(r.j.get(), cursor.c_str());
        if (rc < 0) return call_failed("sd_journal_test_cursor", rc);
        if (rc > 0) {
            *where = channel_seek::at_bookmark;
            return {};
        }
    }
    // The entry has gone (vacuumed or its file removed).
    *where = channel_seek::gone;
    return channel_seek_first(r);
}

err channel_seek_first(channel_reader& r) {
    int rc = sd_journal_seek_head(r.j.get());
    return rc < 0 ? call_failed("sd_journal_seek_head", rc) : err();
}

err channel_seek_last(channel_reader& r, std::string* bookmark) {
    bookmark->clear();
    int rc = sd_journal_seek_tail(r.j.get());
    if (rc < 0) return call_failed("sd_journal_seek_tail", rc);
    rc = sd_journal_previous(r.j.get());
    if (rc < 0) return call_failed("sd_journal_previous", rc);
    if (rc == 0) return {};
    return channel_bookmark(r, bookmark);
}

err channel_next(channel_reader& r, channel_event* ev, int* got) {
    sd_journal* j = r.j.get();
    int rc = sd_journal_next(j);
    if (rc < 0) return call_failed("sd_journal_next", rc);
    *got = rc > 0 ? 1 : 0;
    if (rc == 0) return {};
    r.fields.clear();
    const void* d;
    size_t l;
    sd_journal_restart_data(j);
    while ((rc = sd_journal_enumerate_available_data(j, &d, &l)) > 0) journal_take_field(r.fields, item_of(d, l));
    if (rc < 0) return call_failed("sd_journal_enumerate_data", rc);

    ev->level = r.fields.level;
    ev->provider = journal_provider(r.fields);
    ev->task = journal_task(r.fields);
    ev->event_id = 0;
    ev->computer = r.fields.host;
    ev->message = r.fields.message;
    ev->user = {};
    uint32_t uid = 0;
    if (journal_uid(r.fields, &uid)) {
        auto it = r.users.find(uid);
        if (it == r.users.end()) {
            if (r.users.size() >= uid_cache_max) r.users.clear();
            std::string name;
            struct passwd pw, *found = nullptr;
            char buf[4096];
            if (getpwuid_r(static_cast<uid_t>(uid), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_name)
                name = found->pw_name;
            it = r.users.emplace(uid, std::move(name)).first;
        }
        ev->user = it->second;
    }
    return {};
}

void channel_event_data(channel_reader& r, size_t max, std::string* out) {
    out->clear();
    sd_journal* j = r.j.get();
    const void* d;
    size_t l;
    sd_journal_restart_data(j);
    while (sd_journal_enumerate_available_data(j, &d, &l) > 0) journal_append_payload(*out, item_of(d, l), max);
}

err channel_bookmark(channel_reader& r, std::string* out) {
    char* c = nullptr;
    int rc = sd_journal_get_cursor(r.j.get(), &c);
    if (rc < 0) return call_failed("sd_journal_get_cursor", rc);
    out->assign(c);
    std::free(c);
    return {};
}

err channel_names(size_t max_name, size_t max_count, std::vector<std::string>& out) {
    sd_journal* j = nullptr;
    if (err e = open_journal(&j)) return e;
    journal_ptr held(j);
    int rc = sd_journal_query_unique(j, "_SYSTEMD_UNIT");
    if (rc < 0) return call_failed("sd_journal_query_unique", rc);
    std::vector<std::string> units;
    const void* d;
    size_t l;
    sd_journal_restart_unique(j);
    while (units.size() < max_count && (rc = sd_journal_enumerate_available_unique(j, &d, &l)) > 0) {
        if (!field_is(d, l, "_SYSTEMD_UNIT")) continue;
        std::string_view v = item_of(d, l).substr(14);
        v = v.substr(0, v.find('\0'));
        if (v.empty() || v.size() > max_name || v == whole_journal) continue;
        units.emplace_back(v);
    }
    if (rc < 0) return call_failed("sd_journal_enumerate_unique", rc);
    std::sort(units.begin(), units.end());
    out.clear();
    out.emplace_back(whole_journal);
    for (auto& u : units)
        if (out.size() < max_count) out.push_back(std::move(u));
    return {};
}

}  // namespace zp
