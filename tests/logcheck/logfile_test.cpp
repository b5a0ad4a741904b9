// Tests of the log file reader: first sight, entries by inclusion mode, held
// back records, overflow pieces, each rotation reason, too large files, the
// stops for the budget and the check-in, and the silence watch.
#include <gtest/gtest.h>

#include "core/clock.h"
#include "tests/logcheck/logfile_support.h"
#include "tests/support/log_capture.h"

namespace zp {
namespace {

using test::append_file;
using test::log_file_check;
using strings = std::vector<std::string>;

int64_t fake_now = 1'700'000'000;
int64_t fake_clock() { return fake_now; }

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        clear_variables();
        set_log_level(3);
        set_log_file_hooks({nullptr, [](int) {}});
        path = env.path("app.log");
        test::write_file(path, "existing line\n");
    }
    void TearDown() override {
        set_log_file_hooks({});
        set_clock(nullptr);
        clear_variables();
    }
    test::temp_env env;
    std::string path;
};

TEST_F(LogFileTest, ExistingContentIsSkippedAndAppendedLinesAreRead) {
    log_file_check c(path);
    EXPECT_EQ(c.run(), strings{});
    append_file(path, "a\nb\n");
    EXPECT_EQ(c.run(), (strings{"a\n", "b\n"}));
    // A restart goes on from the saved offset.
    append_file(path, "c\n");
    c.restart();
    EXPECT_EQ(c.run(), strings{"c\n"});
    EXPECT_EQ(c.run(), strings{});
}

TEST_F(LogFileTest, EntriesByInclusionMode) {
    struct row {
        const char* separator;
        int32_t mode;
        const char* data;
        strings first;  // while the file grows
        strings last;   // once it stopped growing
    } rows[] = {
        {"\n", 0, "a\nb\nc", {"a\n", "b\n"}, {"c"}},
        {"\n", 2, "a\nb\nc", {"a", "b"}, {"c"}},
        {"\n", 0, "a\n\n\nb\n", {"a\n", "b\n"}, {}},
        {"H[0-9]", 1, "xH1 aH2 b", {"x", "H1 a"}, {"H2 b"}},
        {"H[0-9]", 1, "H1 aH2 b", {"H1 a"}, {"H2 b"}},
        {"x*", 2, "ab", {"a"}, {"b"}},  // a separator that matches nothing advances by a byte
    };
    for (const auto& r : rows) {
        test::write_file(path, "");
        clear_variables();
        log_file_check c(path, r.separator, r.mode);
        EXPECT_EQ(c.run(), strings{});
        append_file(path, r.data);
        EXPECT_EQ(c.run(), r.first) << r.data;
        EXPECT_EQ(c.run(), r.last) << r.data;
    }
}

TEST_F(LogFileTest, LongRecordGoesOverInBufferSizedPieces) {
    test::log_capture logs(-1);
    log_file_check c(path);
    c.run();
    append_file(path, std::string(40000, 'x'));
    auto first = c.run();
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].size(), 16384u);
    EXPECT_EQ(first[1].size(), 16384u);
    EXPECT_EQ(c.run(), strings{std::string(40000 - 2 * 16384, 'x')});
    EXPECT_EQ(logs.count("Buffer overflow: "), 2u);
}

TEST_F(LogFileTest, RotationReasons) {
    // The file when first read: 600 bytes; then "1\n" is appended and read.
    const std::string before = std::string(600, 'b') + "\n";
    struct row {
        std::string after;  // the file rewritten in place
        const char* reason;
    } rows[] = {
        {"x\n", "smaller than before"},
        {"B" + before + "1\nnew\n", "content changes at beginning"},
        {std::string(300, 'b') + std::string(300, 'c') + "\n1\nnew\n", "content changes at end"},
    };
    for (const auto& r : rows) {
        clear_variables();
        test::write_file(path, before);
        log_file_check c(path);
        c.run();
        append_file(path, "1\n");
        EXPECT_EQ(c.run(), strings{"1\n"});
        test::log_capture logs(1);
        {
            std::ofstream f(path, std::ios::binary | std::ios::in | std::ios::out);
            f << r.after;
        }
        std::filesystem::resize_file(path, r.after.size());
        auto got = c.run();
        EXPECT_TRUE(logs.has("Rotation of log file '" + c.path() + "' detected (" + r.reason + ")")) << r.reason;
        EXPECT_FALSE(got.empty()) << r.reason;
        EXPECT_EQ(got.back(), r.after.substr(r.after.rfind('\n', r.after.size() - 2) + 1)) << r.reason;
    }
}

TEST_F(LogFileTest, TooLargeFileIsReadAgainFromTheStart) {
    log_file_check c(path);
    ASSERT_TRUE(set_variable(dotted_name(*c.node), "-1").ok());
    test::log_capture logs(3);
    auto got = c.run();
    EXPECT_EQ(got, strings{"existing line\n"});
    EXPECT_TRUE(logs.has("File '" + c.path() + "' truncated, once again checking entries."));
    c.run();
    EXPECT_EQ(*get_variable(dotted_name(*c.node)), "14");
}

TEST_F(LogFileTest, StopsResumeWhereTheyLeftOff) {
    // A check-in that is always due stops reading after each buffer, and a
    // full result budget after half of it; every line still comes once.
    std::string data;
    for (int i = 0; i < 40000; i++) data += "line " + std::to_string(i) + " " + std::string(60, 'p') + "\n";
    for (bool checkin : {true, false}) {
        clear_variables();
        test::write_file(path, "");
        log_file_check c(path);
        c.run();
        append_file(path, data);
        set_log_file_hooks({checkin ? +[] { return true; } : nullptr, [](int) {}});
        size_t lines = 0;
        int runs = 0;
        for (auto got = c.run(); runs < 1000; got = c.run(), runs++) {
            for (auto& l : got) ASSERT_EQ(l, "line " + std::to_string(lines++) + " " + std::string(60, 'p') + "\n");
            if (got.empty()) break;
        }
        EXPECT_EQ(lines, 40000u);
        EXPECT_GT(runs, 1);
        set_log_file_hooks({nullptr, [](int) {}});
    }
}

TEST_F(LogFileTest, MissingFileAndEmptyOkResult) {
    log_file_check c(env.path("none.log"));
    err e = log_check(*c.node, nullptr);
    EXPECT_EQ(e.message().rfind("Could not open log file \"" + c.path() + "\": ", 0), 0u);
    ASSERT_EQ(c.node->results.size(), 1u);
    EXPECT_EQ(c.node->results.front()->status, status_ok);
    EXPECT_FALSE(c.node->results.front()->log_text());
    EXPECT_TRUE(log_check(*c.node, nullptr).is_error());
    EXPECT_EQ(c.node->results.size(), 1u);  // one is waiting already
}

TEST_F(LogFileTest, HexDecoding) {
    struct row {
        std::string text;
        size_t len;
        const char* logged;
    } rows[] = {
        {"0A1BFF", 3, nullptr},
        {"0A1", 0, "Odd number of characters in hex string \"0A1\""},
        {"0a", 0, "Encountered wrong character in hex string 'a'"},
        {std::string(2000, 'F'), 256, nullptr},
    };
    for (const auto& r : rows) {
        test::log_capture logs(3);
        unsigned char out[log_sample_size];
        EXPECT_EQ(log_hex_decode(r.text, out), r.len) << r.text;
        EXPECT_TRUE(!r.logged || logs.has(r.logged)) << r.text;
    }
    const unsigned char bytes[] = {0x00, 0xAB, 0x7f};
    EXPECT_EQ(log_hex_encode(bytes, 3), "00AB7F");
}

TEST_F(LogFileTest, SilenceWarnsOnceThenAlertsOnce) {
    log_file_check c(path);
    c.node->lognode->warn_silence_limit = 3600;
    c.node->lognode->alert_silence_limit = 7200;
    const int64_t t0 = fake_now;
    ASSERT_TRUE(set_variable("timestamp:" + dotted_name(*c.node), std::to_string(t0)).ok());
    struct row {
        int64_t at;
        int status;  // -1: no result
        const char* text;
    } rows[] = {
        {100, -1, nullptr},
        {3600, 1, "Log silent for 1 hours and 0 minutes"},
        {5000, -1, nullptr},
        {7260, 2, "Log silent for 2 hours and 1 minutes"},
        {90000, -1, nullptr},
    };
    for (const auto& r : rows) {
        log_silence_check(*c.node, t0 + r.at);
        if (r.status < 0) {
            EXPECT_TRUE(c.node->results.empty()) << r.at;
        } else {
            ASSERT_EQ(c.node->results.size(), 1u) << r.at;
            EXPECT_EQ(c.node->results.front()->status, static_cast<uint32_t>(r.status));
            EXPECT_EQ(*c.node->results.front()->log_text(), r.text);
        }
        c.node->results.clear();
    }
    // An entry recorded resets the watch.
    set_clock(fake_clock);
    append_file(path, "x\n");
    c.run();
    c.run();
    log_silence_check(*c.node, fake_now + 3599);
    EXPECT_TRUE(c.node->results.empty());
}

}  // namespace
}  // namespace zp
