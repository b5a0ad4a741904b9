// Tests of the crash report writer: a fault, an abort and std::terminate each leave a report and end the process by their signal.
#include "host/crash.h"

#include <signal.h>

#include <exception>

#include <gtest/gtest.h>

#include "tests/support/files.h"

namespace zp {
namespace {

// Not null (the sanitizers would stop a null store first), yet never mapped.
volatile int* volatile nowhere = reinterpret_cast<int*>(0x10);

TEST(CrashReport, WrittenAndTheProcessEndsByItsSignal) {
    struct {
        const char* name;
        void (*crash)();
        int sig;
        const char* in_report;
    } cases[] = {
        {"fault", [] { *nowhere = 1; }, SIGSEGV, "Signal: 11 (SIGSEGV)\nCode: 1\nAddress: 0x10\n"},
        {"abort", [] { std::abort(); }, SIGABRT, "Signal: 6 (SIGABRT)"},
        {"terminate", [] { std::terminate(); }, SIGABRT, "Cause: std::terminate"},  // what an uncaught exception does
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::temp_env env;
        const std::string path = env.path("state/quillmar.dmp");
        EXPECT_EXIT(
            {
                install_crash_handler(env.path("state"));
                c.crash();
            },
            ::testing::KilledBySignal(c.sig), "An application error has been detected.*" + path);
        std::string report = test::read_file(path);
        EXPECT_NE(report.find(c.in_report), std::string::npos) << report;
        EXPECT_NE(report.find("Backtrace:\n"), std::string::npos);
    }
}

}  // namespace
}  // namespace zp
