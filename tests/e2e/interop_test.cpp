// interop_test.cpp - the agent's own conversations (registration, check-in,
// direct downtime and rescan, upgrade download), called in this process,
// against the zpserver executable: the same wire both ways without the main
// loop in between.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/config.h"
#include "core/log.h"
#include "core/variables.h"
#include "devtree/devtree.h"
#include "process.h"
#include "protocol/checkin.h"
#include "protocol/configure.h"
#include "protocol/requests.h"
#include "protocol/session.h"
#include "protocol/socket.h"

namespace zp::test {

namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& p) {
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

devtree_list fake_scan() {
    devtree_list t;
    auto* mem = devtree_child(t, "mem", "Memory");
    auto n = alloc_devnode();
    n->id = "phys";
    n->name = "Physical memory";
    n->type = type_continuous;
    n->unit = "kB";
    n->description = 2;
    add_devnodes(*mem, std::move(n));
    return t;
}

class Interop : public ::testing::Test {
protected:
    fs::path dir;
    process server;
    config c;
    devtree_list configured, actions;
    conversation_env env;

    void SetUp() override {
        char name[] = "/tmp/zp-interop-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        set_log_level(3);
        clear_variables();
        set_variables_file((dir / "agent.variables").string());
        session() = {};
        set_io_timeout(20);
        set_connect_timeout(5);
        env.configured = &configured;
        env.actions = &actions;
        env.scan = fake_scan;
        c.name = "agent1";
        c.domain = "e2e";
    }
    void TearDown() override {
        server.stop();
        if (HasFailure()) std::fprintf(stderr, "---- server log\n%s\n", slurp(dir / "server.log").c_str());
        clear_variables();
        set_io_timeout(0);
        set_connect_timeout(0);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    void start_server(std::vector<std::string> extra = {}) {
        server.stop();
        std::vector<std::string> argv = {std::string(ZP_BINARY_DIR) + "/tools/zpserver/zpserver",
                                         "-p", "0", "-v", "--no-summary",
                                         "--state-dir", (dir / "server-state").string(),
                                         "--results", (dir / "results.jsonl").string(),
                                         "--frequency", "1", "--checkin-frequency", "1"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        ASSERT_TRUE(server.start(argv, {}, dir.string(), "", (dir / "server.log").string()));
        std::string line = server.read_line(10);
        ASSERT_EQ(line.rfind("listening on 127.0.0.1:", 0), 0u) << line;
        c.servers = {{"127.0.0.1", static_cast<uint16_t>(std::stoi(line.substr(line.rfind(':') + 1)))}};
        current_server() = 0;
    }

    std::string server_log() const { return slurp(dir / "server.log"); }

    devnode* phys() {
        for (auto& g : configured) {
            if (g->id != "mem") continue;
            for (auto& n : g->checks) {
                if (n->id == "phys") return n.get();
            }
        }
        return nullptr;
    }

    void queue_result(int32_t value, int64_t when) {
        devnode* n = phys();
        ASSERT_NE(n, nullptr);
        auto r = alloc_resnode();
        r->ivalue = value;
        r->time = when;
        append_result(*n, std::move(r));
    }
};

}  // namespace

TEST_F(Interop, RegisterScanUploadAndResultsWithKeysReused) {
    start_server();
    ASSERT_FALSE(register_agent(c, env));
    ASSERT_NE(get_variable("hostkey"), nullptr);
    ASSERT_NE(get_variable("hallmark"), nullptr);
    EXPECT_TRUE(configured.empty()) << "nothing configured before the first scan";

    bool acked = false;
    ASSERT_FALSE(checkin(c, env, 50, acked)) << "the check-in that asks for a scan";
    EXPECT_TRUE(acked);
    devnode* n = phys();
    ASSERT_NE(n, nullptr) << "the uploaded check is configured";
    EXPECT_EQ(n->frequency, 1);
    EXPECT_EQ(n->identifier, "mem.phys");

    queue_result(42, 1700000000);
    queue_result(43, 1700000060);
    ASSERT_FALSE(checkin(c, env, 50, acked));
    EXPECT_TRUE(acked);
    EXPECT_TRUE(phys()->results.empty()) << "acknowledged results are removed";

    auto lines = lines_of(dir / "results.jsonl");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("\"agent\":\"agent1\",\"domain\":\"e2e\",\"path\":[\"mem\",\"phys\"],\"status\":0"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[0].find("\"value\":42,\"identifier\":\"mem.phys\",\"alertGroup\":null,\"ack\":true"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("\"value\":43"), std::string::npos);

    std::string log = server_log();
    EXPECT_NE(log.find("Hello from agent1 in e2e (version 203, master key 0, hallmark 0)"), std::string::npos);
    EXPECT_NE(log.find("Hello from agent1 in e2e (version 203, master key 1, hallmark 1)"), std::string::npos);
    EXPECT_EQ(log.find("Agreed a master key"), log.rfind("Agreed a master key")) << "one key exchange only";
}

TEST_F(Interop, WithheldAcknowledgementKeepsResultsForTheNextCheckin) {
    start_server({"--fault", "withhold-ack:checkin_resp:1"});
    ASSERT_FALSE(register_agent(c, env));
    configured = fake_scan();
    for (auto& g : configured) g->checks[0]->identifier = "mem.phys";
    queue_result(7, 1700000000);
    bool acked = false;
    ASSERT_FALSE(checkin(c, env, 50, acked));
    EXPECT_FALSE(acked);
    ASSERT_NE(phys(), nullptr);
    EXPECT_EQ(phys()->results.size(), 1u) << "kept for the next check-in";
    ASSERT_FALSE(checkin(c, env, 50, acked));
    EXPECT_TRUE(acked);
    auto lines = lines_of(dir / "results.jsonl");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(0, lines[0].find(",\"ack\"")), lines[1].substr(0, lines[1].find(",\"ack\"")))
        << "the same result again";
    EXPECT_NE(lines[0].find("\"ack\":false"), std::string::npos);
    EXPECT_NE(lines[1].find("\"ack\":true"), std::string::npos);
}

TEST_F(Interop, ServerVersionsAndRefusal) {
    for (const char* v : {"0x0200", "0x0201"}) {
        SCOPED_TRACE(v);
        clear_variables();
        fs::remove_all(dir / "server-state");
        start_server({"--server-version", v});
        EXPECT_FALSE(register_agent(c, env));
        EXPECT_NE(get_variable("hallmark"), nullptr);
    }
    clear_variables();
    start_server({"--server-version", "0x0300"});
    auto e = register_agent(c, env);
    EXPECT_EQ(e.message(),
              "Zerpal Server does not support our protocol version. Upgrade the Zerpal Server, or downgrade the Zerpal "
              "Agent.");
    start_server({"--nack", "--nack-reason", "closed"});
    e = register_agent(c, env);
    EXPECT_EQ(e.message(), "Server rejected us");
}

TEST_F(Interop, DirectDowntimeAndRescanReplies) {
    start_server();
    EXPECT_EQ(connect_and_request_downtime(c, 15, std::string("e2e")).rfind("OK downtime of 15 minutes", 0), 0u);
    EXPECT_EQ(send_rescan_to_server(c).rfind("OK rescan of agent1", 0), 0u);
    start_server({"--refuse-requests"});
    EXPECT_EQ(connect_and_request_downtime(c, 15, std::nullopt), "FAILURE downtime refused");
    EXPECT_EQ(send_rescan_to_server(c), "FAILED rescan refused");
}

TEST_F(Interop, UpgradeOfTheLargestSizeIsTakenAndOneByteMoreRefused) {
    for (size_t size : {size_t{10485760}, size_t{10485761}}) {
        SCOPED_TRACE(size);
        fs::path file = dir / "offer.bin";
        {
            std::ofstream out(file, std::ios::binary | std::ios::trunc);
            std::string block(1 << 16, 'u');
            for (size_t left = size; left;) {
                size_t k = std::min(left, block.size());
                out.write(block.data(), static_cast<std::streamsize>(k));
                left -= k;
            }
        }
        start_server({"--upgrade-file", file.string()});
        fs::path target = dir / "download.tmp";
        auto e = download_upgrade(c, target.string());
        if (size == 10485760) {
            EXPECT_FALSE(e) << e.message();
            EXPECT_EQ(fs::file_size(target), size);
        } else {
            EXPECT_NE(e.message().find("data out of range in read_string"), std::string::npos) << e.message();
            EXPECT_EQ(fs::file_size(target), 0u) << "refused before any byte was written";
        }
    }
}

}  // namespace zp::test
