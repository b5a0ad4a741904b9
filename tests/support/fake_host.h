// fake_host.h - a test fixture whose host is a captured /proc and /sys tree
// (tests/counters/testdata) in a temporary directory, read through a clock
// that moves only when the counters sleep.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "monitors/counters/counters.h"
#include "monitors/counters/host_files.h"
#include "tests/support/files.h"

namespace zp::test {

class fake_host_test : public ::testing::Test {
protected:
    static inline const std::string testdata = ZP_SOURCE_DIR "/tests/counters/testdata/";
    static inline int64_t now_ms = 0;
    // Runs inside every sleep of the counters, after the clock moved.
    static inline std::function<void()> at_sleep;

    void SetUp() override {
        lay_over("host");
        set_host_root(env.root);
        now_ms = 100000;
        at_sleep = nullptr;
        set_monotonic_clock([] { return now_ms; },
                            [](int ms) {
                                now_ms += ms;
                                if (at_sleep) at_sleep();
                            });
        forget_collections();
    }
    void TearDown() override {
        set_host_root("");
        set_monotonic_clock(nullptr, nullptr);
        forget_collections();
        at_sleep = nullptr;
    }
    // Lays the files of testdata/<tree> over the host's.
    void lay_over(const std::string& tree) {
        std::filesystem::copy(testdata + tree, env.root,
                              std::filesystem::copy_options::recursive |
                                  std::filesystem::copy_options::overwrite_existing);
    }

    temp_env env;
};

}  // namespace zp::test
