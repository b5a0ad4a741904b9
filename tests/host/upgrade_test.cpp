// Tests of the self-upgrade: the download thread and its placement (also
// across file systems), a cut download, the parent pipe bytes both ways. The
// download thread uses the variables store while the main thread does, as a
// server session would (run under ThreadSanitizer with ZP_TSAN).
#include "host/upgrade.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

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

// The parent's pipes: descriptors here, inherited HANDLE values on Windows.
#if defined(_WIN32)
using pipe_end = HANDLE;
const pipe_end no_end = nullptr;
bool open_pipe(pipe_end (&p)[2]) { return CreatePipe(&p[0], &p[1], nullptr, 0) != 0; }
void close_end(pipe_end& e) {
    if (e) CloseHandle(e);
    e = no_end;
}
bool write_all(pipe_end e, const std::string& data) {
    DWORD n = 0;
    return WriteFile(e, data.data(), static_cast<DWORD>(data.size()), &n, nullptr) && n == data.size();
}
// What is there to read now, without waiting.
std::string read_ready(pipe_end e) {
    DWORD avail = 0;
    char buf[16];
    if (!PeekNamedPipe(e, nullptr, 0, nullptr, &avail, nullptr) || avail == 0) return {};
    DWORD n = 0;
    if (!ReadFile(e, buf, std::min<DWORD>(avail, sizeof buf), &n, nullptr)) return {};
    return std::string(buf, n);
}
uint64_t value(pipe_end e) { return reinterpret_cast<uintptr_t>(e); }
const char* const upgrade_name = "upgrade.exe";
#else
using pipe_end = int;
const pipe_end no_end = -1;
bool open_pipe(pipe_end (&p)[2]) { return ::pipe(p) == 0; }
void close_end(pipe_end& e) {
    if (e >= 0) ::close(e);
    e = no_end;
}
bool write_all(pipe_end e, const std::string& data) {
    return ::write(e, data.data(), data.size()) == static_cast<ssize_t>(data.size());
}
std::string read_ready(pipe_end e) {
    ::fcntl(e, F_SETFL, O_NONBLOCK);
    char buf[16];
    ssize_t n = ::read(e, buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}
uint64_t value(pipe_end e) { return static_cast<uint64_t>(e); }
const char* const upgrade_name = "upgrade";
#endif

class Upgrade : public ::testing::Test {
protected:
    test::temp_env env;
    std::string work;  // the current directory: on another file system when there is one
    fs::path old_cwd = fs::current_path();
    pipe_end parent_in[2] = {no_end, no_end};   // parent to agent
    pipe_end parent_out[2] = {no_end, no_end};  // agent to parent

    void SetUp() override {
        clear_wait_objects();
        work = env.path("user");
#if !defined(_WIN32)
        char tmpl[] = "/dev/shm/zp-test-XXXXXX";
        if (fs::is_directory("/dev/shm") && ::mkdtemp(tmpl)) work = tmpl;
#endif
        fs::current_path(work);
        set_upgrade_dir(env.path("state"));
        ASSERT_TRUE(open_pipe(parent_in));
        ASSERT_TRUE(open_pipe(parent_out));
        set_parent_pipes(value(parent_in[0]), value(parent_out[1]));
    }
    void TearDown() override {
        end_download();
        reset_upgrade_state();
        set_upgrade_dir("");
        fs::current_path(old_cwd);
        if (work.rfind("/dev/shm/", 0) == 0) fs::remove_all(work);
        for (pipe_end* e : {&parent_in[0], &parent_in[1], &parent_out[0], &parent_out[1]}) close_end(*e);
        clear_wait_objects();
        clear_variables();
    }
    // What the agent wrote to its parent so far.
    std::string parent_got() { return read_ready(parent_out[0]); }
    // The main loop: waits and polls until the download has been placed.
    bool run_until_ready(bool& ready) {
        for (int i = 0; i < 20 && !ready; ++i) {
            (void)wait_for_objects(1);
            poll_download([&] { ready = true; });
        }
        return ready;
    }
    std::string target() const { return env.path(std::string("state/") + upgrade_name); }
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
        pipe_end in[2];
        ASSERT_TRUE(open_pipe(in));
        set_parent_pipes(value(in[0]), value(parent_out[1]));
        std::atomic<int> stops{0};
        start_parent_pipe_reader([&] { return c.upgrade_ready; }, [&] { ++stops; });
        ASSERT_TRUE(write_all(in[1], c.sent));
        if (c.close) close_end(in[1]);
        for (int i = 0; i < 100 && stops == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        stop_parent_pipe_reader();
        EXPECT_EQ(stops, c.stops ? 1 : 0);
        close_end(in[0]);
        close_end(in[1]);
    }
    // The reader ends when the agent does, even if the parent never writes
    // (on the fixture's pipe: the cases' pipes are closed).
    set_parent_pipes(value(parent_in[0]), value(parent_out[1]));
    start_parent_pipe_reader([] { return false; }, [] { ADD_FAILURE() << "stopped"; });
    stop_parent_pipe_reader();
    // The agent works: byte 2, once.
    report_agent_works();
    report_agent_works();
    EXPECT_EQ(parent_got(), std::string(1, '\2'));
}

}  // namespace
}  // namespace zp
