// logconf_fuzz.cpp - fuzz target of the log check configuration and of the
// wildcard matcher.
//
// The first byte chooses the mode:
//   even: the rest is a configuration file; it is parsed with Linux paths
//         (0 modulo 4) or Windows paths (2 modulo 4).
//   odd:  the second byte is the length of a pattern that follows; the rest is
//         a name. The matcher must agree with a plain recursive matcher on
//         short inputs and must not take long on any.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/log.h"
#include "logcheck/logconf.h"

namespace {

bool quiet = [] {
    zp::set_log_level(4);
    return true;
}();

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The matcher written down the obvious way (exponential, so short inputs only).
bool reference(std::string_view n, std::string_view p) {
    if (p.empty()) return n.empty();
    if (p[0] == '*') {
        if (n.empty()) return false;
        return reference(n.substr(1), p) || reference(n.substr(1), p.substr(1));
    }
    if (n.empty()) return false;
    if (p[0] != '?' && lower(p[0]) != lower(n[0])) return false;
    return reference(n.substr(1), p.substr(1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] % 2 == 0) {
        (void)zp::parse_log_config(rest, data[0] % 4 ? zp::path_style::windows : zp::path_style::posix);
        return 0;
    }
    if (rest.empty()) return 0;
    size_t len = static_cast<unsigned char>(rest[0]);
    rest.remove_prefix(1);
    std::string_view pattern = rest.substr(0, std::min(len, rest.size()));
    std::string_view name = rest.substr(pattern.size());
    bool got = zp::log_wildcard_match(name, pattern);
    if (pattern.find("**") == std::string_view::npos && name.size() <= 12 && pattern.size() <= 12 &&
        got != reference(name, pattern))
        abort();
    return 0;
}
