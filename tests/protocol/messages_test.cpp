// messages_test.cpp - session set-up and short-request messages on the wire.
#include "protocol/messages.h"

#include <gtest/gtest.h>

#include "protocol/memory_stream.h"
#include "wire.h"

namespace zp {
namespace {

using test::bytes;
using test::octets;
using test::wire;

template <class F>
bytes written(F f) {
    memory_stream s;
    err e = f(s);
    EXPECT_FALSE(e) << e.message();
    return s.output;
}

TEST(MessageOctets, EmptyMessagesAndFixedValues) {
    EXPECT_EQ(written([](memory_stream& s) { return write_negotiate_ack(s); }), octets({0x62, 0x80, 0x00, 0x00}));
    EXPECT_EQ(written([](memory_stream& s) { return write_rescan_req(s); }),
              octets({0x7F, 0x22, 0x80, 0x00, 0x00}));
    EXPECT_EQ(written([](memory_stream& s) { return write_h_w_scan_req(s); }),
              octets({0x7F, 0x20, 0x80, 0x00, 0x00}));
    EXPECT_EQ(written([](memory_stream& s) { return write_upgrade_req(s); }),
              octets({0x6C, 0x80, 0x02, 0x01, 0x2C, 0x02, 0x01, 0x04, 0x02, 0x01, 0x06, 0x02, 0x02, 0x18, 0x27,
                      0x02, 0x00, 0x00, 0x00}));
    EXPECT_EQ(written([](memory_stream& s) { return write_server_time_req(s, 256); }),
              octets({0x77, 0x80, 0x02, 0x02, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00}));
}

TEST(MessageOctets, ClientWantsCarriesVersionAndKeyRecord) {
    client_private_key key{"ag", "dom", "", true, false};
    auto out = written([&](memory_stream& s) {
        if (auto e = write_client_wants(s)) return e;
        if (auto e = write_client_private_key(s, key)) return e;
        return write_end_of_contents(s);
    });
    EXPECT_EQ(out, octets({0x60, 0x80, 0x02, 0x02, 0x02, 0x03, 0xA1, 0x80, 0x04, 0x02, 'a',  'g',  0x04, 0x03,
                           'd',  'o',  'm',  0x04, 0x00, 0x01, 0x01, 0x01, 0x01, 0x01, 0x00, 0x01, 0x01, 0x00,
                           0x00, 0x00, 0x00, 0x00}));
}

TEST(MessageWriters, OverlongMemberNamedInText) {
    memory_stream s;
    EXPECT_EQ(write_downtime_req(s, 30, std::string(257, 'c')).message(),
              "downtime_req.comment: data out of range in write_string");
    memory_stream t;
    client_private_key key;
    key.id = std::string(129, 'i');
    EXPECT_EQ(write_client_private_key(t, key).message(), "client_private_key.id: data out of range in write_string");
    memory_stream ok;
    EXPECT_FALSE(write_downtime_req(ok, 30, std::string(256, 'c')));
}

TEST(MessageReaders, ServerPrivateKeyWithUnknownMemberAccepted) {
    auto in = wire().start(tag_server_offers).i(0x0203).start(tag_private_key).b(true).b(false).str("new member")
                  .end().i(99).end().raw({0x05, 0x00}).get();
    memory_stream s(in);
    client_wants_reply r;
    ASSERT_FALSE(read_client_wants_reply(s, r));
    EXPECT_FALSE(r.nack);
    EXPECT_EQ(r.version, 0x0203);
    EXPECT_TRUE(r.key.hasMasterKey);
    EXPECT_FALSE(r.key.hasHallmark);
    EXPECT_EQ(s.pos, in.size() - 2);  // the message consumed exactly, nothing beyond
}

TEST(MessageReaders, ClientWantsReplyDispatch) {
    memory_stream nack(wire().start(tag_negotiate_nack).str("go away").end().get());
    client_wants_reply r;
    ASSERT_FALSE(read_client_wants_reply(nack, r));
    EXPECT_TRUE(r.nack);
    EXPECT_EQ(r.reason, "go away");

    memory_stream other(wire().start(tag_negotiate_ack).end().get());
    EXPECT_EQ(read_client_wants_reply(other, r).message(), "Server returned bad reply to client_wants: 19");

    memory_stream old(wire().start(tag_server_offers).i(0x0203).end().get());
    EXPECT_EQ(read_client_wants_reply(old, r).message(),
              "Zerpal Server does not support private key authentication.  Upgrade  the Zerpal Server.");

    memory_stream range(wire().start(tag_server_offers).i(65536).get());
    EXPECT_EQ(read_client_wants_reply(range, r).message(),
              "server_offers.version: data out of range in read_signed_int");
}

TEST(MessageReaders, WrongTagAndDefiniteLengthNamedAfterReader) {
    bool ok = false;
    std::string msg;
    memory_stream wrong(wire().start(tag_downtime_resp).b(true).str("x").end().get());
    EXPECT_EQ(read_rescan_resp(wrong, ok, msg).message(), "Wrong tag (251) encountered in read_rescan_resp");
    memory_stream definite(octets({0x7F, 0x23, 0x06, 0x01, 0x01, 0x01, 0x04, 0x01, 'x'}));
    EXPECT_EQ(read_rescan_resp(definite, ok, msg).message(), "Definite length read in read_rescan_resp");
    // The caller read the identifier and dispatched: only the length follows.
    memory_stream rest(octets({0x80, 0x01, 0x01, 0x00, 0x04, 0x02, 'n', 'o', 0x00, 0x00}));
    ASSERT_FALSE(read_downtime_resp(rest, ok, msg, tag_downtime_resp));
    EXPECT_FALSE(ok);
    EXPECT_EQ(msg, "no");
}

TEST(MessageReaders, TimeResponseMicrosecondsChecked) {
    int32_t sec = 1, usec = 2;
    memory_stream bad(wire().start(tag_server_time_resp).i(100).i(1000000).end().get());
    EXPECT_EQ(read_server_time_resp(bad, sec, usec).message(),
              "server_time_resp.serverTimeUSec: data out of range in read_signed_int");
    EXPECT_EQ(sec, 1);
    memory_stream good(wire().start(tag_server_time_resp).i(-5).i(999999).end().get());
    ASSERT_FALSE(read_server_time_resp(good, sec, usec));
    EXPECT_EQ(sec, -5);
    EXPECT_EQ(usec, 999999);
}

TEST(MessageReaders, HardwareScanAndNackReplies) {
    bool nack = false;
    memory_stream s(octets({0x7F, 0x21, 0x80, 0x01, 0x01, 0x01, 0x00, 0x00}));
    ASSERT_FALSE(read_h_w_scan_resp(s, nack));
    EXPECT_TRUE(nack);
    std::string reason;
    memory_stream n(wire().start(tag_negotiate_nack).str(std::string(1025, 'r')).end().get());
    EXPECT_EQ(read_negotiate_nack(n, reason).message(), "negotiate_nack.reason: data out of range in read_string");
}

TEST(KeyMessages, NumbersTravelInsideTheirMessages) {
    auto n = bn_new(0x80, 1);
    ASSERT_TRUE(n);
    memory_stream s;
    ASSERT_FALSE(write_sporadic_bignum(s, *n));
    // The magnitude goes out as it is, without a sign octet.
    EXPECT_EQ(s.output, octets({0x65, 0x80, 0x02, 0x01, 0x80, 0x00, 0x00}));
    memory_stream r(s.output);
    bignum_ptr back;
    ASSERT_FALSE(read_sporadic_bignum(r, back));
    EXPECT_TRUE(bn_equals(*back, *n));
    memory_stream wrong(s.output);
    EXPECT_EQ(read_auth_challenge(wrong, back).message(), "Wrong tag (43) encountered in read_auth_challenge");
    memory_stream big(wire().start(tag_auth_response).raw({0x02, 0x82, 0x10, 0x01}).get());
    EXPECT_EQ(read_auth_response(big, back).message(), "auth_response.num: data out of range in read_bignum");
}

TEST(KeyMessages, ReplyDispatch) {
    auto p = bn_new(23, 1);
    auto g = bn_new(5, 1);
    memory_stream params;
    ASSERT_FALSE(write_constructed_start(params, tag_diffie_hellmann_parameters));
    ASSERT_FALSE(write_bignum(params, *p));
    ASSERT_FALSE(write_bignum(params, *g));
    ASSERT_FALSE(write_end_of_contents(params));
    memory_stream in(params.output);
    dh_parameters_reply reply;
    ASSERT_FALSE(read_dh_parameters_reply(in, reply));
    EXPECT_FALSE(reply.nack);
    EXPECT_TRUE(bn_equals_small(*reply.modulus, 23));
    EXPECT_TRUE(bn_equals_small(*reply.generator, 5));

    memory_stream nack(wire().start(tag_negotiate_nack).str("no keys").end().get());
    ASSERT_FALSE(read_dh_parameters_reply(nack, reply));
    EXPECT_TRUE(reply.nack);
    EXPECT_EQ(reply.reason, "no keys");
    memory_stream other(wire().start(tag_negotiate_ack).end().get());
    EXPECT_EQ(read_dh_parameters_reply(other, reply).message(),
              "Wrong tag (19) encountered, expected diffie_hellmann_parameters");

    bool refused = true;
    std::string reason;
    memory_stream ack(wire().start(tag_negotiate_ack).end().get());
    ASSERT_FALSE(read_key_reply(ack, 0x0203, refused, reason));
    EXPECT_FALSE(refused);
    memory_stream odd(wire().start(tag_auth_challenge).end().get());
    EXPECT_EQ(read_key_reply(odd, 0x0203, refused, reason).message(), "Server returned bad reply to key: 51 (203)");
}

struct UpgradeResponse : ::testing::Test {
    bytes collected;
    size_t calls = 0;
    size_t largest = 0;
    upgrade_sink sink = [this](const uint8_t* p, size_t n) {
        collected.insert(collected.end(), p, p + n);
        ++calls;
        largest = std::max(largest, n);
        return err();
    };

    static bytes header(uint32_t file_size) {
        uint8_t len[4] = {static_cast<uint8_t>(file_size >> 24), static_cast<uint8_t>(file_size >> 16),
                          static_cast<uint8_t>(file_size >> 8), static_cast<uint8_t>(file_size)};
        return wire().start(tag_upgrade_resp).i(7).raw({0x04, 0x84, len[0], len[1], len[2], len[3]}).get();
    }
};

TEST_F(UpgradeResponse, LargestFileAcceptedInSmallPieces) {
    bytes in = header(max_upgrade_size);
    in.resize(in.size() + max_upgrade_size, 0xAB);
    in.insert(in.end(), {0x00, 0x00});
    memory_stream s(in);
    ASSERT_FALSE(read_upgrade_resp(s, sink));
    EXPECT_EQ(collected.size(), max_upgrade_size);
    EXPECT_EQ(largest, 1024u);
    EXPECT_EQ(s.pos, in.size());
}

TEST_F(UpgradeResponse, OversizedFileRefusedBeforeAnyOctet) {
    bytes in = header(max_upgrade_size + 1);
    size_t header_size = in.size();
    in.resize(in.size() + 4096, 0xAB);
    memory_stream s(in);
    EXPECT_EQ(read_upgrade_resp(s, sink).message(), "data out of range in read_string");
    EXPECT_EQ(calls, 0u);
    EXPECT_EQ(s.pos, header_size);
}

TEST_F(UpgradeResponse, FramingTextsAndLostConnection) {
    memory_stream wrong(wire().start(tag_rescan_resp).end().get());
    EXPECT_EQ(read_upgrade_resp(wrong, sink).message(), "Wrong tag encountered in read_upgrade_resp");
    memory_stream definite(octets({0x6D, 0x02, 0x02, 0x00}));
    EXPECT_EQ(read_upgrade_resp(definite, sink).message(), "Definite length read in read_upgrade_resp");
    memory_stream not_string(wire().start(tag_upgrade_resp).i(1).i(2).end().get());
    EXPECT_EQ(read_upgrade_resp(not_string, sink).message(), "Wrong tag, expected BE_STRING");
    bytes cut = header(5000);
    cut.resize(cut.size() + 3000, 1);
    memory_stream lost(cut);
    EXPECT_EQ(read_upgrade_resp(lost, sink).message(), "Peer closed connection unexpectedly");
    EXPECT_EQ(collected.size(), 2048u);  // whole pieces that arrived were handed on
}

TEST_F(UpgradeResponse, SinkFailureEndsRead) {
    bytes in = header(10);
    in.resize(in.size() + 10, 1);
    memory_stream s(in);
    EXPECT_EQ(read_upgrade_resp(s, [](const uint8_t*, size_t) { return err::text("Error writing to file: disk"); })
                  .message(),
              "Error writing to file: disk");
}

}  // namespace
}  // namespace zp
