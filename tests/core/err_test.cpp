// Tests of the error value and its formatting.
#include "core/err.h"

#include <gtest/gtest.h>

namespace zp {
namespace {

TEST(Err, FormatErrorCutsAt255Bytes) {
    std::string long_arg(400, 'x');
    err e = format_error("Error: %s", long_arg.c_str());
    ASSERT_TRUE(e.is_error());
    EXPECT_EQ(e.message().size(), 255u);
    EXPECT_EQ(e.message().substr(0, 7), "Error: ");
}

TEST(Err, NoResultIsNotAnErrorText) {
    err e = err::no_result();
    EXPECT_TRUE(static_cast<bool>(e));
    EXPECT_FALSE(e.is_error());
    EXPECT_TRUE(e.message().empty());
    EXPECT_FALSE(static_cast<bool>(err{}));
}

TEST(Err, SystemErrorTextHasNoLineBreak) {
    std::string s = system_error_text(2);
    EXPECT_FALSE(s.empty());
    EXPECT_NE(s.back(), '\n');
}

}  // namespace
}  // namespace zp
