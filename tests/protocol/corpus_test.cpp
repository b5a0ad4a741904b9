// corpus_test.cpp - the valid messages that seed the message fuzz target.
// Every seed must be read completely by the reader its first octet names.
// With ZP_WRITE_CORPUS=<dir> in the environment the seeds are (re)written there.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "core/log.h"
#include "fuzz/protocol/message_readers.h"
#include "wire.h"

namespace zp {
namespace {

using test::bytes;
using test::wire;
namespace fs = std::filesystem;

struct seed {
    const char* name;
    fuzz::reader_kind kind;
    wire msg;
};

std::vector<seed> seeds() {
    std::vector<seed> out;
    auto add = [&](const char* name, fuzz::reader_kind k, const wire& w) { out.push_back({name, k, w}); };

    add("server_offers", fuzz::rd_client_wants_reply,
        wire().start(tag_server_offers).i(0x0203).start(tag_private_key).b(true).b(true).end().end());
    add("negotiate_nack", fuzz::rd_client_wants_reply, wire().start(tag_negotiate_nack).str("refused").end());
    add("dh_parameters", fuzz::rd_dh_parameters_reply,
        wire().start(tag_diffie_hellmann_parameters).raw({0x02, 0x02, 0x00, 0xC5}).raw({0x02, 0x01, 0x02}).end());
    add("key_ack", fuzz::rd_key_reply,
        wire().start(tag_negotiate_ack).end().start(tag_sporadic_bignum).raw({0x02, 0x02, 0x7F, 0x01}).end());
    add("auth", fuzz::rd_auth,
        wire().start(tag_auth_challenge).raw({0x02, 0x01, 0x11}).end().start(tag_auth_response).raw({0x02, 0x00}).end());
    add("server_time", fuzz::rd_server_time_resp, wire().start(tag_server_time_resp).i(1700000000).i(5).end());
    add("downtime_resp", fuzz::rd_downtime_resp, wire().start(tag_downtime_resp).b(true).str("done").end());
    add("rescan_resp", fuzz::rd_rescan_resp, wire().start(tag_rescan_resp).b(false).str("busy").end());
    add("h_w_scan_resp", fuzz::rd_h_w_scan_resp, wire().start(tag_h_w_scan_resp).b(false).end());
    add("upgrade_resp", fuzz::rd_upgrade_resp, wire().start(tag_upgrade_resp).i(1).str("MZ program").end());

    wire conf;
    conf.start(tag_configure_resp).str("host-1").i(60)
        .list().list().str("srv1").i(3241).end().end()
        .list()
        .list().str("mem").list()
        .list().i(60).str("phys").start(tag_continuous_conf).i(90).i(80).nul().i(10).end().str("id1").end()
        .list().i(30).str("svc").start(tag_enum_conf).list().en(0).en(1).en(2).end().end().end()
        .list().i(30).str("cpu").start(tag_real_continuous_conf).real(95.5).nul().real(80.0).nul().end().str("id3").end()
        .end()
        .list().list().str("sub").list().list().i(5).str("l").start(tag_log_conf).end().end().end().list().end().end().end()
        .end()
        .list().str("log").list()
        .list().i(10).str("app").start(tag_adv_log_conf).str("^--").en(1)
        .list().list().str("error").en(2).en(3).str("fwd").end().end()
        .i(600).nul().end().str("id9").end()
        .end().list().end().end()
        .end()
        .list().list().str("ops").end().end()
        .end();
    add("configure_resp", fuzz::rd_configure_resp, conf);
    add("configure_resp_short", fuzz::rd_configure_resp,
        wire().start(tag_configure_resp).str("h").i(-1).list().end().list().end().end());

    add("checkin_resp", fuzz::rd_checkin_resp,
        wire().start(tag_checkin_resp).b(true).b(true).b(false)
            .list().list().str("act").list().list().str("sub").list().end().list().end().end().end()
            .list().list().str("reboot").end().end().end().end()
            .b(true).end());
    add("skip_value", fuzz::rd_skip_value,
        wire().list().start(context_tag(40)).str("x").end().raw({0x30, 0x02, 0x05, 0x00}).end().real(1.25));
    return out;
}

TEST(FuzzSeeds, EverySeedIsReadCompletely) {
    set_log_level(3);
    const char* dir = std::getenv("ZP_WRITE_CORPUS");
    for (const auto& sd : seeds()) {
        memory_stream s = sd.msg.stream();
        err e = fuzz::read_message(sd.kind, s);
        EXPECT_FALSE(e) << sd.name << ": " << e.message();
        EXPECT_EQ(s.pos, s.input.size()) << sd.name;
        if (dir) {
            std::ofstream f(fs::path(dir) / sd.name, std::ios::binary);
            f.put(static_cast<char>(sd.kind));
            f.write(reinterpret_cast<const char*>(s.input.data()), static_cast<std::streamsize>(s.input.size()));
        }
    }
    set_log_level(0);
}

TEST(FuzzSeeds, CheckedInCorpusStillValid) {
    set_log_level(3);
    fs::path dir = fs::path(ZP_SOURCE_DIR) / "fuzz/protocol/corpus";
    size_t n = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::ifstream f(entry.path(), std::ios::binary);
        bytes all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        ASSERT_FALSE(all.empty()) << entry.path();
        memory_stream s(bytes(all.begin() + 1, all.end()));
        err e = fuzz::read_message(all[0], s);
        EXPECT_FALSE(e) << entry.path() << ": " << e.message();
        ++n;
    }
    EXPECT_GT(n, 0u);
    set_log_level(0);
}

}  // namespace
}  // namespace zp
