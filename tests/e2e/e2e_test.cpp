// e2e_test.cpp - the real agent against the reference server on loopback:
// key exchange and key reuse, protocol versions, refusal, registration,
// configuration and results, withheld acknowledgement, the command client's
// direct requests, and the upgrade download limit. Every wait is bounded.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "process.h"

// Starts the agent; it must still be running once it talks to the server.
#define START_AGENT(p, ...)                                  \
    do {                                                     \
        start_agent(p, __VA_ARGS__);                         \
        ASSERT_FALSE(stops_after_startup(p)) << agent_log(); \
    } while (0)

namespace zp::test {

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream b;
    b << in.rdbuf();
    return b.str();
}

std::vector<std::string> lines_of(const fs::path& p) {
    std::ifstream in(p);
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

// The raw text of a member of a flat JSON object written by the server
// (strings keep their quotes and escapes).
std::string json_field(const std::string& line, const std::string& name) {
    std::string key = "\"" + name + "\":";
    size_t p = line.find(key);
    if (p == std::string::npos) return {};
    p += key.size();
    size_t e = p;
    if (line[p] == '"') {
        for (e = p + 1; e < line.size() && line[e] != '"'; ++e) {
            if (line[e] == '\\') ++e;
        }
        return line.substr(p, e + 1 - p);
    }
    if (line[p] == '[') return line.substr(p, line.find(']', p) + 1 - p);
    while (e < line.size() && line[e] != ',' && line[e] != '}') ++e;
    return line.substr(p, e - p);
}

// Waits until `done` holds, looking every 100 ms, for at most `seconds`.
bool wait_until(const std::function<bool()>& done, int seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return done();
}

class EndToEnd : public ::testing::Test {
protected:
    fs::path dir;
    process server;
    uint16_t port = 0;

    void SetUp() override {
        char name[] = "/tmp/zp-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        for (const char* d : {"etc", "user", "state", "user-state", "run", "cwd", "bin"}) fs::create_directories(dir / d);
    }
    void TearDown() override {
        server.stop();
        if (HasFailure()) {
            std::fprintf(stderr, "---- server log\n%s\n---- agent log\n%s\n", read_file(dir / "server.log").c_str(),
                         read_file(dir / "agent.log").c_str());
        }
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    std::map<std::string, std::string> env() const {
        return {{"ZERPAL_CONF_DIR", (dir / "etc").string()},
                {"ZERPAL_USER_CONF_DIR", (dir / "user").string()},
                {"ZERPAL_STATE_DIR", (dir / "state").string()},
                {"ZERPAL_USER_STATE_DIR", (dir / "user-state").string()},
                {"ZERPAL_RUN_DIR", (dir / "run").string()}};
    }

    // Starts the server with short intervals and the options given; reads the
    // port from its first line.
    void start_server(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {std::string(ZP_BINARY_DIR) + "/tools/zpserver/zpserver",
                                         "-p", "0", "-v", "--no-summary",
                                         "--state-dir", (dir / "server-state").string(),
                                         "--results", (dir / "results.jsonl").string(),
                                         "--frequency", "1", "--checkin-frequency", "1", "--io-timeout", "20"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        ASSERT_TRUE(server.start(argv, {}, dir.string(), "", (dir / "server.log").string()));
        std::string line = server.read_line(10);
        ASSERT_EQ(line.rfind("listening on 127.0.0.1:", 0), 0u) << line;
        port = static_cast<uint16_t>(std::stoi(line.substr(line.rfind(':') + 1)));
        write_agent_conf();
    }

    void write_agent_conf(const std::string& more = "") {
        std::ofstream(dir / "etc" / "ZPAgent.conf") << "name = agent1\n"
                                                    << "domain = e2e\n"
                                                    << "server_list = 127.0.0.1:" << port << "\n"
                                                    << "logfile = " << (dir / "agent.log").string() << "\n"
                                                    << "loglevel = 0\n"
                                                    << more;
    }

    // Starts the agent (a copy in the test's own bin directory, so that
    // anything it places next to itself stays in the test) in cwd/.
    void start_agent(process& p, std::vector<std::string> args) {
        fs::path bin = dir / "bin" / "quillmar";
        if (!fs::exists(bin)) fs::copy_file(std::string(ZP_BINARY_DIR) + "/core/quillmar", bin);
        args.insert(args.begin(), bin.string());
        ASSERT_TRUE(p.start(args, env(), (dir / "cwd").string(), (dir / "agent.out").string(),
                            (dir / "agent.err").string()));
    }

    // True when the agent ended before it talked to the server.
    bool stops_after_startup(process& p) {
        wait_until([&] { return !p.running() || agent_log().find("Talking to server") != std::string::npos; }, 10);
        return !p.running() && agent_log().find("Talking to server") == std::string::npos;
    }

    std::string agent_log() const { return read_file(dir / "agent.log"); }
    std::string server_log() const { return read_file(dir / "server.log"); }
    std::vector<std::string> results() const { return lines_of(dir / "results.jsonl"); }

    std::vector<std::string> results_for(const std::string& check) const {
        std::vector<std::string> out;
        for (const auto& l : results()) {
            if (json_field(l, "path") == "[\"mem\",\"" + check + "\"]") out.push_back(l);
        }
        return out;
    }
};

}  // namespace

TEST_F(EndToEnd, FirstStartAgreesKeysAndNextConnectionAnnouncesBoth) {
    start_server();
    process agent;
    START_AGENT(agent, {"--regression-test", "1"});
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

TEST_F(EndToEnd, ServerVersionsOfTheSameMajorAreAccepted) {
    for (const char* v : {"0x0200", "0x0201"}) {
        SCOPED_TRACE(v);
        start_server({"--server-version", v});
        process agent;
        START_AGENT(agent, {"--regression-test", "1"});
        EXPECT_TRUE(wait_until([&] { return agent_log().find("Authentication and registration ok") != std::string::npos; },
                               30));
        agent.stop();
        server.stop();
        fs::remove_all(dir / "state");
        fs::remove_all(dir / "server-state");
        fs::create_directories(dir / "state");
        fs::remove(dir / "agent.log");
    }
}

TEST_F(EndToEnd, ServerVersionOfAnotherMajorIsRefused) {
    start_server({"--server-version", "0x0300"});
    process agent;
    START_AGENT(agent, {"--regression-test", "1"});
    EXPECT_TRUE(wait_until(
        [&] {
            return agent_log().find("Zerpal Server does not support our protocol version. Upgrade the Zerpal Server, "
                                    "or downgrade the Zerpal Agent.") != std::string::npos;
        },
        30));
    EXPECT_EQ(agent_log().find("Authentication and registration ok"), std::string::npos);
}

TEST_F(EndToEnd, NackIsLoggedWithReasonAndRegistrationFails) {
    start_server({"--nack", "--nack-reason", "closed for maintenance"});
    process agent;
    START_AGENT(agent, {"--regression-test", "1"});
    EXPECT_TRUE(wait_until(
        [&] { return agent_log().find("Server said: \"closed for maintenance\"") != std::string::npos; }, 30));
    EXPECT_TRUE(wait_until([&] { return agent_log().find("Server rejected us") != std::string::npos; }, 10));
    EXPECT_EQ(agent_log().find("Authentication and registration ok"), std::string::npos);
}

TEST_F(EndToEnd, RegistrationConfigurationAndResultsArriveFieldByField) {
    start_server();
    process agent;
    START_AGENT(agent, {"--regression-test", "2", "-1", "-1", "2"});
    ASSERT_TRUE(wait_until([&] { return !results_for("fakephys1").empty() && !results_for("fakephys2").empty(); }, 60));
    std::string log = server_log();
    EXPECT_NE(log.find("Hardware scan of agent1: 2 checks"), std::string::npos);
    auto one = results_for("fakephys1");
    for (const auto& line : one) {
        EXPECT_EQ(json_field(line, "agent"), "\"agent1\"");
        EXPECT_EQ(json_field(line, "domain"), "\"e2e\"");
        EXPECT_EQ(json_field(line, "identifier"), "\"mem.fakephys1\"");
        EXPECT_EQ(json_field(line, "alertGroup"), "null");
        EXPECT_EQ(json_field(line, "status"), "0") << "no thresholds, no alarms";
        long value = std::stol(json_field(line, "value"));
        EXPECT_GE(value, 0);
        EXPECT_LE(value, 20000);
        EXPECT_GT(std::stol(json_field(line, "checkTime")), 1000000000L);
        EXPECT_EQ(json_field(line, "ack"), "true");
    }
}

TEST_F(EndToEnd, WithheldAcknowledgementBringsTheSameResultsAgain) {
    // The first check-in that carries results is refused.
    start_server({"--fault", "withhold-ack:checkin_resp:1"});
    process agent;
    START_AGENT(agent, {"--regression-test", "1", "-1", "-1", "1"});
    ASSERT_TRUE(wait_until(
        [&] {
            for (const auto& l : results_for("fakephys1")) {
                if (json_field(l, "ack") == "true") return true;
            }
            return false;
        },
        90));
    EXPECT_NE(agent_log().find("Checkin was not acknowledged by server."), std::string::npos);
    auto lines = results_for("fakephys1");
    std::map<std::string, std::vector<std::string>> acks_by_time;
    for (const auto& l : lines) acks_by_time[json_field(l, "checkTime")].push_back(json_field(l, "ack"));
    const auto& first = acks_by_time.begin()->second;
    ASSERT_GE(first.size(), 2u) << "the oldest result came again";
    EXPECT_EQ(first.front(), "false");
    EXPECT_EQ(first.back(), "true");
}

TEST_F(EndToEnd, DirectDowntimeAndRescanExitWithTheServersAnswer) {
    start_server();
    struct request_case {
        std::vector<std::string> args;
        int code;
        const char* reply;
    };
    for (const auto& c : {request_case{{"--down=15", "--quiet", "--comment", "e2e"}, 0, "OK downtime of 15 minutes"},
                          request_case{{"--rescan", "--quiet"}, 0, "OK rescan of agent1"}}) {
        process client;
        fs::remove(dir / "agent.err");
        start_agent(client, c.args);
        auto code = client.wait_exit(30);
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(*code, c.code) << read_file(dir / "agent.err");
        EXPECT_NE(read_file(dir / "agent.err").find(c.reply), std::string::npos) << read_file(dir / "agent.err");
    }
    server.stop();
    start_server({"--refuse-requests"});
    for (const auto& c : {request_case{{"--down", "--quiet"}, 1, "FAILURE downtime refused"},
                          request_case{{"--rescan", "--quiet"}, 1, "FAILED rescan refused"}}) {
        process client;
        fs::remove(dir / "agent.err");
        start_agent(client, c.args);
        auto code = client.wait_exit(30);
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(*code, c.code);
        EXPECT_NE(read_file(dir / "agent.err").find(c.reply), std::string::npos) << read_file(dir / "agent.err");
    }
}

TEST_F(EndToEnd, UpgradeOfTheLargestSizeIsTakenAndOneByteMoreRefused) {
    for (size_t size : {size_t{10485760}, size_t{10485761}}) {
        SCOPED_TRACE(size);
        fs::path file = dir / "new-agent.bin";
        {
            std::ofstream out(file, std::ios::binary | std::ios::trunc);
            std::string block(4096, 'u');
            for (size_t left = size; left;) {
                size_t n = std::min(left, block.size());
                out.write(block.data(), static_cast<std::streamsize>(n));
                left -= n;
            }
        }
        start_server({"--upgrade-file", file.string()});
        write_agent_conf("allow_autoupgrade = true\n");
        process agent;
        START_AGENT(agent, {"--regression-test", "1"});
        wait_until(
            [&] {
                return agent_log().find("Server has an upgrade, downloading") != std::string::npos ||
                       agent_log().find("Server has upgrade, but this agent has no upgrade download") != std::string::npos;
            },
            30);
        if (agent_log().find("Server has upgrade, but this agent has no upgrade download") != std::string::npos)
            GTEST_SKIP() << "the agent does not download upgrades yet";
        if (size == 10485760) {
            EXPECT_TRUE(wait_until([&] { return agent_log().find("Download complete") != std::string::npos; }, 60));
            EXPECT_NE(server_log().find("Sending upgrade of 10485760 bytes"), std::string::npos);
        } else {
            EXPECT_TRUE(wait_until([&] { return agent_log().find("Download failed") != std::string::npos; }, 60));
            EXPECT_EQ(agent_log().find("Download complete"), std::string::npos);
            std::error_code ec;
            EXPECT_EQ(fs::file_size(dir / "cwd" / "download.tmp", ec), 0u) << "refused before any byte was written";
        }
        agent.stop();
        server.stop();
        fs::remove(dir / "agent.log");
        fs::remove(dir / "server.log");
        fs::remove(dir / "cwd" / "download.tmp");
    }
}

}  // namespace zp::test
