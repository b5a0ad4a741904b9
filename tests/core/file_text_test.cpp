// Tests of read_text_file on what the system's file layer decides: missing,
// a directory, a capped regular file, and a file others hold open for writing.
#include "core/file_text.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/files.h"

namespace zp {
namespace {

TEST(ReadTextFile, KindsAndCapDecideTheFault) {
    test::temp_env env;
    test::write_file(env.path("small"), "abc");
    test::write_file(env.path("big"), std::string(20000, 'x'));
    struct row {
        std::string path;
        file_fault fault;
        const char* text;  // the whole error text, or null for the system's own
    } rows[] = {
        {env.path("small"), file_fault::none, ""},
        {env.path("nothing"), file_fault::missing, nullptr},
        {env.path("no/such/dir"), file_fault::missing, nullptr},
        {env.path("big"), file_fault::too_large, "File too large"},
        {env.path("state"), file_fault::not_regular, nullptr},
    };
    for (const auto& r : rows) {
        std::string out = "kept";
        file_fault fault = file_fault::unreadable;
        err e = read_text_file(r.path, 10000, out, &fault);
        EXPECT_EQ(fault, r.fault) << r.path;
        if (r.fault == file_fault::none) {
            EXPECT_TRUE(e.ok()) << e.message();
            EXPECT_EQ(out, "abc");
            continue;
        }
        EXPECT_FALSE(e.ok()) << r.path;
        EXPECT_EQ(out, "kept") << r.path;
        if (r.text) {
            EXPECT_EQ(e.message(), r.text);
        }
    }
    std::string out;
    EXPECT_EQ(read_text_file(env.path("state"), 10, out).message(),
              "\"" + env.path("state") + "\" is a directory, not a regular file");
}

TEST(ReadTextFile, FileOpenForWritingElsewhereIsRead) {
    test::temp_env env;
    std::ofstream writer(env.path("open.log"), std::ios::binary);
    writer << "line\n" << std::flush;
    std::string out;
    EXPECT_TRUE(read_text_file(env.path("open.log"), 100, out).ok());
    EXPECT_EQ(out, "line\n");
}

}  // namespace
}  // namespace zp
