// Tests of the formatting of error texts.
#include "core/err.h"

#include <gtest/gtest.h>

namespace zp {
namespace {

TEST(Err, FormatErrorCutsAt255BytesAndSystemTextHasNoLineBreak) {
    err e = format_error("Error: %s", std::string(400, 'x').c_str());
    EXPECT_EQ(e.message(), "Error: " + std::string(248, 'x'));
    std::string s = system_error_text(2);
    ASSERT_FALSE(s.empty());
    EXPECT_NE(s.back(), '\n');
}

}  // namespace
}  // namespace zp
