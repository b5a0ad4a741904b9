// Tests of the crash report writer: a fault, an abort and std::terminate each leave a report and end the process by their signal
// (on Windows a fault and std::terminate leave a minidump).
#include "host/crash.h"

#include <csignal>
#include <cstdlib>
#include <exception>
#include <filesystem>

#include <gtest/gtest.h>

#include "tests/support/files.h"

namespace zp {
namespace {

// Not null (the sanitizers would stop a null store first), yet never mapped.
volatile int* volatile nowhere = reinterpret_cast<int*>(0x10);

#if defined(_WIN32)
// A minidump; the process ends with the fault's code.
TEST(CrashReport, DumpWrittenAndTheProcessEndsWithTheFault) {
    struct {
        const char* name;
        void (*crash)();
    } cases[] = {
        {"fault", [] { *nowhere = 1; }},
        {"terminate", [] { std::terminate(); }},
    };
    // The death test runs the test again in a new process: both must name
    // the same directory.
    if (!std::getenv("ZP_CRASH_TEST_DIR")) test::set_env("ZP_CRASH_TEST_DIR", test::make_temp_dir());
    const std::string dir = std::getenv("ZP_CRASH_TEST_DIR");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir + "/quillmar.dmp";
        test::write_file(path, "an older dump");
        EXPECT_EXIT(
            {
                install_crash_handler(dir);
                c.crash();
            },
            ::testing::ExitedWithCode(static_cast<int>(0xC0000005u)), "An application error has been detected");
        EXPECT_EQ(test::read_file(path).substr(0, 4), "MDMP");
    }
    std::filesystem::remove_all(dir);
    test::set_env("ZP_CRASH_TEST_DIR", "");
}
#else
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
#endif

}  // namespace
}  // namespace zp
