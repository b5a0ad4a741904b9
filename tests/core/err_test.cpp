// Tests of the formatting of error texts.
#include "core/err.h"

#include <gtest/gtest.h>

namespace zp {
namespace {

// The system's texts (no line break at their end) are checked where they are
// shown: "Rename failed with error: No such file or directory" and others.
TEST(Err, FormatErrorCutsAt255Bytes) {
    err e = format_error("Error: %s", std::string(400, 'x').c_str());
    EXPECT_EQ(e.message(), "Error: " + std::string(248, 'x'));
}

}  // namespace
}  // namespace zp
