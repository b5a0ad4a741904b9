// fatal.cpp - the fatal-error routine.
#include "core/fatal.h"

#include <cstdarg>
#include <cstdlib>

#include "core/log.h"

namespace zp {

namespace {
constexpr int max_release = 8;
void (*release_fns[max_release])() = {};
int release_count = 0;
}  // namespace

void on_fatal_release(void (*fn)()) {
    if (release_count < max_release) release_fns[release_count++] = fn;
}

void fatal(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string text = vstrprintf(fmt, ap);
    va_end(ap);
    log(3, "Fatal error: %s", text.c_str());
    report_event(text);
    for (int i = release_count - 1; i >= 0; --i) release_fns[i]();
    std::exit(1);
}

}  // namespace zp
