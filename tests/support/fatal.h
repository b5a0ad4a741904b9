// fatal.h - expects a statement to end the process the way the agent's fatal
// errors do: "Fatal error: <text>" on the log, exit code 1.
#pragma once

#include <gtest/gtest.h>

#include "core/log.h"

// `text` is a regular expression matched against standard error.
#define EXPECT_FATAL(statement, text)                                                    \
    EXPECT_EXIT(                                                                         \
        {                                                                                \
            ::zp::log_to_stderr();                                                       \
            ::zp::set_log_level(0);                                                      \
            statement;                                                                   \
        },                                                                               \
        ::testing::ExitedWithCode(1), std::string("Fatal error: ") + (text))
