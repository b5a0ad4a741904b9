// robustness_test.cpp - what a hostile or broken agent cannot do to the
// server, and the server's own texts and records.
#include <limits>

#include "protocol/memory_stream.h"
#include "protocol/messages_checkin.h"
#include "protocol/messages_conf.h"
#include "test_agent.h"
#include "tools/zpserver/agent_store.h"
#include "tools/zpserver/results.h"
#include "tools/zpserver/server_messages.h"

namespace zp::test {

TEST(ServerRobustness, GarbageAndTruncatedHellosLeaveServerServing) {
    temp_env d;
    test_server srv(options_in(d));
    std::vector<std::vector<uint8_t>> inputs = {
        {},
        {0x60},
        {0x60, 0x80, 0x02, 0x02, 0x02},
        {0x60, 0x05, 0x02, 0x01, 0x01},                    // definite length
        {0x60, 0x80, 0x02, 0x84, 0xFF, 0xFF, 0xFF, 0xFF},  // length beyond reason
    };
    // Random and deeply nested bytes are the fuzz target's (fuzz/zpserver).
    for (const auto& in : inputs) {
        test_agent a(d);
        ASSERT_FALSE(a.connect(srv.l.port()));
        (void)a.s->write(in.data(), in.size());
        (void)a.s->flush();
        a.close();
    }
    ASSERT_TRUE(srv.wait_served(static_cast<int>(inputs.size())));
    test_agent a(d);
    EXPECT_FALSE(a.open(srv.l.port()));
}

TEST(ServerRobustness, UnusablePublicValuesAreRefused) {
    temp_env d;
    test_server srv(options_in(d));
    // 1 and p - 1 would fix the secret whatever the server draws.
    uint8_t p[256];
    size_t n = 0;
    ASSERT_FALSE(bn_get_data(srv.state->modulus(), p, sizeof p, n));
    p[n - 1] -= 1;  // the group's modulus ends in 0xFF
    auto p_minus_1 = bn_new(0, 40);
    ASSERT_FALSE(bn_set_data(*p_minus_1, std::span<const uint8_t>(p, n)));
    auto one = bn_new(1, 1);
    int served = 0;
    for (const bignum* value : {one.get(), p_minus_1.get()}) {
        test_agent a(d);
        ASSERT_FALSE(a.connect(srv.l.port()));
        client_wants_reply reply;
        ASSERT_FALSE(a.hello(reply));
        ASSERT_FALSE(write_negotiate_ack(*a.s));
        dh_parameters_reply dh;
        ASSERT_FALSE(read_dh_parameters_reply(*a.s, dh));
        ASSERT_FALSE(write_sporadic_bignum(*a.s, *value));
        bignum_ptr server_pub;
        EXPECT_TRUE(read_sporadic_bignum(*a.s, server_pub)) << "no answer to an unusable public value";
        ASSERT_TRUE(srv.wait_served(++served));
    }
    EXPECT_FALSE(srv.state->store().get("host1", "lab").hostkey);
}

TEST(ServerRobustness, ConnectionThatStallsIsDropped) {
    temp_env d;
    auto o = options_in(d);
    o.io_timeout = 1;
    test_server srv(o);
    test_agent a(d);
    ASSERT_FALSE(a.connect(srv.l.port()));
    EXPECT_EQ(a.s->wait_readable(10), 1) << "the server closed the stalled connection";
    uint8_t b;
    EXPECT_TRUE(a.s->read(&b, 1));
}

TEST(ServerRobustness, PeerThatTricklesIsCutAtTheConversationLimit) {
    temp_env d;
    auto o = options_in(d);
    o.io_timeout = 2;
    o.conversation_limit = 1;
    test_server srv(o);
    test_agent a(d);
    ASSERT_FALSE(a.connect(srv.l.port()));
    // A client_wants whose agent name of 255 octets comes one octet at a time.
    const uint8_t start[] = {0x60, 0x80, 0x02, 0x01, 0x01, 0xA1, 0x80, 0x04, 0x81, 0xFF};
    ASSERT_FALSE(a.s->write(start, sizeof start));
    bool cut = false;
    for (int i = 0; i < 40 && !cut; ++i) {
        const uint8_t more[] = {'x'};
        if (a.s->write(more, sizeof more)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        cut = srv.served.load() > 0;
    }
    EXPECT_TRUE(cut) << "the server ended the connection";
}

TEST(ServerAcceptLoop, ConnectionsBeyondTheCapAreClosedAtOnce) {
    temp_env d;
    auto o = options_in(d);
    o.port = 0;
    o.max_connections = 1;
    o.summary = 0;
    o.io_timeout = 5;
    std::atomic<bool> stop{false};
    std::atomic<int> port{0};
    std::thread loop([&] { EXPECT_FALSE(server::run_server(o, stop, [&](uint16_t p) { port = p; })); });
    for (int i = 0; i < 200 && !port; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_NE(port.load(), 0);
    test_agent first(d), second(d);
    ASSERT_FALSE(first.connect(static_cast<uint16_t>(port.load())));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));  // the loop takes it up
    ASSERT_FALSE(second.connect(static_cast<uint16_t>(port.load())));
    EXPECT_EQ(second.s->wait_readable(3), 1) << "the second one is closed at once";
    uint8_t b;
    EXPECT_TRUE(second.s->read(&b, 1));
    EXPECT_EQ(first.s->wait_readable(0), 0) << "the first one is still served";
    first.close();
    stop = true;
    loop.join();
}

TEST(ServerMessages, OverlongPathAndDeeplyNestedGroupsAreRefused) {
    memory_stream m;
    ASSERT_FALSE(write_checkin_req(m));
    ASSERT_FALSE(write_list_start(m));
    ASSERT_FALSE(write_check_result(m, 5, "", 0));
    ASSERT_FALSE(write_list_start(m));
    for (size_t i = 0; i <= server::max_path_length; ++i) ASSERT_FALSE(write_string(m, 256, "g"));
    ASSERT_FALSE(write_end_of_contents(m));
    memory_stream in(m.output);
    std::vector<server::check_result> out;
    auto e = server::read_checkin_req(in, out);
    EXPECT_NE(e.message().find("Path too long"), std::string::npos) << e.message();
    EXPECT_TRUE(out.empty());

    m.output.clear();
    ASSERT_FALSE(write_configure_req(m));
    ASSERT_FALSE(write_list_start(m));
    ASSERT_FALSE(write_end_of_contents(m));
    for (int i = 0; i < 100; ++i) {
        ASSERT_FALSE(write_list_start(m));  // list of groups
        ASSERT_FALSE(write_list_start(m));  // one group
        ASSERT_FALSE(write_string(m, 256, "g"));
        ASSERT_FALSE(write_string(m, 256, "g"));
        ASSERT_FALSE(write_list_start(m));  // its checks
        ASSERT_FALSE(write_end_of_contents(m));
    }
    memory_stream in2(m.output);
    server::configure_request req;
    e = server::read_configure_req(in2, req);
    EXPECT_NE(e.message().find("nested too deeply"), std::string::npos) << e.message();
}

TEST(ServerResults, ResultsFileStaysValidJsonWhateverTheValue) {
    EXPECT_EQ(server::json_string(std::string("a\"b\\c\x7f\x80\xff\t\0", 10)),
              "\"a\\\"b\\\\c\\u007f\\u0080\\u00ff\\u0009\\u0000\"");
    server::check_result r;
    r.value.kind = server::result_value::real;
    r.value.d = -std::numeric_limits<double>::infinity();
    EXPECT_NE(server::result_json("a", "d", r, true).find("\"value\":\"-inf\""), std::string::npos);
}

TEST(ServerStore, RecordWithAwkwardBytesSurvivesTheFileAndDamagedOneGivesFreshRecord) {
    server::agent_record rec, back;
    rec.name = std::string("we ird%\n\x01\xff", 10);
    rec.hostkey = "123";
    rec.host_id = "h 1";
    rec.checks.push_back({7, {"mem", "", "a b"}, {-1, 0.5, -1, 1e12}, {}});
    rec.checks.push_back({1, {"proc", "sshd"}, {}, {2, 0}});
    ASSERT_FALSE(server::parse_record(server::format_record(rec), back));
    EXPECT_EQ(back.name, rec.name);
    EXPECT_EQ(back.hostkey, "123");
    EXPECT_FALSE(back.hallmark);
    EXPECT_EQ(back.host_id, "h 1");
    ASSERT_EQ(back.checks.size(), 2u);
    EXPECT_EQ(back.checks[0].path, (std::vector<std::string>{"mem", "", "a b"}));
    EXPECT_EQ(back.checks[0].thresholds, rec.checks[0].thresholds);
    EXPECT_EQ(back.checks[1].states, rec.checks[1].states);

    for (const char* text : {"name a\nbogus 1\n", "name %4\n", "check x a b\n", "limits 1\n", "check 1 a b\nstates 7\n",
                             "check 7 a b\nlimits 1 2 3 4 5\n", "check 7 a b\nlimits nan\n"})
        EXPECT_TRUE(server::parse_record(text, rec)) << text;
    temp_env d;
    write_file(d.path(server::agent_store::file_name("n", "d")), "name n\ndomain d\nhostkey %zz\n");
    EXPECT_FALSE(server::agent_store(d.root).get("n", "d").hostkey);
    EXPECT_LT(server::agent_store::file_name(std::string(256, 'x'), std::string(1024, 'y')).size(), 60u);
    EXPECT_EQ(server::agent_store::file_name("../a", "b").find('/'), std::string::npos);
}

}  // namespace zp::test
