// requests_test.cpp - downtime and rescan replies with their cuts, the
// command client's direct requests, and failed upgrade downloads.
#include "protocol/memory_stream.h"
#include "protocol/requests.h"
#include "tests/protocol/conversation/peer.h"

namespace zp::test {
namespace {

using requests_test = conversation_fixture;

wire reply(tag_code tag, bool ok, const std::string& message) {
    return wire().start(tag).b(ok).str(message).end();
}
wire downtime_resp(bool ok, const std::string& message) { return reply(tag_downtime_resp, ok, message); }
wire rescan_resp(bool ok, const std::string& message) { return reply(tag_rescan_resp, ok, message); }

// The reply begins with the server's verdict; the rescan message is cut so
// that the reply fits its buffer. A message that leaves no room, a comment
// longer than its field or a wrong answer fail the request, close the stream
// and leave the reply alone.
TEST_F(requests_test, ReplyBeginsWithTheVerdictAndFitsItsBuffer) {
    struct {
        wire answer;
        bool rescan;
        size_t buffer;
        std::string out;  // the reply, or the error text when `fails`
        bool fails = false;
        std::string comment = "patching";
    } cases[] = {
        {downtime_resp(true, "done"), false, 1024, "OK done"},
        {downtime_resp(false, "no such host"), false, 1024, "FAILURE no such host"},
        {downtime_resp(true, std::string(1014, 'm')), false, 1024, "OK " + std::string(1014, 'm')},
        {rescan_resp(true, "queued"), true, 1024, "OK queued"},
        {rescan_resp(true, std::string(1024, 'r')), true, 1024, "OK " + std::string(1020, 'r')},
        {rescan_resp(false, std::string(300, 'r')), true, 100, "FAILED " + std::string(92, 'r')},
        {downtime_resp(true, std::string(1015, 'm')), false, 1024, "message too big", true},
        {downtime_resp(true, "x"), false, 1024, "downtime_req.comment: data out of range in write_string", true,
         std::string(257, 'c')},
        {downtime_resp(true, "x"), true, 1024, "Wrong tag (251) encountered in read_rescan_resp", true},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.out.substr(0, 20));
        memory_stream s(t.answer.get());
        std::string out = "unchanged";
        err e = t.rescan ? request_rescan(s, t.buffer, out) : request_downtime(s, 30, t.buffer, t.comment, out);
        EXPECT_EQ(e.message(), t.fails ? t.out : "");
        EXPECT_EQ(out, t.fails ? "unchanged" : t.out);
        EXPECT_EQ(s.closed, t.fails);
        if (t.fails) continue;
        value req;
        memory_stream back(s.output);
        ASSERT_FALSE(read_value(back, req));
        EXPECT_EQ(req.tag, t.rescan ? tag_rescan_req : tag_downtime_req);
        if (!t.rescan) {
            EXPECT_EQ(req.kids.at(0).integer(), 30);
            EXPECT_EQ(req.kids.at(1).data, "patching");
        }
    }
    EXPECT_TRUE(logged("[cmd] Request downtime. Server says FAILED"));
}

// ---------------------------------------------------------------------------
// The command client's own conversation with the server.

fake_server::script answer_request(server_keys& keys, const wire& answer) {
    return after_handshake(keys, [answer](ProtocolStream& s) -> err {
        value req;
        if (auto e = read_value(s, req)) return e;
        return send(s, answer);
    });
}

// The server's own answers come through end to end; here the failures.
TEST_F(requests_test, ClientRequestFailuresBecomeFailedReplies) {
    config c = agent_config({closed_port()});
    std::string r = connect_and_request_downtime(c, 30, std::nullopt);
    EXPECT_EQ(r.rfind("FAILED Could not connect to server: Error connecting: ", 0), 0u) << r;
    EXPECT_EQ(send_rescan_to_server(c).rfind("FAILED Could not connect to server: ", 0), 0u);

    fake_server srv;
    server_keys keys;
    srv.run({answer_request(keys, downtime_resp(true, std::string(1020, 'x'))),
             answer_request(keys, downtime_resp(true, "wrong message"))});
    c = agent_config({srv.port()});
    EXPECT_EQ(connect_and_request_downtime(c, 30, std::nullopt), "FAILED Could not request downtime: message too big");
    EXPECT_TRUE(logged("[cmd] ERROR connect_and_request_downtime: message too big"));
    EXPECT_EQ(send_rescan_to_server(c), "FAILED request_rescan: Wrong tag (251) encountered in read_rescan_resp");
    srv.join();
    EXPECT_TRUE(srv.errors.empty());
}

// ---------------------------------------------------------------------------
// Upgrade download. The interop tests take the largest upgrade and refuse one
// octet more against zpserver; here the failures.

TEST_F(requests_test, UpgradeCutShortOrUnwritableFails) {
    server_keys keys;
    std::string path = dir + "/cut.tmp";
    auto download = [&](std::function<err(ProtocolStream&)> then) {
        return against({after_handshake(keys, std::move(then))}, [&](config& c) { return download_upgrade(c, path); });
    };
    // 100000 octets announced, 50000 delivered.
    EXPECT_TRUE(download([](ProtocolStream& s) -> err {
        if (auto e = read_request(s, tag_upgrade_req)) return e;
        if (auto e = write_constructed_start(s, tag_upgrade_resp)) return e;
        if (auto e = write_signed_int(s, INT32_MIN, INT32_MAX, 1)) return e;
        if (auto e = write_tag(s, BE_STRING)) return e;
        if (auto e = write_length(s, 100000)) return e;
        std::vector<uint8_t> half(50000, 'u');
        if (auto e = s.write(half.data(), half.size())) return e;
        return s.flush();
    }));
    EXPECT_GT(std::filesystem::file_size(path), 0u);
    EXPECT_LE(std::filesystem::file_size(path), 50000u);

    path = dir + "/missing/download.tmp";
    err e = download([](ProtocolStream& s) -> err {
        value req;
        return read_value(s, req);
    });
#if defined(_WIN32)
    // The system's own wording follows.
    EXPECT_TRUE(e.message().starts_with("Error opening " + path + ": ")) << e.message();
#else
    EXPECT_EQ(e.message(), "Error opening " + path + ": No such file or directory");
#endif
}

}  // namespace
}  // namespace zp::test
