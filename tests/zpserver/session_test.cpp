// session_test.cpp - the server's side of the set-up: key exchange, hallmark
// renewal, protocol versions, refusals and faults, against the agent's own
// set-up.
#include "test_agent.h"
#include "tests/support/log_capture.h"

namespace zp::test {

TEST(ServerSession, KeysAgreedOnceAreOfferedAfterRestartAndUnknownOnesAreNot) {
    temp_env d;
    test_agent a(d);
    {
        test_server srv(options_in(d));
        ASSERT_FALSE(a.open(srv.l.port())) << "first set-up";
        a.close();
        ASSERT_TRUE(srv.wait_served(1));
    }
    // After a restart the server offers both keys: an agent that had to
    // renew its hallmark would hold a new one.
    const std::string first = *get_variable("hallmark");
    test_server srv(options_in(d));
    ASSERT_FALSE(a.open(srv.l.port())) << "set-up with both keys after a restart";
    a.close();
    EXPECT_EQ(*get_variable("hallmark"), first);

    // A hallmark lost on the agent is renewed from the master key.
    delete_variable("hallmark");
    ASSERT_FALSE(a.open(srv.l.port()));
    a.close();
    EXPECT_NE(*get_variable("hallmark"), first);

    // A wrong hallmark fails authentication and the server goes on serving.
    ASSERT_FALSE(set_variable("hallmark", std::string(32, '0')));
    EXPECT_TRUE(a.open(srv.l.port()));
    a.close();
    test_agent b(d, "host2");
    EXPECT_FALSE(b.open(srv.l.port()));
    b.close();

    // A master key the server does not hold is not offered.
    test_agent c(d, "host3");
    ASSERT_FALSE(set_variable("hostkey", "12345"));
    EXPECT_EQ(c.open(srv.l.port()).message(),
              "The Zerpal Server does not have a master key for the \"host3\" node in the \"lab\" domain - release "
              "the key on the agent!");
}

TEST(ServerSession, ProtocolVersionsOfferedAsConfigured) {
    for (int32_t v : {0x0200, 0x0201, 0x0203}) {
        SCOPED_TRACE(v);
        temp_env d;
        auto o = options_in(d);
        o.version = v;
        test_server srv(o);
        test_agent a(d);
        // A server of 0x0200 sends no key reply after the key exchange; the
        // agent would otherwise read the hallmark number as that reply.
        EXPECT_FALSE(a.open(srv.l.port()));
        EXPECT_EQ(session().server_version, v);
    }
}

TEST(ServerSession, NackCarriesTheReasonAndFiresOnce) {
    temp_env d;
    auto o = options_in(d);
    o.faults.push_back({"nack", "server_offers", 1});
    o.nack_reason = "go away";
    test_server srv(o);
    test_agent a(d);
    log_capture log(2);
    EXPECT_EQ(a.open(srv.l.port()).message(), "Server rejected us");
    EXPECT_TRUE(log.has("Server said: \"go away\""));
    a.close();
    EXPECT_FALSE(a.open(srv.l.port()));
}

}  // namespace zp::test
