// crash.cpp - the crash report writer's file and texts.
#include "host/crash.h"

#include <exception>

#include "core/err.h"
#include "host/crash_os.h"

namespace zp {

std::string crash_report_message(const std::string& path) {
    return strprintf(
        "An application error has been detected. Please report this error and submit the dump file in '%s' along "
        "with your error report",
        path.c_str());
}

void install_crash_handler(const std::string& dir) {
    const std::string path = (dir.empty() ? std::string(".") : dir) + "/" + crash_file_name;
    crash_os::install(path.c_str(), crash_report_message(path).c_str(),
                      strprintf("Failed to create dump file '%s'", path.c_str()).c_str());
    std::set_terminate(crash_os::terminate_handler);
}

}  // namespace zp
