// objects.h - the counter provider's catalogue: the performance objects this
// host serves, each with its counters and a reader over /proc and /sys.
//
// Adding an object is one entry in the table of objects.cpp and one reader
// (plus, when it has instances, an instance lister). Readers run on the main
// thread and read through host_files.h; the previous sample that rate and
// percent counters need lives in the counter_state. The files that serve many
// counters (/proc/stat, meminfo, vmstat, net/dev, diskstats) are kept for one
// second, so that every counter a round of checks reads within that second is
// served by one collection.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/err.h"

namespace zp {

// How a counter's value is formed from its samples.
enum class counter_kind {
    raw,      // the sample's figure as it is (a count, a size)
    seconds,  // the sample's figure, a time in seconds
    rate,     // change of the figure per second between two samples
    percent,  // 100 x change of the figure / change of the base between two samples
    average,  // change of the figure / change of the base (time per operation, queue length)
    inverse,  // 100 - 100 x change of the figure / change of the base, not below 0 (idle time)
    fraction, // 100 x figure / base of the last sample (share in use)
};

// Detail level at which a counter is offered (novice 100 ... wizard 400).
inline constexpr uint32_t detail_novice = 100;
inline constexpr uint32_t detail_advanced = 200;
inline constexpr uint32_t detail_expert = 300;
inline constexpr uint32_t detail_wizard = 400;

struct counter_def {
    const char* name;
    counter_kind kind;
    uint32_t detail;
    uint32_t type = 0;  // the Windows counter type; 0: the usual one of its kind
};

// The Windows counter type of a counter (its display suffix in the top four
// bits: 0x10000000 per second, 0x20000000 percent, 0x30000000 seconds).
uint32_t counter_type(const counter_def& d);

// One reading of a counter: the figure and, for percent counters, its base.
// Rate counters get their base (the time) from the provider: the time the
// figure was collected when the reader says (taken_ms), else now.
struct counter_sample {
    double figure = 0;
    double base = 0;
    int64_t taken_ms = -1;  // monotonic time of the collection the figure comes from
};

// Reader contract: fills `out` for counter `index` of `instance` (empty for
// objects without instances) and returns none; err::no_result() when the
// instance or the figure is not there (any more); an error text when the file
// cannot be read or does not read as expected.
using counter_reader = err (*)(std::string_view instance, size_t index, counter_sample& out);
// Lists the instances present now.
using instance_lister = err (*)(std::vector<std::string>& out);

struct counter_object {
    const char* name;
    std::span<const counter_def> counters;
    instance_lister instances;  // null: the object has no instances
    counter_reader read;
    uint32_t detail;
};

// Every object, in catalogue order.
std::span<const counter_object> counter_objects();
// The object named `name`, or null.
const counter_object* find_counter_object(std::string_view name);
// The index of counter `name` in `obj`, or -1.
int find_counter(const counter_object& obj, std::string_view name);

// Collections of the files kept for a second, made since the process started
// (the benchmark shows one per object and second).
uint64_t collections_made();
// Drops the kept files and the collections before them, so that the next
// read collects afresh (tests that rewrite their captured files within one
// simulated second).
void forget_collections();

// Reads counter `index` of `instance` of `obj` from the collections made just
// before the ones kept now: the earlier sample a new counter can start from
// instead of waiting a second. err::no_result() when a file the reader needs
// has no earlier collection, or the figure is not from a kept file.
err read_previous_sample(const counter_object& obj, std::string_view instance, size_t index, counter_sample& out);

}  // namespace zp
