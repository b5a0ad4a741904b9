// messages_test.cpp - what the agent sends, and what it takes from the
// server's well-formed replies (the refusals are in corpus_test.cpp).
#include "protocol/messages.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "wire.h"
#include "protocol/memory_stream.h"
#include "protocol/messages_checkin.h"
#include "protocol/messages_conf.h"

namespace zp {
namespace {

using test::bytes;
using test::octets_of;
using test::wire;
using writer = std::function<err(memory_stream&)>;

// The scan notice is checked octet for octet where the configuration is downloaded.
TEST(AgentMessages, RequestsSendTheExpectedOctets) {
    const client_private_key key{"ag", "dom", "", true, false};
    const std::pair<writer, const char*> cases[] = {
        {write_negotiate_ack, "62 80 00 00"},
        {write_rescan_req, "7F 22 80 00 00"},
        {write_checkin_req, "6A 80"},
        {write_upgrade_req, "6C 80 02 01 2C 02 01 04 02 01 06 02 02 18 27 02 00 00 00"},
        {write_configure_req, "68 80 02 01 2C 02 01 04 02 01 06 02 02 18 27 02 00"},
        {[](memory_stream& s) { return write_server_time_req(s, 256); }, "77 80 02 02 01 00 02 00 00 00"},
        {[&](memory_stream& s) {
             if (auto e = write_client_wants(s)) return e;
             if (auto e = write_client_private_key(s, key)) return e;
             return write_end_of_contents(s);
         },
         "60 80 02 02 02 03 A1 80 04 02 \"ag\" 04 03 \"dom\" 04 00 01 01 01 01 01 00 01 01 00 00 00 00 00"},
        // A big number goes out as its magnitude, without a sign octet.
        {[](memory_stream& s) { return write_sporadic_bignum(s, *bn_new(0x80, 1)); }, "65 80 02 01 80 00 00"},
    };
    for (const auto& [write, expect] : cases) {
        SCOPED_TRACE(expect);
        memory_stream s;
        ASSERT_FALSE(write(s));
        EXPECT_EQ(s.output, octets_of(expect));
    }
}

TEST(AgentMessages, OverlongMemberRefusedWithItsName) {
    client_private_key key;
    key.id = std::string(129, 'i');
    const std::pair<writer, const char*> cases[] = {
        {[](memory_stream& s) { return write_downtime_req(s, 30, std::string(257, 'c')); },
         "downtime_req.comment: data out of range in write_string"},
        {[&](memory_stream& s) { return write_client_private_key(s, key); },
         "client_private_key.id: data out of range in write_string"},
        {[](memory_stream& s) { return write_check_description(s, 1, std::string(257, 'g'), "", ""); },
         "check_description.descriptionGood: data out of range in write_string"},
    };
    for (const auto& [write, expect] : cases) {
        memory_stream s;
        EXPECT_EQ(write(s).message(), expect);
    }
    memory_stream ok;
    EXPECT_FALSE(write_downtime_req(ok, 30, std::string(256, 'c')));
}

// The downtime, time and scan replies are read in the request, check-in and
// configuration tests; the offer is where unknown members must be skipped.
TEST(ServerReplies, OfferSkipsUnknownMembersAndReadsNoFurther) {
    auto in = wire().start(tag_server_offers).i(0x0203).start(tag_private_key).b(true).b(false).str("new member")
                  .end().i(99).end().raw({0x05, 0x00}).get();
    memory_stream offer(in);
    client_wants_reply r;
    ASSERT_FALSE(read_client_wants_reply(offer, r));
    EXPECT_EQ(std::tie(r.nack, r.version, r.key.hasMasterKey, r.key.hasHallmark),
              std::tuple(false, 0x0203, true, false));
    EXPECT_EQ(offer.pos, in.size() - 2);  // unknown members skipped, nothing read beyond the message
}

// The key reply and the public values travel in every key exchange of the
// conversation tests; the parameters reader also takes a refusal.
TEST(ServerReplies, KeyExchangeParametersOrRefusal) {
    memory_stream params(wire().start(tag_diffie_hellmann_parameters).raw({0x02, 0x01, 23, 0x02, 0x01, 5}).end().get());
    dh_parameters_reply reply;
    ASSERT_FALSE(read_dh_parameters_reply(params, reply));
    EXPECT_FALSE(reply.nack);
    EXPECT_TRUE(bn_equals_small(*reply.modulus, 23) && bn_equals_small(*reply.generator, 5));
    memory_stream nack(wire().start(tag_negotiate_nack).str("no keys").end().get());
    ASSERT_FALSE(read_dh_parameters_reply(nack, reply));
    EXPECT_EQ(std::tie(reply.nack, reply.reason), std::tuple(true, "no keys"));
}

bytes upgrade_header(uint32_t size) {
    return wire().start(tag_upgrade_resp).i(7).raw({0x04, 0x84}).raw({static_cast<uint8_t>(size >> 24),
        static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)}).get();
}

TEST(UpgradeResponse, FileHandedOnInSmallPiecesAndOnlyWithinTheCap) {
    bytes collected;
    size_t largest = 0;
    upgrade_sink sink = [&](const uint8_t* p, size_t n) {
        collected.insert(collected.end(), p, p + n);
        largest = std::max(largest, n);
        return err();
    };
    bytes in = upgrade_header(max_upgrade_size);
    in.resize(in.size() + max_upgrade_size, 0xAB);
    in.insert(in.end(), {0x00, 0x00});
    memory_stream s(in);
    ASSERT_FALSE(read_upgrade_resp(s, sink));
    EXPECT_EQ(std::tuple(collected.size(), largest, s.pos), std::tuple(max_upgrade_size, 1024u, in.size()));

    // One octet more is refused before any octet is read or handed on.
    collected.clear();
    in = upgrade_header(max_upgrade_size + 1);
    size_t header_size = in.size();
    in.resize(in.size() + 4096, 0xAB);
    memory_stream over(in);
    EXPECT_EQ(read_upgrade_resp(over, sink).message(), "data out of range in read_string");
    EXPECT_EQ(std::tuple(collected.size(), over.pos), std::tuple(0u, header_size));

    bytes cut = upgrade_header(5000);
    cut.resize(cut.size() + 3000, 1);
    memory_stream lost(cut);
    EXPECT_EQ(read_upgrade_resp(lost, sink).message(), "Peer closed connection unexpectedly");
    EXPECT_EQ(collected.size(), 2048u);  // whole pieces that arrived were handed on
    memory_stream full(cut);
    EXPECT_EQ(read_upgrade_resp(full, [](const uint8_t*, size_t) { return err::text("Error writing to file: disk"); })
                  .message(),
              "Error writing to file: disk");
}

}  // namespace
}  // namespace zp
