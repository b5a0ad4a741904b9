// session_test.cpp - session set-up against a scripted server: key exchange,
// version negotiation, hallmark derivation and failures, mutual
// authentication, failover and registration.
#include "tests/conversation/peer.h"

namespace zp::test {
namespace {

using session_test = conversation_fixture;

// The server's script for one set-up that ends after authentication.
fake_server::script handshake(server_keys& keys, handshake_opts o = {}, client_private_key* got = nullptr,
                              err* result = nullptr) {
    return [&keys, o, got, result](stream_ptr& io) -> err {
        announced a;
        err e = serve_handshake(io, keys, o, a);
        if (got) *got = a.key;
        if (result) *result = e;
        return {};
    };
}

TEST_F(session_test, FirstStartExchangesKeysThenAnnouncesBothKeys) {
    fake_server srv;
    server_keys keys;
    client_private_key first, second;
    srv.run({handshake(keys, {}, &first), handshake(keys, {}, &second)});
    config c = agent_config({srv.port()});

    stream_ptr s;
    err e = setup_connection(c, s);
    ASSERT_FALSE(e) << e.message();
    s.reset();
    stream_ptr s2;
    e = setup_connection(c, s2);
    srv.join();
    ASSERT_FALSE(e) << e.message();
    EXPECT_TRUE(srv.errors.empty());
    EXPECT_FALSE(first.hasMasterKey);
    EXPECT_FALSE(first.hasHallmark);
    EXPECT_EQ(first.name, "host1");
    EXPECT_EQ(first.domain, "dom");
    ASSERT_TRUE(get_variable("hostkey"));
    ASSERT_TRUE(get_variable("hallmark"));
    EXPECT_EQ(*get_variable("hostkey"), *keys.hostkey);
    EXPECT_EQ(*get_variable("hallmark"), *keys.hallmark);
    EXPECT_EQ(get_variable("hallmark")->size(), 32u);
    EXPECT_TRUE(second.hasMasterKey);
    EXPECT_TRUE(second.hasHallmark);
}

// Old servers (version 0x0200) send nothing after their public value; newer
// ones acknowledge it. Reading an acknowledgement from an old server would
// swallow its sporadic number.
TEST_F(session_test, ServerVersionDecidesWhetherTheKeyIsAcknowledged) {
    for (int32_t version : {0x0200, 0x0201, 0x0203}) {
        SCOPED_TRACE(version);
        clear_variables();
        fake_server srv;
        server_keys keys;
        handshake_opts o;
        o.version = version;
        err server_result;
        srv.run({handshake(keys, o, nullptr, &server_result)});
        config c = agent_config({srv.port()});
        stream_ptr s;
        err e = setup_connection(c, s);
        srv.join();
        EXPECT_FALSE(e) << e.message();
        EXPECT_FALSE(server_result) << server_result.message();
        EXPECT_EQ(session().server_version, version);
    }
}

TEST_F(session_test, IncompatibleServerVersionIsRefused) {
    fake_server srv;
    server_keys keys;
    handshake_opts o;
    o.version = 0x0300;
    srv.run({handshake(keys, o)});
    config c = agent_config({srv.port()});
    stream_ptr s;
    err e = setup_connection(c, s);
    srv.join();
    EXPECT_EQ(e.message(),
              "Zerpal Server does not support our protocol version. Upgrade the Zerpal Server, or downgrade the "
              "Zerpal Agent.");
    EXPECT_FALSE(s);
    EXPECT_FALSE(get_variable("hostkey"));
}

TEST_F(session_test, NackRejectsTheAgentAndLogsTheReason) {
    fake_server srv;
    server_keys keys;
    handshake_opts o;
    o.nack = true;
    srv.run({handshake(keys, o)});
    config c = agent_config({srv.port()});
    stream_ptr s;
    err e = setup_connection(c, s);
    srv.join();
    EXPECT_EQ(e.message(), "Server rejected us");
    EXPECT_TRUE(logs->has("Server said: \"go away\""));
}

TEST_F(session_test, RefusedPublicValueStoresNoKey) {
    fake_server srv;
    server_keys keys;
    handshake_opts o;
    o.key_nack = true;
    srv.run({handshake(keys, o)});
    config c = agent_config({srv.port()});
    stream_ptr s;
    err e = setup_connection(c, s);
    srv.join();
    EXPECT_NE(e.message().find("key refused"), std::string::npos) << e.message();
    EXPECT_FALSE(get_variable("hostkey"));
}

TEST_F(session_test, ServerWithoutTheAgentsMasterKeyIsNamedForRelease) {
    ASSERT_FALSE(set_variable("hostkey", "12345"));
    fake_server srv;
    server_keys keys;  // the server has forgotten this agent
    srv.run({handshake(keys)});
    config c = agent_config({srv.port()});
    stream_ptr s;
    err e = setup_connection(c, s);
    srv.join();
    EXPECT_EQ(e.message(),
              "The Zerpal Server does not have a master key for the \"host1\" node in the \"dom\" domain - release "
              "the key on the agent!");
    EXPECT_EQ(*get_variable("hostkey"), "12345");
}

// A hallmark the agent lost is derived again from the master key, without a
// new key exchange.
TEST_F(session_test, LostHallmarkIsDerivedFromTheMasterKey) {
    fake_server srv;
    server_keys keys;
    client_private_key second;
    srv.run({handshake(keys), handshake(keys, {}, &second)});
    config c = agent_config({srv.port()});
    stream_ptr s1, s2;
    ASSERT_FALSE(setup_connection(c, s1));
    std::string hostkey = *get_variable("hostkey");
    std::string old_hallmark = *get_variable("hallmark");
    delete_variable("hallmark");
    s1.reset();
    err e = setup_connection(c, s2);
    srv.join();
    EXPECT_FALSE(e) << e.message();
    EXPECT_TRUE(srv.errors.empty());
    EXPECT_TRUE(second.hasMasterKey);
    EXPECT_FALSE(second.hasHallmark);
    EXPECT_EQ(*get_variable("hostkey"), hostkey);
    EXPECT_NE(*get_variable("hallmark"), old_hallmark);
    EXPECT_EQ(*get_variable("hallmark"), *keys.hallmark);
}

// The server derives its hallmark from another master key: three set-ups
// delete the agent's hallmark, the fourth names the key mismatch and keeps it.
TEST_F(session_test, HallmarkOutOfStepThreeTimesThenKeyMismatch) {
    ASSERT_FALSE(set_variable("hostkey", "1111"));
    ASSERT_FALSE(set_variable("hallmark", "0123456789abcdef0123456789abcdef"));
    server_keys keys;
    keys.hostkey = "2222";
    handshake_opts o;
    o.close_after_challenge = true;
    config c;
    for (int i = 1; i <= 4; ++i) {
        SCOPED_TRACE(i);
        fake_server srv;
        keys.hallmark.reset();
        srv.run({handshake(keys, o)});
        c = agent_config({srv.port()});
        stream_ptr s;
        err e = setup_connection(c, s);
        srv.join();
        if (i <= 3) {
            EXPECT_NE(e.message().find("probably hallmark is out of sync"), std::string::npos) << e.message();
            EXPECT_EQ(e.message().rfind("Protocol error (", 0), 0u);
            EXPECT_FALSE(get_variable("hallmark"));
            EXPECT_EQ(session().hallmark_failures, i);
        } else {
            EXPECT_NE(e.message().find("probably agent/server key mismatch"), std::string::npos) << e.message();
            EXPECT_TRUE(get_variable("hallmark"));
            EXPECT_EQ(session().hallmark_failures, 3);
        }
    }
    EXPECT_EQ(*get_variable("hostkey"), "1111");
}

TEST_F(session_test, WrongAnswerToOurChallengeFailsAuthentication) {
    fake_server srv;
    server_keys keys;
    handshake_opts o;
    o.bad_response = true;
    srv.run({handshake(keys, o)});
    config c = agent_config({srv.port()});
    stream_ptr s;
    err e = setup_connection(c, s);
    srv.join();
    EXPECT_EQ(e.message(), "Server failed authentication!");
}

TEST_F(session_test, ServerThatClosesBeforeAnsweringOurChallengeLosesTheHallmark) {
    fake_server srv;
    server_keys keys;
    srv.run({[&](stream_ptr& io) -> err {
        // Authenticate as usual up to our challenge, then hang up.
        announced a;
        handshake_opts o;
        o.close_after_challenge = true;
        if (auto e = serve_handshake(io, keys, o, a)) return e;
        bignum_ptr r1;
        if (auto e = read_auth_response(*io, r1)) return e;
        bignum_ptr c2;
        return read_auth_challenge(*io, c2);
    }});
    config c = agent_config({srv.port()});
    stream_ptr s;
    err e = setup_connection(c, s);
    srv.join();
    EXPECT_EQ(e.message().rfind("Server rejected challenge response (", 0), 0u) << e.message();
    EXPECT_NE(e.message().find(") - will re-negotiate hallmark"), std::string::npos);
    EXPECT_FALSE(get_variable("hallmark"));
    EXPECT_TRUE(get_variable("hostkey"));
}

TEST_F(session_test, SilentServerCostsOnlyTheIoTimeout) {
    fake_server srv;
    srv.run({[](stream_ptr& io) -> err {
        char b;
        while (!io->read(&b, 1)) {
        }  // reads until the agent gives up
        return {};
    }});
    set_io_timeout(1);
    config c = agent_config({srv.port()});
    stream_ptr s;
    err e = setup_connection(c, s);
    srv.join();
    EXPECT_NE(e.message().find("Timeout in socket_recv()"), std::string::npos) << e.message();
}

// ---------------------------------------------------------------------------
// Registration and failover.

// A configuration with no checks and no server list.
err serve_empty_configuration(ProtocolStream& s) {
    value req;
    if (auto e = read_value(s, req)) return e;
    if (req.tag != tag_configure_req) return format_error("expected configure_req, got %u", req.tag);
    wire w;
    w.start(tag_configure_resp).str("agent-7").i(120).list().end().list().end().end();
    return send(s, w);
}

fake_server::script registration(server_keys& keys, announced* got = nullptr, bool time_sync = true) {
    return [&keys, got, time_sync](stream_ptr& io) -> err {
        announced a;
        if (auto e = serve_handshake(io, keys, {}, a)) return e;
        if (got) *got = a;
        if (auto e = serve_empty_configuration(*io)) return e;
        if (!time_sync) return {};
        return serve_time(*io, 1000);
    };
}

TEST_F(session_test, RegistrationTakesIdFrequencyAndTimeOffset) {
    fake_server srv;
    server_keys keys;
    srv.run({registration(keys)});
    config c = agent_config({srv.port()});
    devtree_list tree;
    conversation_env env;
    env.configured = &tree;
    err e = register_agent(c, env);
    srv.join();
    EXPECT_FALSE(e) << e.message();
    EXPECT_TRUE(srv.errors.empty()) << srv.errors[0];
    EXPECT_EQ(c.host_id.value_or(""), "agent-7");
    EXPECT_EQ(*get_variable("host_id"), "agent-7");
    EXPECT_EQ(c.checkin_interval, 120u);
    EXPECT_TRUE(logs->has("Authentication and registration ok"));
}

TEST_F(session_test, RegistrationWithoutTimeSynchronisationStillSucceeds) {
    fake_server srv;
    server_keys keys;
    srv.run({registration(keys, nullptr, false)});
    config c = agent_config({srv.port()});
    devtree_list tree;
    conversation_env env;
    env.configured = &tree;
    err e = register_agent(c, env);
    srv.join();
    EXPECT_FALSE(e) << e.message();
    EXPECT_TRUE(logs->has("Server does not support time synchronization"));
}

TEST_F(session_test, UnnamedAgentRegistersUnderItsLocalAddress) {
    fake_server srv;
    server_keys keys;
    announced got;
    srv.run({registration(keys, &got)});
    config c = agent_config({srv.port()});
    c.name.reset();
    devtree_list tree;
    conversation_env env;
    env.configured = &tree;
    err e = register_agent(c, env);
    srv.join();
    EXPECT_FALSE(e) << e.message();
    EXPECT_EQ(got.key.name, "127.0.0.1");
    EXPECT_TRUE(logs->has("Using local ip address: 127.0.0.1"));
}

TEST_F(session_test, FailedRegistrationMovesToTheNextServer) {
    fake_server srv;
    server_keys keys;
    srv.run({registration(keys)});
    config c = agent_config({closed_port(), srv.port()});
    devtree_list tree;
    conversation_env env;
    env.configured = &tree;

    EXPECT_TRUE(register_agent(c, env));
    EXPECT_EQ(current_server(), 1);
    EXPECT_TRUE(server_changed());
    server_changed() = false;
    err e = register_agent(c, env);
    srv.join();
    EXPECT_FALSE(e) << e.message();
    EXPECT_EQ(current_server(), 1);
    EXPECT_FALSE(server_changed());
}

TEST_F(session_test, FailedRegistrationWithOneServerStaysPut) {
    config c = agent_config({closed_port()});
    devtree_list tree;
    conversation_env env;
    env.configured = &tree;
    EXPECT_TRUE(register_agent(c, env));
    EXPECT_EQ(current_server(), 0);
    EXPECT_FALSE(server_changed());
}

TEST_F(session_test, CommandSetUpNeverMovesTheServer) {
    config c = agent_config({closed_port(), closed_port()});
    stream_ptr s;
    EXPECT_TRUE(setup_connection(c, s));
    EXPECT_EQ(current_server(), 0);
    EXPECT_FALSE(server_changed());
}

}  // namespace
}  // namespace zp::test
