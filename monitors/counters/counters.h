// counters.h - performance counters: opening a counter by object, instance
// and counter name, reading it with the two-sample rule that rate counters
// need, keeping it open in a check, and translating counter names.
//
// Main thread only. The catalogue of names and the no-counters text are
// process-wide; a caller uses a returned text before its next call.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "core/err.h"
#include "devtree/devtree.h"
#include "monitors/counters/objects.h"

namespace zp {

// One open counter. Owned by its creator (released by destruction, or by
// free_counter) or, after attach_counter_state, by a devnode.
struct counter_state : check_state {
    const counter_object* object = nullptr;
    std::string instance;  // empty for objects without instances
    size_t index = 0;      // the counter within the object
    std::string path;      // "\\object(instance)\\counter", for error texts
    counter_sample prev, last;
    int samples = 0;       // samples held: 0, 1 or 2
    int64_t created_ms = 0;  // monotonic time of its creation
};

// Opens a counter of `object` (with `instance`, or null for objects without
// instances). Null when it does not exist; with log_errors the reason is
// logged at level 2 ("Error (%s) adding counter \"%s\" to query").
std::unique_ptr<counter_state> create_counter(const char* object, const char* instance, const char* counter,
                                              bool log_errors);
// The same from English names (translated to the host's names first; the
// instance is passed on as it is). Null when a translation fails.
std::unique_ptr<counter_state> create_english_counter(const char* object, const char* instance,
                                                      const char* counter, bool log_errors);

// Reads the counter's value. A counter that needs two samples and has only
// one starts from the collection before the current one when that was made
// before the counter was created; otherwise it gets a second sample after one
// second (so a round of new counters waits about once per object). On failure `value` is unchanged and the
// text says why; is_no_counters() tells the no-counters failure apart.
err get_counter_value(counter_state& c, double& value);
// True when `e` is the no-counters text of the last such failure.
bool is_no_counters(const err& e);

// Keeps `c` in the devnode (state, release_state = free_counter_state, tag
// state_tag_counter); a null counter leaves the devnode as it is.
void attach_counter_state(devnode& node, std::unique_ptr<counter_state> c);
// The devnode's counter, or null when it holds none. Fatal when its state
// belongs to another owner.
counter_state* attached_counter(devnode& node);
// The release operation; fatal "Internal consistency error in
// free_counter_state()" when the devnode's tag is not the counter tag.
void free_counter_state(devnode& node);
// Releases a counter no devnode holds.
void free_counter(std::unique_ptr<counter_state> c);

// What the provider tells about an open counter.
struct counter_info {
    uint32_t type = 0;    // the Windows counter type (display suffix in the top four bits)
    uint32_t detail = 0;  // detail level at which it is offered
    std::string path;
};
// Fills `info`; fails only for a counter that is not open.
err get_counter_info(const counter_state& c, counter_info& info);

// Enumeration, as the host offers it now. `detail` is a detail level (100
// novice, 200 advanced, 300 expert, 400 wizard): only objects and counters
// offered at that level or below are listed.
// The names of the objects, in catalogue order.
err enum_objects(uint32_t detail, std::vector<std::string>& objects);
// The counters of `object` and its instances (none for an object without
// instances). Fails for an unknown object or when its instances cannot be
// listed; both lists are then empty.
err enum_object_items(const char* object, uint32_t detail, std::vector<std::string>& counters,
                      std::vector<std::string>& instances);

// Name translation over the provider's catalogue (English and host names are
// the same; the first entry of a name wins). 1 and the name in dst, or 0.
int translate_counter_name_to_english(char* dst, size_t dst_len, const char* national_name);
int translate_counter_name_to_national(char* dst, size_t dst_len, const char* english_name);
// 1 when the catalogue is available.
int load_english_counter_names();

}  // namespace zp
