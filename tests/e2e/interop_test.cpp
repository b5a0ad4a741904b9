// interop_test.cpp - the agent's own conversations (registration, check-in,
// upgrade download), called in this process, against the zpserver
// executable: the same wire both ways without the main loop in between.
#include "core/config.h"
#include "core/log.h"
#include "core/variables.h"
#include "devtree/devtree.h"
#include "fixture.h"
#include "protocol/checkin.h"
#include "protocol/configure.h"
#include "protocol/requests.h"
#include "protocol/session.h"
#include "protocol/socket.h"

namespace zp::test {

namespace {

devtree_list fake_scan() {
    devtree_list t;
    auto* mem = devtree_child(t, "mem", "Memory");
    auto n = alloc_devnode();
    n->id = "phys";
    n->type = type_continuous;
    n->description = 2;
    add_devnodes(*mem, std::move(n));
    return t;
}

class Interop : public ServerFixture {
protected:
    config c;
    devtree_list configured, actions;
    conversation_env env;

    void SetUp() override {
        ServerFixture::SetUp();
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
        clear_variables();
        set_io_timeout(0);
        set_connect_timeout(0);
        ServerFixture::TearDown();
    }

    void start_agents_server(std::vector<std::string> extra = {}) {
        start_server(std::move(extra));
        c.servers = {{"127.0.0.1", port}};
        current_server() = 0;
    }

    // The one check the fake scan uploads, once the server configured it.
    devnode* phys() {
        return configured.size() == 1 && configured[0]->checks.size() == 1 ? configured[0]->checks[0].get() : nullptr;
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

TEST_F(Interop, RegisterScanUploadAndAcknowledgedResultsRemoved) {
    start_agents_server();
    ASSERT_FALSE(register_agent(c, env));
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

    auto lines = results();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("\"value\":42,\"identifier\":\"mem.phys\""), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("\"value\":43"), std::string::npos);
}

TEST_F(Interop, UpgradeOfTheLargestSizeIsTakenAndOneByteMoreRefused) {
    for (size_t size : {size_t{10485760}, size_t{10485761}}) {
        SCOPED_TRACE(size);
        fs::path file = dir / "offer.bin";
        write_upgrade_file(file, size);
        start_agents_server({"--upgrade-file", file.string()});
        fs::path target = dir / "download.tmp";
        auto e = download_upgrade(c, target.string());
        if (size == 10485760) {
            EXPECT_FALSE(e) << e.message();
            EXPECT_TRUE(read_file(target) == std::string(size, 'u')) << "byte for byte";
        } else {
            EXPECT_NE(e.message().find("data out of range in read_string"), std::string::npos) << e.message();
            EXPECT_EQ(fs::file_size(target), 0u) << "refused before any byte was written";
        }
    }
}

}  // namespace zp::test
