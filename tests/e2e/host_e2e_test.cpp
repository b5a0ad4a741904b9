// host_e2e_test.cpp - the host integration of the real agent, started from the
// build tree against the reference server: command clients served through the
// running agent's pipe, the crash report, the upgrade download and its limit,
// and upgrades installed and rolled back by zpsupervise. Every wait is bounded.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "process.h"
#include "tests/support/files.h"

namespace zp::test {

namespace {

namespace fs = std::filesystem;

class HostEndToEnd : public ::testing::Test {
protected:
    temp_env env;  // the ZERPAL_* directories, inherited by every program
    fs::path dir = env.root;
    process server;

    void SetUp() override { fs::create_directories(dir / "bin"); }
    void TearDown() override {
        server.stop();
        if (HasFailure())
            std::fprintf(stderr, "-- server:\n%s\n-- agent:\n%s\n-- supervisor:\n%s\n",
                         read_file(dir / "server.log").c_str(), read_file(dir / "agent.log").c_str(),
                         read_file(dir / "supervisor.err").c_str());
    }

    void start_server(const std::vector<std::string>& args, const std::string& more_conf = "") {
        test::start_server(server, env, args, more_conf);
    }

    // Runs quillmar (a copy in the test's bin directory) with `args`.
    void start_quillmar(process& p, std::vector<std::string> args, const std::string& err_file = "agent.err") {
        fs::path bin = dir / "bin" / "quillmar";
        if (!fs::exists(bin)) fs::copy_file(std::string(ZP_BINARY_DIR) + "/agent/quillmar", bin);
        args.insert(args.begin(), bin.string());
        ASSERT_TRUE(p.start(args, dir, (dir / "agent.out").string(), (dir / err_file).string()));
    }

    bool logged(const std::string& text) const {
        return read_file(dir / "agent.log").find(text) != std::string::npos;
    }

    // A command client's exit code and what it showed.
    std::pair<int, std::string> client(const std::vector<std::string>& args, const std::string& err_file) {
        process p;
        start_quillmar(p, args, err_file);
        auto code = p.wait_exit(60);
        return {code.value_or(-1), read_file(dir / err_file)};
    }
};

}  // namespace

TEST_F(HostEndToEnd, ClientsGoThroughTheRunningAgentOneAtATime) {
    // The first downtime answer is held back, so the second client finds the
    // agent serving the first one.
    start_server({"--fault", "slow:downtime_resp:1", "--slow-seconds", "3"});
    process agent;
    start_quillmar(agent, {"--fake-results"});
    ASSERT_TRUE(wait_until([&] { return logged("Successfully registered with server."); }, 30));

    std::pair<int, std::string> first;
    std::thread t([&] { first = client({"--down=5", "--comment", "x", "--quiet"}, "first.err"); });
    wait_until([&] { return logged("handle_named_pipe Got \"DOWN 5 x\""); }, 10);
    auto busy = client({"--rescan", "--quiet"}, "busy.err");
    t.join();

    EXPECT_EQ(first.first, 0);
    EXPECT_NE(first.second.find("OK downtime of 5 minutes for agent1"), std::string::npos) << first.second;
    EXPECT_NE(read_file(dir / "server.log").find("5 minutes (x): granted"), std::string::npos);
    EXPECT_EQ(busy.first, 1);
    EXPECT_NE(busy.second.find("FAILURE Agent is busy. Try later."), std::string::npos) << busy.second;

    auto rescan = client({"--rescan", "--quiet"}, "rescan.err");
    EXPECT_EQ(rescan.first, 0) << rescan.second;

    server.stop();
    auto unreachable = client({"--down=5", "--quiet"}, "unreachable.err");
    EXPECT_EQ(unreachable.first, 1);
    EXPECT_NE(unreachable.second.find("FAILURE setup_connection: "), std::string::npos) << unreachable.second;
    EXPECT_TRUE(agent.running());
}

TEST_F(HostEndToEnd, ARunningAgentKilledByAFaultSignalLeavesAReport) {
    start_server({});
    process agent;
    start_quillmar(agent, {"--fake-results"});
    ASSERT_TRUE(wait_until([&] { return logged("Successfully registered with server."); }, 30));
    agent.send_signal(SIGSEGV);
    EXPECT_EQ(agent.wait_exit(10), 128 + SIGSEGV);
    std::string report = read_file(dir / "state" / "quillmar.dmp");
    EXPECT_NE(report.find("Signal: 11 (SIGSEGV)"), std::string::npos) << report;
    EXPECT_NE(read_file(dir / "agent.err").find("An application error has been detected."), std::string::npos);
}

TEST_F(HostEndToEnd, UpgradeOfTheLargestSizeIsPlacedOneByteMoreRefusedAndAStopCutsTheDownload) {
    struct {
        size_t size;
        std::vector<std::string> server_args;
        bool stop;
        const char* logged;
    } cases[] = {
        {10485760, {}, false, "Attempting automatic upgrade"},
        {10485761, {}, false, "Download failed"},
        // The stop cuts the download's socket wait at once.
        {1000, {"--fault", "slow:upgrade_resp:1", "--slow-seconds", "3"}, true, "Agent shutting down."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        std::string data(c.size, '\0');
        for (size_t i = 0; i < c.size; ++i) data[i] = static_cast<char>(i * 7 + i / 251);
        write_file(dir / "offered.bin", data);
        for (const char* f : {"agent.log", "bin/upgrade", "download.tmp", "server-state", "state"})
            fs::remove_all(dir / f);
        fs::create_directories(dir / "state");
        std::vector<std::string> args = {"--upgrade-file", (dir / "offered.bin").string()};
        args.insert(args.end(), c.server_args.begin(), c.server_args.end());
        start_server(args, "allow_autoupgrade = true\n");
        process agent;
        start_quillmar(agent, {"--fake-results"});
        if (c.stop) {
            ASSERT_TRUE(wait_until([&] { return logged("Server has an upgrade, downloading ..."); }, 30));
            agent.send_signal(SIGTERM);
        }
        EXPECT_TRUE(wait_until([&] { return logged(c.logged); }, 60)) << c.logged;
        if (c.size == 10485760) {
            EXPECT_EQ(agent.wait_exit(10), 0);
            EXPECT_TRUE(read_file(dir / "bin" / "upgrade") == data) << "placed whole";
            EXPECT_TRUE(logged("WriteFile failed: the agent has no parent pipe"));
        } else {
            EXPECT_FALSE(fs::exists(dir / "bin" / "upgrade"));
        }
        if (c.size == 10485761) {
            EXPECT_EQ(read_file(dir / "download.tmp").size(), 0u) << "refused before any byte";
        }
        if (c.stop) {
            EXPECT_EQ(agent.wait_exit(10), 0);
        }
        server.stop();
    }
}

TEST_F(HostEndToEnd, SupervisorInstallsAnUpgradeThatWorksAndGoesBackFromOneThatDoesNot) {
    const std::string real = std::string(ZP_BINARY_DIR) + "/agent/quillmar";
    struct {
        const char* name;
        std::string script;  // the offered new version
        bool works;
    } cases[] = {
        {"works", "#!/bin/sh\necho started >> " + (dir / "new.txt").string() + "\nexec " + real + " \"$@\"\n", true},
        {"ends with an error", "#!/bin/sh\nexit 3\n", false},
        {"never reports", "#!/bin/sh\nexec sleep 30\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const char* f : {"agent.log", "bin", "server-state", "state", "supervisor.err"}) fs::remove_all(dir / f);
        for (const char* d : {"bin", "state"}) fs::create_directories(dir / d);
        fs::copy_file(real, dir / "bin" / "quillmar");
        write_file(dir / "offered.sh", c.script);
        start_server({"--upgrade-file", (dir / "offered.sh").string()}, "allow_autoupgrade = true\n");
        process sup;
        ASSERT_TRUE(sup.start({std::string(ZP_BINARY_DIR) + "/supervisor/zpsupervise", "--upgrade-timeout", "3",
                               "--max-restart-delay", "1", (dir / "bin" / "quillmar").string(), "--fake-results"},
                              dir, dir / "supervisor.out", dir / "supervisor.err"));
        auto said = [&](const std::string& text) { return read_file(dir / "supervisor.err").find(text); };
        ASSERT_TRUE(wait_until([&] { return said("Installed the upgrade") != std::string::npos; }, 60))
            << read_file(dir / "supervisor.err");
        EXPECT_EQ(read_file(dir / "bin" / "quillmar.previous").size(), fs::file_size(real));
        if (c.works) {
            EXPECT_TRUE(wait_until([&] { return fs::exists(dir / "new.txt"); }, 10));
            auto last = [&](const std::string& text) { return read_file(dir / "supervisor.err").rfind(text); };
            EXPECT_TRUE(wait_until([&] { return last("The agent works") != std::string::npos &&
                                              last("The agent works") > said("Installed the upgrade"); },
                                 30))
                << read_file(dir / "supervisor.err");
            EXPECT_EQ(read_file(dir / "bin" / "quillmar"), c.script);
        } else {
            EXPECT_TRUE(wait_until([&] { return logged("Upgrade failed, using latest working version"); }, 60));
            EXPECT_NE(said("The upgrade failed; going back to the previous version"), std::string::npos);
            EXPECT_EQ(fs::file_size(dir / "bin" / "quillmar"), fs::file_size(real));
        }
        sup.send_signal(SIGTERM);
        EXPECT_EQ(sup.wait_exit(20), 0);
        server.stop();
    }
}

TEST_F(HostEndToEnd, SupervisorRestartsAnAgentThatEndsWithAGrowingPauseAndStopsMeanwhile) {
    write_file(dir / "bin" / "agent.sh", "#!/bin/sh\necho \"$@\" >> " + (dir / "runs.txt").string() + "\nexit 1\n");
    fs::permissions(dir / "bin" / "agent.sh", fs::perms::owner_all);
    process sup;
    ASSERT_TRUE(sup.start({std::string(ZP_BINARY_DIR) + "/supervisor/zpsupervise", "--max-restart-delay", "2",
                           (dir / "bin" / "agent.sh").string(), "-v"},
                          dir, dir / "supervisor.out", dir / "supervisor.err"));
    auto runs = [&] {
        std::string t = read_file(dir / "runs.txt");
        return std::count(t.begin(), t.end(), '\n');
    };
    ASSERT_TRUE(wait_until([&] { return runs() >= 4; }, 20));
    std::string said = read_file(dir / "supervisor.err");
    size_t one = said.find("Restarting the agent in 1 seconds"), two = said.find("Restarting the agent in 2 seconds");
    EXPECT_TRUE(one != std::string::npos && two != std::string::npos && one < two) << said;
    EXPECT_EQ(said.find("Restarting the agent in 4 seconds"), std::string::npos);
    EXPECT_NE(read_file(dir / "runs.txt").find("-v --parent-pipes "), std::string::npos);
    sup.send_signal(SIGTERM);
    EXPECT_EQ(sup.wait_exit(5), 0);
}

}  // namespace zp::test
