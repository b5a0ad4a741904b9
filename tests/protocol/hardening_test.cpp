// hardening_test.cpp - endless filler ends a read; the padding of a cipher
// block and more passes. (Stalls, drips and stops are tested against the
// reference server and the executable.)
#include <gtest/gtest.h>

#include <vector>

#include "protocol/codec.h"
#include "protocol/memory_stream.h"

namespace zp {
namespace {

TEST(Filler, EndlessFillerEndsTheReadButBlockPaddingPasses) {
    struct filler_case {
        size_t fillers;
        bool ok;
    } cases[] = {{15, true}, {max_filler_run, true}, {max_filler_run + 1, false}, {1 << 20, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fillers);
        std::vector<uint8_t> in(c.fillers, filler_octet);
        in.push_back(0x30);  // a SEQUENCE identifier
        memory_stream m(in);
        tag_code tag = 0;
        err e = read_tag(m, tag);
        if (c.ok) {
            EXPECT_FALSE(e) << e.message();
            EXPECT_EQ(tag, BE_SEQ);
        } else {
            EXPECT_EQ(e.message(), "Too many filler octets in read_tag");
        }
    }
}

}  // namespace
}  // namespace zp
