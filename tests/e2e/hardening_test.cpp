// hardening_test.cpp - the real agent against a stalled or hostile reference
// server and against stop signals: a stop ends a stalled conversation at once,
// hang-up and quit stop cleanly, endless filler costs one check-in, and huge
// rule sets are refused within the pattern budget.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "process.h"
#include "tests/support/files.h"

namespace zp::test {

namespace {

namespace fs = std::filesystem;
using steady = std::chrono::steady_clock;

// The peak resident memory of a process in kilobytes (VmHWM), 0 when unknown.
long peak_kb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string l; std::getline(in, l);) {
        if (l.rfind("VmHWM:", 0) == 0) return std::stol(l.substr(6));
    }
    return 0;
}

class HostileServer : public ::testing::Test {
protected:
    temp_env env;
    fs::path dir = env.root;
    process server, agent;

    void TearDown() override {
        agent.stop();
        server.stop();
        if (HasFailure())
            std::fprintf(stderr, "%s\n-- agent:\n%s\n", read_file(dir / "server.log").c_str(), agent_log().c_str());
    }

    // Starts the server with the options given and the agent (in
    // regression-test mode) against it; false when either did not start.
    void start(const std::vector<std::string>& server_args) {
        fs::remove(dir / "agent.log");
        for (const char* d : {"cwd", "state"}) fs::create_directories(dir / d);
        start_server(server, env, server_args, "", "120");
        ASSERT_TRUE(agent.start({std::string(ZP_BINARY_DIR) + "/agent/quillmar", "--regression-test", "1"}, dir / "cwd",
                                dir / "agent.out", dir / "agent.err"));
    }

    std::string agent_log() const { return read_file(dir / "agent.log"); }
    bool logged(const std::string& text) const { return agent_log().find(text) != std::string::npos; }
    bool server_logged(const std::string& text) const {
        return read_file(dir / "server.log").find(text) != std::string::npos;
    }
};

}  // namespace

TEST_F(HostileServer, StopDuringAStalledCheckInEndsTheAgentAtOnce) {
    start({"--fault", "slow:checkin_resp", "--slow-seconds", "120"});
    ASSERT_TRUE(wait_until([&] { return server_logged("Holding back checkin_resp"); }, 30));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto sent = steady::now();
    ::kill(agent.pid(), SIGTERM);
    auto code = agent.wait_exit(10);
    ASSERT_TRUE(code.has_value()) << "the agent waited for the stalled server";
    EXPECT_EQ(*code, 0);
    EXPECT_LT(std::chrono::duration<double>(steady::now() - sent).count(), 2.0);
    EXPECT_TRUE(logged("Interrupted by a stop request"));
    EXPECT_TRUE(logged("Agent shutting down."));
}

TEST_F(HostileServer, HangUpAndQuitStopLikeTerminate) {
    for (int sig : {SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(sig);
        server.stop();
        start({});
        ASSERT_TRUE(wait_until([&] { return logged("Authentication and registration ok"); }, 30));
        ::kill(agent.pid(), sig);
        auto code = agent.wait_exit(10);
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(*code, 0);
        EXPECT_TRUE(logged("Received signal " + std::to_string(sig) + ", stopping"));
        EXPECT_TRUE(logged("Agent shutting down."));
    }
}

TEST_F(HostileServer, EndlessFillerCostsOneCheckInAndChecksResume) {
    start({"--fault", "filler:checkin_resp:1"});
    ASSERT_TRUE(wait_until([&] { return logged("Too many filler octets in read_tag"); }, 30));
    EXPECT_TRUE(wait_until([&] { return logged("Successful checkin"); }, 30));
}

TEST_F(HostileServer, HugeRuleSetsAreRefusedWithinThePatternBudget) {
    // 1,000 bytes of alternatives in each rule.
    std::string wide = "'";
    while (wide.size() < 994) wide += "(ab|cd)";
    wide += "'";
    for (const std::string& rules : {std::string("400:10:'x(ab){600}'"), "5000:10:" + wide}) {
        SCOPED_TRACE(rules.substr(0, 20));
        agent.stop();
        server.stop();
        for (const char* f : {"server-state", "state"}) fs::remove_all(dir / f);
        start({"--log-rules", rules});
        ASSERT_TRUE(wait_until([&] { return logged("Configuration refused: its patterns need more than 64 MB"); },
                               60));
        long kb = peak_kb(agent.pid());
        EXPECT_GT(kb, 0);
#if !defined(__SANITIZE_ADDRESS__)
        // The address sanitizer keeps freed memory in quarantine and hides the
        // allocator's figures, so only a plain build tells the real peak.
        EXPECT_LT(kb, 200 * 1024) << "peak resident memory in KB";
#endif
        EXPECT_TRUE(agent.running());
    }
}

}  // namespace zp::test
