// session_test.cpp - the server's side of the set-up: key exchange, hallmark
// renewal, protocol versions, refusals and faults, against a test agent.
#include "test_agent.h"

namespace zp::test {

TEST(ServerSession, KeysAgreedOnceAreOfferedAfterRestartAndUnknownOnesAreNot) {
    temp_env d;
    test_agent a;
    {
        test_server srv(options_in(d));
        ASSERT_FALSE(a.open(srv.l.port())) << "first set-up";
        EXPECT_FALSE(a.offered.hasMasterKey);
        EXPECT_FALSE(a.offered.hasHallmark);
        a.close();
        ASSERT_TRUE(srv.wait_served(1));
    }
    test_server srv(options_in(d));
    ASSERT_FALSE(a.open(srv.l.port())) << "set-up with both keys after a restart";
    EXPECT_TRUE(a.offered.hasMasterKey);
    EXPECT_TRUE(a.offered.hasHallmark);
    a.close();

    // A hallmark lost on the agent is renewed from the master key.
    auto first = a.keys.hallmark;
    a.keys.hallmark.reset();
    ASSERT_FALSE(a.open(srv.l.port()));
    EXPECT_TRUE(a.offered.hasMasterKey);
    EXPECT_FALSE(a.offered.hasHallmark);
    EXPECT_NE(a.keys.hallmark, first);
    a.close();

    // A wrong hallmark fails authentication and the server goes on serving.
    a.keys.hallmark = std::string(32, '0');
    EXPECT_TRUE(a.open(srv.l.port()));
    a.close();
    test_agent b;
    b.name = "host2";
    EXPECT_FALSE(b.open(srv.l.port()));
    b.close();

    // A master key the server does not hold is not offered.
    test_agent c;
    c.name = "host3";
    c.keys.hostkey = "12345";
    ASSERT_FALSE(c.connect(srv.l.port()));
    client_wants_reply reply;
    ASSERT_FALSE(c.hello(reply));
    EXPECT_FALSE(reply.key.hasMasterKey);
}

TEST(ServerSession, ProtocolVersionsOfferedAsConfigured) {
    for (int32_t v : {0x0200, 0x0201, 0x0203}) {
        SCOPED_TRACE(v);
        temp_env d;
        auto o = options_in(d);
        o.version = v;
        test_server srv(o);
        test_agent a;
        // A server of 0x0200 sends no negotiate_ack after the key exchange;
        // the test agent would otherwise read the hallmark number as that ack.
        EXPECT_FALSE(a.open(srv.l.port()));
        EXPECT_EQ(a.server_version, v);
    }
}

TEST(ServerSession, NackCarriesTheReasonAndFiresOnce) {
    temp_env d;
    auto o = options_in(d);
    o.faults.push_back({"nack", "server_offers", 1});
    o.nack_reason = "go away";
    test_server srv(o);
    test_agent a;
    std::string reason;
    EXPECT_EQ(a.open(srv.l.port(), &reason).message(), "Server rejected us");
    EXPECT_EQ(reason, "go away");
    a.close();
    EXPECT_FALSE(a.open(srv.l.port()));
}

}  // namespace zp::test
