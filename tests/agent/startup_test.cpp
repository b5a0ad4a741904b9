// Tests of the command line and the client's request and reply display.
#include "agent/startup.h"

#include <gtest/gtest.h>

#include <cstdlib>
#if defined(_WIN32)
#include <windows.h>
#endif

namespace zp {
namespace {

struct parsed {
    parse_result result;
    startup_state st;
    cmdline_options opt;
};

parsed parse(std::vector<const char*> args) {
    args.insert(args.begin(), "quillmar");
    parsed p;
    p.result = parse_command_line(static_cast<int>(args.size()), args.data(), p.st, p.opt);
    return p;
}

TEST(CommandLine, UsageOrVersionForWhatItCannotRun) {
    struct {
        std::vector<const char*> args;
        parse_result want;
    } cases[] = {
        {{"-cname"}, parse_result::usage}, {{"-vV"}, parse_result::usage}, {{"--down5"}, parse_result::usage},
        {{"--Down"}, parse_result::usage}, {{""}, parse_result::usage},     {{"v"}, parse_result::usage},
        {{"--parent-pipes", "5"}, parse_result::usage},   {{"-V", "--bogus"}, parse_result::version},
        {{"--bogus", "-V"}, parse_result::usage},
    };
    for (auto& c : cases) EXPECT_EQ(parse(c.args).result, c.want) << c.args[0];
    // Every option with a value lacks it as the last argument.
    for (const char* opt : {"-c", "-s", "-d", "-p", "-l", "-t", "-f", "-m", "--reg-key", "--comment"})
        EXPECT_EQ(parse({"-v", opt}).result, parse_result::usage) << opt;
}

TEST(CommandLine, DowntimeMinutesReadWithPrefixAndNeverZero) {
    std::pair<const char*, int32_t> cases[] = {{"--down", 30},    {"--down=0", 1},  {"--down=", 1},
                                               {"--down=abc", 1}, {"--down=0x10", 16}, {"--down=45", 45},
                                               {"--down=99999999999", INT32_MAX}};
    for (auto [arg, minutes] : cases) {
        auto p = parse({arg});
        EXPECT_EQ(p.st.mode, client_mode::downtime) << arg;
        EXPECT_EQ(p.st.downtime_minutes, minutes) << arg;
        EXPECT_FALSE(p.st.log_to_file) << arg;
    }
    EXPECT_EQ(parse({"--rescan"}).st.mode, client_mode::rescan);
}

TEST(CommandLine, RegressionTestReadsUpToFourNumbers) {
    auto p = parse({"--regression-test", "0x10", "-5", "077"});
    ASSERT_EQ(p.result, parse_result::run);
    EXPECT_TRUE(p.st.regression_test);
    EXPECT_EQ(std::vector<int64_t>({p.st.fake_memory_items, p.st.fake_start_time, p.st.fake_end_time,
                                    p.st.repeat_count}),
              (std::vector<int64_t>{16, -5, 63, 1000}));
    EXPECT_EQ(parse({"--regression-test", "1", "2", "3", "4", "-v"}).st.repeat_count, 4);
}

TEST(ClientRequest, PipeTextsCarryMinutesAndComment) {
    startup_state st;
    st.mode = client_mode::downtime;
    st.downtime_minutes = 30;
    EXPECT_EQ(pipe_request_text(st), "DOWN 30\n");
    st.downtime_comment = "5 min";
    EXPECT_EQ(pipe_request_text(st), "DOWN 30 5 min");
    st.mode = client_mode::rescan;
    EXPECT_EQ(pipe_request_text(st), "RESCAN");
}

bool box_can_appear() {
#if defined(_WIN32)
    bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    return !wine || std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
#else
    return false;
#endif
}

TEST(ClientRequest, ReplyDecidesExitCode) {
    struct {
        const char* reply;
        int code;
        const char* shown;
    } cases[] = {
        {"OK", 1, "Too short message from server received\n"},
        {"", 1, "Too short message from server received\n"},
        {"OK d", 0, "OK d\n"},
        {"OKAY fine", 1, "OKAY fine\n"},
        {"FAILED Could not connect to server: x", 1, "FAILED Could not connect to server: x\n"},
    };
    // Without --quiet, Linux (no message box) and Wine without a display (the
    // box fails at once) print the reply as well; a box that can appear would
    // wait for a click, so that case runs only where none can.
    for (bool quiet : {true, false}) {
        if (!quiet && box_can_appear()) continue;
        for (auto& c : cases) {
            ::testing::internal::CaptureStderr();
            int code = show_client_reply(client_mode::downtime, c.reply, quiet);
            EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.shown);
            EXPECT_EQ(code, c.code) << c.reply;
        }
    }
}

}  // namespace
}  // namespace zp
