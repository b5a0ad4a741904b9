// session_test.cpp - session set-up against a scripted server: key exchange,
// version negotiation, hallmark derivation and failures, mutual
// authentication, failover and registration.
#include "tests/protocol/conversation/peer.h"

namespace zp::test {
namespace {

class session_test : public conversation_fixture {
protected:
    // One set-up against a server with `keys`; `server_result` is how the
    // server's side ended.
    err set_up(handshake_opts o = {}, stream_ptr* out = nullptr) {
        stream_ptr s;
        err e = against({[this, o](stream_ptr& io) -> err {
                            server_result = serve_handshake(io, keys, o);
                            return {};
                        }},
                        [&](config& c) { return setup_connection(c, s); });
        if (out) *out = std::move(s);
        return e;
    }
    err register_with(fake_server::script script, bool unnamed = false) {
        devtree_list tree;
        conversation_env env;
        env.configured = &tree;
        return against({script}, [&](config& c) {
            if (unnamed) c.name.reset();
            err e = register_agent(c, env);
            registered = c;
            return e;
        });
    }
    config registered;
    server_keys keys;
    const client_private_key& got = keys.got;
    err server_result;
};

// Old servers (version 0x0200) send nothing after their public value; newer
// ones acknowledge it. Reading an acknowledgement from an old server would
// swallow its sporadic number.
TEST_F(session_test, FirstStartExchangesKeysThenAnnouncesBothKeys) {
    for (int32_t version : {0x0200, 0x0201, 0x0203}) {
        SCOPED_TRACE(version);
        clear_variables();
        keys = {};
        ASSERT_FALSE(set_up({.version = version}));
        EXPECT_FALSE(server_result) << server_result.message();
        EXPECT_EQ(session().server_version, version);
        EXPECT_FALSE(got.hasMasterKey);
        EXPECT_FALSE(got.hasHallmark);
        ASSERT_TRUE(get_variable("hostkey") && get_variable("hallmark"));
        EXPECT_EQ(*get_variable("hostkey"), *keys.hostkey);
        EXPECT_EQ(*get_variable("hallmark"), *keys.hallmark);
        EXPECT_EQ(get_variable("hallmark")->size(), 32u);

        ASSERT_FALSE(set_up({.version = version}));
        EXPECT_TRUE(got.hasMasterKey);
        EXPECT_TRUE(got.hasHallmark);

        // A lost hallmark is derived again from the master key, without a new
        // key exchange.
        std::string hostkey = *get_variable("hostkey"), old_hallmark = *get_variable("hallmark");
        delete_variable("hallmark");
        ASSERT_FALSE(set_up({.version = version}));
        EXPECT_TRUE(got.hasMasterKey);
        EXPECT_FALSE(got.hasHallmark);
        EXPECT_EQ(*get_variable("hostkey"), hostkey);
        EXPECT_NE(*get_variable("hallmark"), old_hallmark);
        EXPECT_EQ(*get_variable("hallmark"), *keys.hallmark);
    }
}

TEST_F(session_test, RefusedSetUpNamesTheReason) {
    struct {
        const char* fault;
        handshake_opts o;
        const char* preset_hostkey;
        std::string message;
        const char* hostkey_after;  // "*": any
        bool hallmark_kept;
    } cases[] = {
        {"incompatible version", {.version = 0x0300}, nullptr,
         "Zerpal Server does not support our protocol version. Upgrade the Zerpal Server, or downgrade the Zerpal Agent.",
         nullptr, false},
        {"nack", {.nack = true}, nullptr, "Server rejected us", nullptr, false},
        {"public value refused", {.key_nack = true}, nullptr, "key refused", nullptr, false},
        {"server forgot the master key", {}, "12345",
         "The Zerpal Server does not have a master key for the \"host1\" node in the \"dom\" domain - release the key "
         "on the agent!",
         "12345", false},
        {"wrong answer to our challenge", {.bad_response = true}, nullptr, "Server failed authentication!", "*", true},
        // The hallmark is lost so that the next set-up derives it anew.
        {"no answer to our challenge", {.no_answer = true}, nullptr,
         "Server rejected challenge response (Peer closed connection unexpectedly) - will re-negotiate hallmark", "*",
         false},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.fault);
        clear_variables();
        keys = {};
        if (t.preset_hostkey) {
            ASSERT_FALSE(set_variable("hostkey", t.preset_hostkey));
        }
        stream_ptr s;
        err e = set_up(t.o, &s);
        EXPECT_NE(e.message().find(t.message), std::string::npos) << e.message();
        EXPECT_FALSE(s);
        if (!t.hostkey_after) {
            EXPECT_FALSE(get_variable("hostkey"));
        } else {
            ASSERT_TRUE(get_variable("hostkey"));
            if (std::string(t.hostkey_after) != "*") {
                EXPECT_EQ(*get_variable("hostkey"), t.hostkey_after);
            }
        }
        EXPECT_EQ(get_variable("hallmark") != nullptr, t.hallmark_kept);
    }
    EXPECT_TRUE(logged("Server said: \"go away\""));
}

// The server derives its hallmark from another master key: three set-ups
// delete the agent's hallmark, the fourth names the key mismatch and keeps it.
TEST_F(session_test, HallmarkOutOfStepThreeTimesThenKeyMismatch) {
    ASSERT_FALSE(set_variable("hostkey", "1111"));
    ASSERT_FALSE(set_variable("hallmark", "0123456789abcdef0123456789abcdef"));
    keys.hostkey = "2222";
    for (int i = 1; i <= 4; ++i) {
        SCOPED_TRACE(i);
        keys.hallmark.reset();
        std::string m = set_up({.close_after_challenge = true}).message();
        if (i <= 3) {
            EXPECT_NE(m.find("probably hallmark is out of sync"), std::string::npos) << m;
            EXPECT_EQ(m.rfind("Protocol error (", 0), 0u);
            EXPECT_FALSE(get_variable("hallmark"));
            EXPECT_EQ(session().hallmark_failures, i);
        } else {
            EXPECT_NE(m.find("probably agent/server key mismatch"), std::string::npos) << m;
            EXPECT_TRUE(get_variable("hallmark"));
            EXPECT_EQ(session().hallmark_failures, 3);
        }
    }
    EXPECT_EQ(*get_variable("hostkey"), "1111");
}

// ---------------------------------------------------------------------------
// Registration and failover.

// The set-up, a configuration with no checks and no server list, and
// optionally the time.
fake_server::script registration(server_keys& keys, bool time_sync = true) {
    return after_handshake(keys, [time_sync](ProtocolStream& s) -> err {
        if (auto e = read_request(s, tag_configure_req)) return e;
        if (auto e = send(s, wire().start(tag_configure_resp).str("agent-7").i(120).list().end().list().end().end()))
            return e;
        return time_sync ? serve_time(s, 1000) : err();
    });
}

TEST_F(session_test, RegistrationKeepsTheIdWithOrWithoutTimeAndName) {
    err e = register_with(registration(keys));
    ASSERT_FALSE(e) << e.message();
    EXPECT_TRUE(server_errors.empty());
    EXPECT_EQ(registered.host_id.value_or(""), "agent-7");
    EXPECT_TRUE(logged("Authentication and registration ok"));

    e = register_with(registration(keys, false));
    EXPECT_FALSE(e) << e.message();
    EXPECT_TRUE(logged("Server does not support time synchronization"));

    e = register_with(registration(keys), true);
    EXPECT_FALSE(e) << e.message();
    EXPECT_EQ(keys.got.name, "127.0.0.1");
    EXPECT_TRUE(logged("Using local ip address: 127.0.0.1"));
}

TEST_F(session_test, FailedRegistrationMovesToTheNextServerOnly) {
    devtree_list tree;
    conversation_env env;
    env.configured = &tree;
    config one = agent_config({closed_port()});
    EXPECT_TRUE(register_agent(one, env));
    EXPECT_EQ(current_server(), 0);
    EXPECT_FALSE(server_changed());

    config command = agent_config({closed_port(), closed_port()});
    stream_ptr s;
    EXPECT_TRUE(setup_connection(command, s));  // a command never moves the server
    EXPECT_EQ(current_server(), 0);
    EXPECT_FALSE(server_changed());

    fake_server srv;
    srv.run({registration(keys)});
    config two = agent_config({closed_port(), srv.port()});
    EXPECT_TRUE(register_agent(two, env));
    EXPECT_EQ(current_server(), 1);
    EXPECT_TRUE(server_changed());
    server_changed() = false;
    err e = register_agent(two, env);
    srv.join();
    EXPECT_FALSE(e) << e.message();
    EXPECT_EQ(current_server(), 1);
    EXPECT_FALSE(server_changed());
}

}  // namespace
}  // namespace zp::test
