// hardening_test.cpp - the agent's registration against the reference server's
// hostile replies: a dripped or endless reply ends the conversation with its
// text, and a configuration past a cap is refused with the previous one kept.
#include "logcheck/pattern.h"
#include "protocol/configure.h"
#include "test_agent.h"

namespace zp::test {

namespace {

struct Hostile : ::testing::Test {
    void TearDown() override {
        configuration_limits() = conf_limits{};
        set_io_timeout(0);
        set_connect_timeout(0);
    }

    // Registers once against a server with `o`; the tree held before stays
    // unless the registration succeeds.
    err register_once(server::server_options o, int io_seconds) {
        test_server srv(o);
        test_agent a(d);
        a.c.servers = {{"127.0.0.1", srv.l.port()}};
        set_io_timeout(io_seconds);
        devtree_list tree;
        devtree_child(tree, "before", std::nullopt);
        conversation_env env;
        env.configured = &tree;
        err e = register_agent(a.c, env);
        kept = tree.size() == 1 && tree[0]->id == "before";
        return e;
    }

    temp_env d;
    bool kept = false;
};

TEST_F(Hostile, DrippedOrEndlessReplyEndsTheConversation) {
    struct reply_case {
        const char* fault;
        std::string error;
    } cases[] = {
        {"drip:configure_resp:1", "Conversation took longer than 3 seconds"},
        {"filler:configure_resp:1", "Too many filler octets in read_tag"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        auto o = options_in(d);
        o.drip_ms = 100;
        server::fault f;
        ASSERT_FALSE(server::parse_fault(c.fault, f));
        o.faults = {f};
        // The text comes with the member being read when it ran out.
        std::string e = register_once(o, 1).message();
        EXPECT_NE(e.find(c.error), std::string::npos) << e;
        EXPECT_TRUE(kept);
    }
}

TEST_F(Hostile, ConfigurationPastACapIsRefusedAndThePreviousOneKept) {
    struct cap_case {
        int checks, rules;
        std::string clause;
        conf_limits limits;
        std::string error;
    } cases[] = {
        {4, 0, "", {3, 100, 100, 64 << 20}, "Configuration refused: more than 3 checks"},
        {2, 6, "'a'", {100, 100, 10, 64 << 20}, "Configuration refused: more than 10 log rules"},
        {1, 0, "", {100, 0, 100, 64 << 20}, "Configuration refused: more than 0 check groups"},
        // 4,000 patterns of about 280 KB each would take a gigabyte.
        {400, 10, "'x(ab){600}'", {}, "Configuration refused: its patterns need more than 64 MB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        auto o = options_in(d);
        o.log_checks = c.checks;
        o.log_rules = c.rules;
        o.log_clause = c.clause;
        configuration_limits() = c.limits;
        uint64_t before = compiled_pattern_bytes();
        EXPECT_EQ(register_once(o, 20).message(), c.error);
        EXPECT_TRUE(kept);
        EXPECT_LT(compiled_pattern_bytes() - before, (64u << 20) + (1u << 20));
    }
    // Within the caps the same kind of tree is taken.
    auto o = options_in(d);
    o.log_checks = 2;
    o.log_rules = 3;
    o.log_clause = "'x(ab){600}'";
    EXPECT_FALSE(register_once(o, 20));
    EXPECT_FALSE(kept);
}

}  // namespace

}  // namespace zp::test
