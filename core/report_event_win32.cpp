// report_event_win32.cpp - fatal reports to the Windows event log (source "Zerpal").
#include <windows.h>

#include "core/log.h"

namespace zp {

void report_event(const std::string& text) {
    HANDLE source = RegisterEventSourceA(nullptr, "Zerpal");
    if (!source) return;
    const char* strings[1] = {text.c_str()};
    ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
}

}  // namespace zp
