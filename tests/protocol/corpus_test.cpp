// corpus_test.cpp - whole server messages as the conversations read them: the
// valid seeds of the message fuzz target, every truncation of them, and the
// malformed messages of testdata/message_refusals.txt.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "wire.h"
#include "core/log.h"
#include "fuzz/protocol/message_readers.h"
#include "protocol/memory_stream.h"

namespace zp {
namespace {

namespace fs = std::filesystem;
using bytes = std::vector<uint8_t>;

struct ServerMessages : ::testing::Test {
    void SetUp() override { set_log_level(3); }
    void TearDown() override { set_log_level(0); }

    // The checked-in seeds: name, reader selector, message.
    static std::map<std::string, bytes> seeds() {
        std::map<std::string, bytes> out;
        for (const auto& entry : fs::directory_iterator(fs::path(ZP_SOURCE_DIR) / "fuzz/protocol/corpus")) {
            std::ifstream f(entry.path(), std::ios::binary);
            out[entry.path().filename().string()] = bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
        }
        EXPECT_GT(out.size(), 10u);
        return out;
    }
};

TEST_F(ServerMessages, CheckedInCorpusIsReadCompletely) {
    for (const auto& [name, all] : seeds()) {
        ASSERT_FALSE(all.empty()) << name;
        memory_stream s(bytes(all.begin() + 1, all.end()));
        err e = fuzz::read_message(all[0], s);
        EXPECT_FALSE(e) << name << ": " << e.message();
        EXPECT_EQ(s.pos, s.input.size()) << name;
    }
}

TEST_F(ServerMessages, EveryTruncationFailsCleanly) {
    for (const auto& [name, all] : seeds()) {
        for (size_t cut = 1; cut < all.size(); ++cut) {
            memory_stream s(bytes(all.begin() + 1, all.begin() + static_cast<long>(cut)));
            EXPECT_TRUE(fuzz::read_message(all[0], s)) << name << " cut at " << cut;
        }
    }
}

TEST_F(ServerMessages, MalformedMessagesRefusedWithTheirTexts) {
    const std::map<std::string, fuzz::reader_kind> reader = {
        {"client_wants_reply", fuzz::rd_client_wants_reply}, {"dh_parameters", fuzz::rd_dh_parameters_reply},
        {"key_ack", fuzz::rd_key_reply}, {"auth", fuzz::rd_auth}, {"server_time", fuzz::rd_server_time_resp},
        {"rescan_resp", fuzz::rd_rescan_resp}, {"upgrade_resp", fuzz::rd_upgrade_resp},
        {"configure_resp", fuzz::rd_configure_resp}, {"checkin_resp", fuzz::rd_checkin_resp}};
    for (const auto& c : test::read_cases("message_refusals.txt")) {
        SCOPED_TRACE(c.where);
        memory_stream s(test::octets_of(c.field[1]));
        EXPECT_EQ(fuzz::read_message(reader.at(c.field[0]), s).message(), c.field[2]);
    }
}

}  // namespace
}  // namespace zp
