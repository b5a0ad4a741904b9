// counters.cpp - opening, reading and keeping performance counters, and the
// catalogue of counter names.
#include "monitors/counters/counters.h"

#include <cstring>
#include <utility>
#include <vector>

#include "core/fatal.h"
#include "core/log.h"
#include "monitors/counters/host_files.h"

namespace zp {

namespace {

// Status values of the counter layer, named as the server's logs know them.
constexpr uint32_t status_no_object = 0xC0000BB8;
constexpr uint32_t status_no_counter = 0xC0000BB9;
constexpr uint32_t status_no_instance = 0x800007D1;

const char* status_name(uint32_t status) {
    switch (status) {
    case 0xC0000BB9: return "PDH_CSTATUS_NO_COUNTER";
    case 0x800007D0: return "PDH_CSTATUS_NO_MACHINE";
    case 0xC0000BBB: return "PDH_MEMORY_ALLOCATION_FAILURE";
    case 0xC0000BBC: return "PDH_INVALID_HANDLE";
    case 0xC0000BBD: return "PDH_INVALID_ARGUMENT";
    case 0xC0000BBE: return "PDH_FUNCTION_NOT_FOUND";
    case 0xC0000BBF: return "PDH_CSTATUS_NO_COUNTERNAME";
    case 0xC0000BC0: return "PDH_CSTATUS_BAD_COUNTERNAME";
    default: return "Unknown error";
    }
}

// Paths were built in 200-byte buffers: longer ones are cut to 199 bytes.
constexpr size_t path_max = 199;

std::string counter_path(const char* object, const char* instance, const char* counter) {
    std::string p = instance ? strprintf("\\%s(%s)\\%s", object, instance, counter)
                             : strprintf("\\%s\\%s", object, counter);
    if (p.size() > path_max) p.resize(path_max);
    return p;
}

// Adds the counter to its query: the object, the counter and the instance
// must exist now. 0 or the status of the failure.
uint32_t add_counter(counter_state& c, const char* object, const char* instance, const char* counter) {
    c.object = find_counter_object(object);
    if (!c.object) return status_no_object;
    int index = find_counter(*c.object, counter);
    if (index < 0) return status_no_counter;
    c.index = static_cast<size_t>(index);
    if (!c.object->instances) {
        if (instance) return status_no_instance;
        return 0;
    }
    if (!instance) return status_no_instance;
    std::vector<std::string> names;
    if (c.object->instances(names)) return status_no_instance;
    for (const auto& n : names)
        if (n == instance) {
            c.instance = instance;
            return 0;
        }
    return status_no_instance;
}

enum class collect_status { ok, no_data, failed };

// Rate counters take the time of the collection, in seconds, as their base.
void set_rate_base(counter_kind kind, counter_sample& s) {
    if (kind == counter_kind::rate)
        s.base = static_cast<double>(s.taken_ms >= 0 ? s.taken_ms : monotonic_ms()) / 1000.0;
}

// Takes a new sample, keeping the one before it.
collect_status collect(counter_state& c, std::string& why) {
    counter_sample s;
    err e = c.object->read(c.instance, c.index, s);
    if (e) {
        c.samples = 0;
        if (e.is_no_result()) return collect_status::no_data;
        why = e.message();
        return collect_status::failed;
    }
    const counter_kind kind = c.object->counters[c.index].kind;
    set_rate_base(kind, s);
    // A sample from the same collection as the last one, or taken before the
    // base moved on (the same millisecond or clock tick), replaces the last
    // one: the value then spans the longer interval instead of being undefined.
    const bool same_collection = s.taken_ms >= 0 && s.taken_ms == c.last.taken_ms;
    const bool two_samples = kind != counter_kind::raw && kind != counter_kind::seconds && kind != counter_kind::fraction;
    if (c.samples >= 1 && two_samples && (same_collection || (kind != counter_kind::average && s.base == c.last.base))) {
        c.last = s;
        return collect_status::ok;
    }
    c.prev = c.last;
    c.last = s;
    if (c.samples < 2) ++c.samples;
    return collect_status::ok;
}

// The value from the samples held, or false ("invalid data"): a rate or
// percent counter needs two samples whose figures did not go backwards (a
// processor taken off line, a reset interface, a wrapped or replaced disk).
bool formatted_value(const counter_state& c, double& v) {
    const counter_kind kind = c.object->counters[c.index].kind;
    switch (kind) {
    case counter_kind::raw:
    case counter_kind::seconds:
        if (c.samples < 1) return false;
        v = c.last.figure;
        return true;
    case counter_kind::fraction:
        if (c.samples < 1 || !(c.last.base > 0)) return false;
        v = 100.0 * c.last.figure / c.last.base;
        return true;
    case counter_kind::rate:
    case counter_kind::percent:
    case counter_kind::inverse:
    case counter_kind::average: {
        if (c.samples < 2) return false;
        double df = c.last.figure - c.prev.figure;
        double db = c.last.base - c.prev.base;
        if (kind == counter_kind::average && db == 0 && df == 0) {
            v = 0;  // no operations in the interval
            return true;
        }
        if (df < 0 || db <= 0) return false;
        if (kind == counter_kind::percent)
            v = 100.0 * df / db;
        else if (kind == counter_kind::inverse)
            v = df >= db ? 0.0 : 100.0 - 100.0 * df / db;
        else
            v = df / db;
        return true;
    }
    }
    return false;
}

// A counter holding its first sample only takes the object's collection
// before that one as its earlier sample, when that collection was made before
// the counter was created. True when it now holds two samples.
bool start_from_previous_collection(counter_state& c) {
    if (c.samples != 1 || c.last.taken_ms < 0) return false;
    counter_sample p;
    if (read_previous_sample(*c.object, c.instance, c.index, p)) return false;
    if (p.taken_ms >= c.last.taken_ms || p.taken_ms > c.created_ms) return false;
    set_rate_base(c.object->counters[c.index].kind, p);
    c.prev = p;
    c.samples = 2;
    return true;
}

std::string& no_counters_text() {
    static std::string text;
    return text;
}

// The catalogue: index and name pairs, objects each followed by their counters.
struct name_entry {
    int index;
    const char* name;
};

std::vector<name_entry>& catalogue() {
    static std::vector<name_entry> list;
    return list;
}

bool copy_name(char* dst, size_t dst_len, const char* name, bool cut) {
    if (dst_len == 0) return false;
    size_t n = std::strlen(name);
    if (n >= dst_len) {
        if (!cut) return false;
        n = dst_len - 1;
    }
    std::memcpy(dst, name, n);
    dst[n] = 0;
    return true;
}

}  // namespace

std::unique_ptr<counter_state> create_counter(const char* object, const char* instance, const char* counter,
                                              bool log_errors) {
    auto c = std::make_unique<counter_state>();
    std::string path = counter_path(object, instance, counter);
    if (uint32_t status = add_counter(*c, object, instance, counter)) {
        if (log_errors) log(2, "Error (%s) adding counter \"%s\" to query", status_name(status), path.c_str());
        return nullptr;
    }
    c->path = std::move(path);
    c->created_ms = monotonic_ms();
    return c;
}

std::unique_ptr<counter_state> create_english_counter(const char* object, const char* instance,
                                                      const char* counter, bool log_errors) {
    char obj[128], cnt[128];
    if (!translate_counter_name_to_national(obj, sizeof obj, object)) return nullptr;
    if (!translate_counter_name_to_national(cnt, sizeof cnt, counter)) return nullptr;
    return create_counter(obj, instance, cnt, log_errors);
}

err get_counter_value(counter_state& c, double& value) {
    int attempt = 1;
    std::string why;
    collect_status status = collect(c, why);
    while (status != collect_status::no_data) {
        if (status == collect_status::failed)
            return format_error("Couldn't collect query data for %s: %s", c.path.c_str(), why.c_str());
        double v = 0;
        if (formatted_value(c, v)) {
            value = v;
            return {};
        }
        if (attempt >= 2) return err::text("Got INVALID_DATA from GetFormattedCounterValue() in get_counter_value()");
        if (start_from_previous_collection(c) && formatted_value(c, v)) {
            value = v;
            return {};
        }
        sleep_ms(1000);
        status = collect(c, why);
        ++attempt;
    }
    std::string& text = no_counters_text();
    text = strprintf("Couldn't collect query data for %s: The query does not currently contain any counters.",
                     c.path.c_str());
    if (text.size() > 1023) text.resize(1023);
    return err::text(text);
}

bool is_no_counters(const err& e) {
    return e.is_error() && !no_counters_text().empty() && e.message() == no_counters_text();
}

void attach_counter_state(devnode& node, std::unique_ptr<counter_state> c) {
    if (!c) return;
    node.state = std::move(c);
    node.release_state = free_counter_state;
    node.state_tag = state_tag_counter;
}

counter_state* attached_counter(devnode& node) {
    if (node.state_tag == state_tag_counter) return static_cast<counter_state*>(node.state.get());
    if (node.state_tag != state_tag_none || node.state) fatal("Check state corrupt");
    return nullptr;
}

void free_counter_state(devnode& node) {
    if (node.state_tag != state_tag_counter) fatal("Internal consistency error in free_counter_state()");
    node.state.reset();
    node.release_state = free_no_state;
    node.state_tag = state_tag_none;
}

void free_counter(std::unique_ptr<counter_state> c) { c.reset(); }

err get_counter_info(const counter_state& c, counter_info& info) {
    if (!c.object || c.index >= c.object->counters.size()) return err::text("The handle is not a valid object.");
    const counter_def& d = c.object->counters[c.index];
    info.type = counter_type(d);
    info.detail = d.detail;
    info.path = c.path;
    return {};
}

err enum_objects(uint32_t detail, std::vector<std::string>& objects) {
    objects.clear();
    for (const auto& o : counter_objects())
        if (o.detail <= detail) objects.emplace_back(o.name);
    return {};
}

err enum_object_items(const char* object, uint32_t detail, std::vector<std::string>& counters,
                      std::vector<std::string>& instances) {
    counters.clear();
    instances.clear();
    const counter_object* o = find_counter_object(object);
    if (!o) return err::text("The specified object was not found on the computer.");
    for (const auto& d : o->counters)
        if (d.detail <= detail) counters.emplace_back(d.name);
    if (o->instances) {
        if (auto e = o->instances(instances)) {
            instances.clear();
            return e;
        }
    }
    return {};
}

int load_english_counter_names() {
    auto& list = catalogue();
    if (!list.empty()) return 1;
    int index = 2;
    for (const auto& o : counter_objects()) {
        list.push_back({index, o.name});
        index += 2;
        for (const auto& d : o.counters) {
            list.push_back({index, d.name});
            index += 2;
        }
    }
    // Names the host knows without serving them (older systems had them).
    for (const char* name : {"% Total Processor Time"}) {
        list.push_back({index, name});
        index += 2;
    }
    return 1;
}

int translate_counter_name_to_english(char* dst, size_t dst_len, const char* national_name) {
    if (dst_len > 0) dst[0] = 0;
    if (!load_english_counter_names()) return 0;
    // The host's names are the catalogue's: its index is the first entry's.
    int index = -1;
    for (const auto& e : catalogue())
        if (std::strcmp(e.name, national_name) == 0) {
            index = e.index;
            break;
        }
    if (index < 0) {
        log(2, "translate_counter_name_to_english \"%s\": error from PdhLookupPerfIndexByName", national_name);
        return 0;
    }
    for (const auto& e : catalogue())
        if (e.index == index) {
            copy_name(dst, dst_len, e.name, true);
            log(-1, "translate_counter_name_to_english \"%s\" -> \"%s\"", national_name, dst);
            return 1;
        }
    log(2, "translate_counter_name_to_english \"%s\": not found", national_name);
    return 0;
}

int translate_counter_name_to_national(char* dst, size_t dst_len, const char* english_name) {
    if (!load_english_counter_names()) return 0;
    for (const auto& e : catalogue()) {
        if (std::strcmp(e.name, english_name) != 0) continue;
        for (const auto& n : catalogue())
            if (n.index == e.index) {
                if (!copy_name(dst, dst_len, n.name, false)) break;
                log(-1, "translate_counter_name_to_national \"%s\" -> \"%s\"", english_name, dst);
                return 1;
            }
        log(2, "translate_counter_name_to_national \"%s\": error from PdhLookupPerfNameByIndex (index %d)",
            english_name, e.index);
        return 0;
    }
    log(2, "translate_counter_name_to_national \"%s\": not found", english_name);
    return 0;
}

}  // namespace zp
