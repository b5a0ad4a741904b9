// Rotation scenarios with a writer running: plain renames, the real logrotate
// with "create" and with "copytruncate", and restarts of the reader; every
// line written must be read exactly once, in order.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "core/log.h"
#include "tests/logcheck/logfile_support.h"

namespace zp {
namespace {

using test::log_file_check;

enum class scheme { rename, logrotate_create, logrotate_copytruncate };

class RotationTest : public ::testing::TestWithParam<scheme> {
protected:
    void SetUp() override {
#if defined(_WIN32)
        if (GetParam() != scheme::rename) GTEST_SKIP() << "logrotate is a Linux program";
#endif
        clear_variables();
        set_log_level(3);
        set_log_file_hooks({nullptr, [](int) {}});
    }
    void TearDown() override {
        set_log_file_hooks({});
        clear_variables();
    }
    test::temp_env env;
};

std::string line_text(int i) { return "line " + std::to_string(i) + " of the writer\n"; }

TEST_P(RotationTest, EveryLineOnceWhileAWriterRuns) {
    const scheme how = GetParam();
    const std::string path = env.path("app.log");
    test::write_file(path, "");
    const std::string conf = env.path("rotate.conf");
    test::write_file(conf, path + " {\n  rotate 1000\n  nocompress\n  missingok\n" +
                               (how == scheme::logrotate_copytruncate ? "  copytruncate\n" : "  create\n") + "}\n");
    const std::string rotate_cmd = "logrotate -f -s '" + env.path("rotate.state") + "' '" + conf + "'";

    log_file_check c(path);
    c.run();
    constexpr int total = 12000;
    std::mutex line_mu;  // a line is written whole; a rotation happens between lines
    std::atomic<bool> done{false};
    std::atomic<int> rounds{0};
    std::thread writer([&] {
        for (int i = 0; i < total; i++) {
            {
                std::lock_guard lk(line_mu);
                std::ofstream(path, std::ios::binary | std::ios::app) << line_text(i);
            }
            // At most 200 lines a round of the reader, however slow the machine.
            while (i / 200 >= rounds.load()) std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        done = true;
    });

    std::vector<std::string> got;
    int round = 0, rotations = 0, quiet_runs = 0;
    while (quiet_runs < 3) {
        auto entries = c.run();
        got.insert(got.end(), entries.begin(), entries.end());
        quiet_runs = done && entries.empty() ? quiet_runs + 1 : 0;
        // Lines written meanwhile are in the file when it is rotated.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        // A copy is recognised by the first bytes the reader saw, so the
        // file is rotated only when it was not empty at the last check.
        if (++round % 4 == 0 && !done && !entries.empty()) {
            std::lock_guard lk(line_mu);
            if (how == scheme::rename) {
                // The new file is there at once, as after logrotate's "create".
                std::filesystem::rename(path, path + "." + std::to_string(++rotations));
                test::write_file(path, "");
            }
            else if (std::system(rotate_cmd.c_str()) == 0)
                ++rotations;
        }
        if (round % 11 == 0) c.restart();  // the agent restarts from its variables
        rounds = round;
    }
    writer.join();
    EXPECT_GT(rotations, 5);
    ASSERT_EQ(got.size(), static_cast<size_t>(total));
    for (int i = 0; i < total; i++) ASSERT_EQ(got[i], line_text(i)) << i;
}

INSTANTIATE_TEST_SUITE_P(Schemes, RotationTest,
                         ::testing::Values(scheme::rename, scheme::logrotate_create, scheme::logrotate_copytruncate));

}  // namespace
}  // namespace zp
