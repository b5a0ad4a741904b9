// Tests of the self-upgrade: the download thread and its placement (also
// across file systems), a cut download, the parent pipe bytes both ways. The
// download thread uses the variables store while the main thread does, as a
// server session would (run under ThreadSanitizer with ZP_TSAN).
#include "host/upgrade.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "core/variables.h"
#include "host/wait.h"
#include "tests/support/files.h"
#include "tests/support/log_capture.h"

namespace zp {
namespace {

namespace fs = std::filesystem;

class Upgrade : public ::testing::Test {
protected:
    test::temp_env env;
    std::string work;  // the current directory: on another file system when there is one
    fs::path old_cwd = fs::current_path();
    int parent_in[2] = {-1, -1};   // parent to agent
    int parent_out[2] = {-1, -1};  // agent to parent

    void SetUp() override {
        clear_wait_objects();
        char tmpl[] = "/dev/shm/zp-test-XXXXXX";
        work = fs::is_directory("/dev/shm") && ::mkdtemp(tmpl) ? tmpl : env.path("user");
        fs::current_path(work);
        set_upgrade_dir(env.path("state"));
        ASSERT_EQ(::pipe(parent_in), 0);
        ASSERT_EQ(::pipe(parent_out), 0);
        ::fcntl(parent_out[0], F_SETFL, O_NONBLOCK);
        set_parent_pipes(static_cast<uint64_t>(parent_in[0]), static_cast<uint64_t>(parent_out[1]));
    }
    void TearDown() override {
        end_download();
        reset_upgrade_state();
        set_upgrade_dir("");
        fs::current_path(old_cwd);
        if (work.rfind("/dev/shm/", 0) == 0) fs::remove_all(work);
        for (int fd : {parent_in[0], parent_in[1], parent_out[0], parent_out[1]})
            if (fd >= 0) ::close(fd);
        clear_wait_objects();
        clear_variables();
    }
    // What the agent wrote to its parent so far.
    std::string parent_got() {
        char buf[16];
        ssize_t n = ::read(parent_out[0], buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
    // The main loop: waits and polls until the download has been placed.
    bool run_until_ready(bool& ready) {
        for (int i = 0; i < 20 && !ready; ++i) {
            (void)wait_for_objects(1);
            poll_download([&] { ready = true; });
        }
        return ready;
    }
    std::string target() const { return env.path("state/upgrade"); }
};

TEST_F(Upgrade, PlacedWholeAndTheParentToldWhileBothThreadsUseTheVariables) {
    test::log_capture logs(0);
    std::atomic<bool> release{false};
    std::atomic<int> downloads{0};
    start_download([&](const std::string& path) -> err {
        ++downloads;
        test::write_file(path, "#!new agent");
        // A session sets its keys while the main thread reads and writes others.
        for (int i = 0; i < 200; ++i) {
            if (err e = set_variable("hallmark", std::to_string(i))) return e;
            (void)variable_value("hostkey");
        }
        while (!release) std::this_thread::yield();
        return {};
    });
    start_download([](const std::string&) -> err { return err::text("a second thread"); });
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(set_variable("log_pos", std::to_string(i)).ok());
        (void)variable_value("hallmark");
        (void)flush_variables(false);
    }
    bool ready = false;
    poll_download([&] { ready = true; });
    EXPECT_FALSE(ready) << "still running";
    EXPECT_FALSE(fs::exists(target()));
    release = true;
    EXPECT_TRUE(run_until_ready(ready));
    EXPECT_EQ(downloads, 1);
    EXPECT_EQ(test::read_file(target()), "#!new agent");
    EXPECT_FALSE(fs::exists(download_file_name));
    EXPECT_NE(fs::status(target()).permissions() & fs::perms::owner_exec, fs::perms::none);
    EXPECT_EQ(parent_got(), std::string(1, '\1'));
    EXPECT_TRUE(logs.has("Server has an upgrade, downloading ..."));
    EXPECT_TRUE(logs.has("Placing new Agent executable at " + target()));
    EXPECT_TRUE(logs.has("Download complete"));
}

TEST_F(Upgrade, ACutDownloadPlacesNothing) {
    test::log_capture logs(0);
    start_download([](const std::string& path) -> err {
        test::write_file(path, "#!half");
        return err::text("Error reading from socket: Connection reset by peer (104)");
    });
    bool ready = false;
    for (int i = 0; i < 20 && !logs.has("Download failed"); ++i) {
        (void)wait_for_objects(1);
        poll_download([&] { ready = true; });
    }
    EXPECT_TRUE(logs.has("Download failed"));
    EXPECT_FALSE(ready);
    EXPECT_FALSE(fs::exists(target()));
    EXPECT_EQ(parent_got(), "");
}

TEST_F(Upgrade, ParentPipeBytes) {
    struct {
        const char* name;
        std::string sent;
        bool close;
        bool upgrade_ready;
        bool stops;
    } cases[] = {
        {"stop byte", std::string("\7\0", 2), false, false, true},
        {"stop byte with an upgrade ready", std::string(1, '\0'), false, true, false},
        {"closed pipe", "\7", true, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int in[2];
        ASSERT_EQ(::pipe(in), 0);
        set_parent_pipes(static_cast<uint64_t>(in[0]), static_cast<uint64_t>(parent_out[1]));
        std::atomic<int> stops{0};
        start_parent_pipe_reader([&] { return c.upgrade_ready; }, [&] { ++stops; });
        ASSERT_EQ(::write(in[1], c.sent.data(), c.sent.size()), static_cast<ssize_t>(c.sent.size()));
        if (c.close) ::close(in[1]);
        for (int i = 0; i < 100 && stops == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        stop_parent_pipe_reader();
        EXPECT_EQ(stops, c.stops ? 1 : 0);
        ::close(in[0]);
        if (!c.close) ::close(in[1]);
    }
    // The reader ends when the agent does, even if the parent never writes.
    start_parent_pipe_reader([] { return false; }, [] { ADD_FAILURE() << "stopped"; });
    stop_parent_pipe_reader();
    // The agent works: byte 2, once.
    report_agent_works();
    report_agent_works();
    EXPECT_EQ(parent_got(), std::string(1, '\2'));
}

}  // namespace
}  // namespace zp
