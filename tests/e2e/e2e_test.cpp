// e2e_test.cpp - the real agent against the reference server on loopback, both
// started from the build tree: key exchange and key reuse, protocol versions,
// refusal, registration, configuration and results, withheld acknowledgement
// and the command client's direct requests. Every wait is bounded.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "process.h"
#include "tests/support/files.h"
#include "tests/support/journal.h"

namespace zp::test {

namespace {

namespace fs = std::filesystem;

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

// The raw text of a member of a one-line JSON object written by the server
// (strings keep their quotes; no member the tests read holds a comma).
std::string json_field(const std::string& line, const std::string& name) {
    size_t p = line.find("\"" + name + "\":");
    if (p == std::string::npos) return {};
    p += name.size() + 3;
    return line.substr(p, line.find_first_of(",}", p) - p);
}

class EndToEnd : public ::testing::Test {
protected:
    temp_env env;  // the ZERPAL_* directories, inherited by both programs
    fs::path dir = env.root;
    process server;

    void SetUp() override {
        for (const char* d : {"cwd", "bin"}) fs::create_directories(dir / d);
    }
    void TearDown() override {
        server.stop();
        if (HasFailure()) std::fprintf(stderr, "%s\n-- agent:\n%s\n", server_log().c_str(), agent_log().c_str());
    }

    // Forgets the keys and logs of an earlier start on both sides and starts
    // the server with the options given.
    void start_afresh(const std::vector<std::string>& server_args) {
        server.stop();
        for (const char* d : {"state", "server-state", "agent.log", "agent.err"}) fs::remove_all(dir / d);
        fs::create_directories(dir / "state");
        start_server(server, env, server_args);
    }

    // Starts the agent (a copy in the test's own bin directory, so that
    // anything it places next to itself stays in the test) in cwd/.
    void start_agent(process& p, std::vector<std::string> args) {
        fs::path bin = dir / "bin" / "quillmar";
        if (!fs::exists(bin)) fs::copy_file(std::string(ZP_BINARY_DIR) + "/agent/quillmar", bin);
        args.insert(args.begin(), bin.string());
        ASSERT_TRUE(p.start(args, dir / "cwd", dir / "agent.out", dir / "agent.err"));
    }

    // False when the agent ended before it talked to the server.
    bool talks(process& p) {
        wait_until([&] { return !p.running() || logged("Talking to server"); }, 10);
        return p.running() || logged("Talking to server");
    }

    std::string server_log() const { return read_file(dir / "server.log"); }
    std::string agent_log() const { return read_file(dir / "agent.log"); }
    bool logged(const std::string& text) const { return agent_log().find(text) != std::string::npos; }

    // The result lines whose path ends in `path_end`, e.g. "\"mem\",\"fakephys1\"]".
    std::vector<std::string> results(const std::string& path_end) const {
        std::ifstream in(dir / "results.jsonl");
        std::vector<std::string> out;
        for (std::string l; std::getline(in, l);)
            if (l.find(path_end) != std::string::npos) out.push_back(l);
        return out;
    }
    std::vector<std::string> results_for(const std::string& check) const {
        return results("\"path\":[\"mem\",\"" + check + "\"]");
    }
};

}  // namespace

TEST_F(EndToEnd, FirstStartAgreesKeysAndNextConnectionAnnouncesBoth) {
    start_afresh({});
    process agent;
    start_agent(agent, {"--regression-test", "1"});
    ASSERT_TRUE(talks(agent));
    ASSERT_TRUE(wait_until([&] { return count_of(server_log(), "Hello from agent1 in e2e") >= 2; }, 30));
    std::string log = server_log();
    size_t first = log.find("Hello from agent1 in e2e");
    EXPECT_EQ(log.find("Hello from agent1 in e2e (version 203, master key 0, hallmark 0)"), first);
    EXPECT_NE(log.find("Hello from agent1 in e2e (version 203, master key 1, hallmark 1)"), std::string::npos);
    EXPECT_EQ(count_of(log, "Agreed a master key"), 1u) << "one key exchange only";
    std::string vars = read_file(dir / "state" / "ZPAgent.variables");
    EXPECT_NE(vars.find("hostkey"), std::string::npos);
    EXPECT_NE(vars.find("hallmark"), std::string::npos);
}

// 0x0200 is the old server that sends no key reply; the boundary at 0x0201
// and another major version are covered against fake and test peers in-process.
TEST_F(EndToEnd, OldServerOfOurMajorAcceptedAndNackRefused) {
    const std::string registered = "Authentication and registration ok";
    struct refusal_case {
        std::vector<std::string> server_args;
        std::vector<std::string> logged;
    } cases[] = {
        {{"--server-version", "0x0200"}, {registered}},
        {{"--nack", "--nack-reason", "closed for maintenance"},
         {"Server said: \"closed for maintenance\"", "Server rejected us"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.server_args[1]);
        start_afresh(c.server_args);
        process agent;
        start_agent(agent, {"--regression-test", "1"});
        ASSERT_TRUE(talks(agent));
        for (const auto& text : c.logged) EXPECT_TRUE(wait_until([&] { return logged(text); }, 30)) << text;
        if (c.logged[0] != registered) {
            EXPECT_FALSE(logged(registered));
        }
    }
}

TEST_F(EndToEnd, ResultsArriveFieldByFieldAndAWithheldAcknowledgementBringsThemAgain) {
    // The first check-in that carries results is refused.
    start_afresh({"--fault", "withhold-ack:checkin_resp:1"});
    process agent;
    start_agent(agent, {"--regression-test", "2", "-1", "-1", "2"});
    ASSERT_TRUE(talks(agent));
    auto acked = [&] {
        for (const auto& l : results_for("fakephys1")) {
            if (json_field(l, "ack") == "true") return !results_for("fakephys2").empty();
        }
        return false;
    };
    ASSERT_TRUE(wait_until(acked, 90));
    EXPECT_NE(server_log().find("Hardware scan of agent1: 2 checks"), std::string::npos);
    EXPECT_TRUE(logged("Checkin was not acknowledged by server."));
    std::map<std::string, std::vector<std::string>> acks_by_time;
    for (const auto& line : results_for("fakephys1")) {
        // No thresholds, so no alarms: status 0.
        EXPECT_TRUE(std::regex_match(
            line, std::regex(R"(\{"agent":"agent1","domain":"e2e","path":\["mem","fakephys1"\],)"
                             R"("status":0,"checkTime":1\d{9},"comment":"","value":\d+,)"
                             R"("identifier":"mem\.fakephys1","alertGroup":null,"ack":(true|false)\})")))
            << line;
        EXPECT_LE(std::stol(json_field(line, "value")), 20000);
        acks_by_time[json_field(line, "checkTime")].push_back(json_field(line, "ack"));
    }
    const auto& first = acks_by_time.begin()->second;
    ASSERT_GE(first.size(), 2u) << "the oldest result came again";
    EXPECT_EQ(first.front(), "false");
    EXPECT_EQ(first.back(), "true");
}

// A file and the journal checked by one agent: lines appended to the file and
// new journal entries are reported once each, also those written across a stop.
TEST_F(EndToEnd, LogChecksReportNewFileLinesAndJournalEntriesOnceAcrossARestart) {
    start_afresh({"--log-rule", "'.'"});
    const fs::path file = dir / "app.log";
    write_file(file, "written before the agent looked\n");
    journal_writer journal(env.path("journal"));
    auto entry = [](const std::string& m) { return "_SYSTEMD_UNIT=a.service\nSYSLOG_IDENTIFIER=app\nPRIORITY=3\nMESSAGE=" + m + "\n"; };
    journal.add({entry("written before the agent looked")});
    write_file(dir / "logs.conf", file.string() + "\neventlog:*\n");
    // Only the log scanners offer checks, so that the log checks run every second.
    std::ofstream(env.path("etc/ZPAgent.conf"), std::ios::app)
        << "log_chk_conf = " << (dir / "logs.conf").string() << "\n"
        << "disable_checks = fs mem system proc smart ifthrough custom scm perf action safte ipmisens csmiplus block\n";
    process agent;
    start_agent(agent, {});
    ASSERT_TRUE(talks(agent));
    auto lines = [&](const std::string& device) {
        std::vector<std::string> out;
        for (const auto& l : results("\"" + device + "\"]"))
            if (json_field(l, "status") == "1") out.push_back(json_field(l, "value"));
        return out;
    };
    // Each check starts after what was there when it first looked.
    ASSERT_TRUE(wait_until([&] { return logged("Agent will check device app.log"); }, 60));
    ASSERT_TRUE(wait_until([&] { return logged("Checked event log a.service"); }, 120));
    std::ofstream(file, std::ios::app) << "first appended line\nsecond appended line\n";
    journal.add({entry("first"), entry("second")});
    ASSERT_TRUE(wait_until([&] { return lines("app.log").size() >= 2 && lines("a.service").size() >= 2; }, 60));
    EXPECT_EQ(lines("app.log"), (std::vector<std::string>{R"("first appended line\u000a")",
                                                          R"("second appended line\u000a")"}));
    EXPECT_EQ(lines("a.service"),
              (std::vector<std::string>{R"("Error:app:0:0:N/A::first")", R"("Error:app:0:0:N/A::second")"}));
    // A line read just before a stop comes once after the restart, whether its
    // result went out before the stop or was kept for the next start.
    std::ofstream(file, std::ios::app) << "third appended line\n";
    std::this_thread::sleep_for(std::chrono::seconds(2));
    // Stop between check-ins: a stop that cuts the conversation delivering the
    // journal entries leaves them unacknowledged, and they rightly come again.
    ASSERT_TRUE(wait_until([&] {
        const std::string log = agent_log();
        const size_t in = log.rfind("Checking in");
        const size_t done = log.rfind("Checkin success");
        return in == std::string::npos || (done != std::string::npos && done > in);
    }, 30));
    agent.stop();
    journal.add({entry("while stopped")});
    process again;
    start_agent(again, {});
    ASSERT_TRUE(wait_until([&] { return lines("app.log").size() >= 3 && lines("a.service").size() >= 3; }, 60));
    std::this_thread::sleep_for(std::chrono::seconds(12));  // one more check-in
    auto file_lines = lines("app.log"), entries = lines("a.service");
    ASSERT_EQ(file_lines.size(), 3u);
    EXPECT_EQ(file_lines[2], R"("third appended line\u000a")");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[2], R"("Error:app:0:0:N/A::while stopped")");
}

TEST_F(EndToEnd, DirectDowntimeAndRescanExitWithTheServersAnswer) {
    struct request_case {
        bool refuse;
        std::vector<std::string> args;
        int code;
        const char* reply;
    } cases[] = {
        {false, {"--down=15", "--quiet", "--comment", "e2e"}, 0, "OK downtime of 15 minutes"},
        {false, {"--rescan", "--quiet"}, 0, "OK rescan of agent1"},
        {true, {"--down", "--quiet"}, 1, "FAILURE downtime refused"},
        {true, {"--rescan", "--quiet"}, 1, "FAILED rescan refused"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        if (&c == cases || c.refuse != (&c - 1)->refuse)  // one server for each answer
            start_afresh(c.refuse ? std::vector<std::string>{"--refuse-requests"} : std::vector<std::string>{});
        process client;
        start_agent(client, c.args);
        auto code = client.wait_exit(30);
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(*code, c.code);
        EXPECT_NE(read_file(dir / "agent.err").find(c.reply), std::string::npos) << read_file(dir / "agent.err");
    }
}

TEST_F(EndToEnd, CustomCheckAndActionFromDefinitionFiles) {
    fs::create_directories(dir / "defs");
    write_file((dir / "defs" / "custom.conf").string(), "[temp]\ncommand=echo Result: 41\ntype=integer\nunit=C\n");
    write_file((dir / "defs" / "actions.conf").string(),
               "[mark]\ncommand=echo acted > " + (dir / "acted").string() + "\n");
    start_afresh({"--action", "action/mark", "--groups", "custom"});
    env.machine_conf(read_file(env.path("etc/ZPAgent.conf")) + "custom_chk_conf = " +
                     (dir / "defs" / "custom.conf").string() + "\nactions_conf = " +
                     (dir / "defs" / "actions.conf").string() + "\n");
    process agent;
    start_agent(agent, {});
    ASSERT_TRUE(talks(agent));
    const std::string temp = "\"path\":[\"custom\",\"temp\"]";
    ASSERT_TRUE(wait_until([&] { return !results(temp).empty(); }, 60));
    std::string first = results(temp).front();
    EXPECT_EQ(json_field(first, "value"), "41") << first;
    EXPECT_EQ(json_field(first, "status"), "0") << first;
    ASSERT_TRUE(wait_until([&] { return exists((dir / "acted").string()); }, 30));
    EXPECT_TRUE(logged("Executing AgentAction mark"));
}

}  // namespace zp::test
