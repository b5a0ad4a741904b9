// variables_posix.cpp - the variables file on Linux: read, damage moved aside,
// replaced atomically.
#include <cstdio>

#include "core/clock.h"
#include "core/file_os.h"
#include "core/file_text.h"
#include "core/log.h"
#include "core/variables.h"
#include "core/variables_os.h"

namespace zp {

namespace {

// Far above any real store (a few hundred log positions); bounds what a damaged
// or foreign file can make the agent allocate.
constexpr size_t max_file_size = 64u << 20;

}  // namespace

err load_variables(const variables_place& place, variable_pairs& out, bool* fatal_fault) {
    const std::string& path = place.file;
    if (!path_exists(path))
        return format_error("Cannot open variables file \"%s\": %s", path.c_str(), "No such file or directory");

    std::string data;
    file_fault fault;
    err e = read_text_file(path, max_file_size, data, &fault);
    // Only a regular file whose contents are unusable is moved aside; what is
    // not a regular file (as root, a device node) or cannot be read stays
    // where it is, and the host id in it is not lost.
    if (e && fault == file_fault::not_regular) {
        if (fatal_fault) *fatal_fault = true;
        return format_error("Variables file %s", e.c_str());
    }
    if (e && fault == file_fault::missing)  // a link that leads nowhere: as if there were no file
        return format_error("Cannot open variables file \"%s\": %s", path.c_str(), e.c_str());
    if (e && fault != file_fault::too_large) {
        if (fatal_fault) *fatal_fault = true;
        return format_error("Cannot read variables file \"%s\": %s", path.c_str(), e.c_str());
    }
    if (!e) e = parse_variables(data, out);
    if (!e) return {};
    // The next flush would replace the file: keep what it held for a person
    // to look at instead of losing it silently.
    std::string aside = strprintf("%s.corrupt-%lld", path.c_str(), static_cast<long long>(time_now()));
    // An earlier damaged file moved aside in the same second stays too.
    for (int i = 1; path_exists(aside) && i < 100; ++i)
        aside = strprintf("%s.corrupt-%lld.%d", path.c_str(), static_cast<long long>(time_now()), i);
    if (std::rename(path.c_str(), aside.c_str()) == 0)
        log(3, "Variables file \"%s\" is unusable (%s); moved it to \"%s\"", path.c_str(), e.c_str(), aside.c_str());
    else
        log(3, "Variables file \"%s\" is unusable (%s) and could not be moved aside: %s", path.c_str(), e.c_str(),
            system_error_text(last_system_error()).c_str());
    return e;
}

err store_variables(const variables_place& place, const variable_pairs& vars) {
    if (err e = replace_file(place.file, serialize_variables(vars)))
        return format_error("Cannot write variables file \"%s\": %s", place.file.c_str(), e.c_str());
    return {};
}

}  // namespace zp
