// Tests of the fs, mem, system and proc scanners against captured /proc and
// /sys files, and of the arithmetic of the system checks.
#include "monitors/system/system.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/config.h"
#include "monitors/counters/host_files.h"
#include "monitors/counters/objects.h"
#include "monitors/system/system_parse.h"
#include "tests/support/files.h"

namespace zp {
namespace {

namespace fs = std::filesystem;
const std::string testdata = ZP_SOURCE_DIR "/tests/system/testdata/";

int64_t clock_ms = 0;
std::function<void()> on_sleep;

class SystemScanners : public ::testing::Test {
protected:
    void SetUp() override {
        set_host_root(env.root);
        set_monotonic_clock([] { return clock_ms; },
                            [](int ms) {
                                clock_ms += 10 * ms;  // ten seconds pass per sleep, for fractional rates
                                if (on_sleep) on_sleep();
                            });
        fs::create_directories(env.path("proc/self"));
    }
    void TearDown() override {
        forget_collections();
        set_host_root("");
        set_monotonic_clock(nullptr, nullptr);
        on_sleep = nullptr;
        the_config().use_psapi = false;
    }
    std::vector<std::string> ids(const devtree& g) {
        std::vector<std::string> out;
        for (const auto& c : g.checks) out.push_back(c->id);
        return out;
    }
    devtree* group(const std::string& id) {
        for (auto& g : root.children)
            if (g->id == id) return g.get();
        return nullptr;
    }
    test::temp_env env;
    devtree root;
};

TEST_F(SystemScanners, FixedMountsOfCapturedHosts) {
    fs::copy(testdata + "sys", env.path("sys"), fs::copy_options::recursive);
    struct {
        const char* mountinfo;
        std::vector<std::string> want;
    } cases[] = {
        // bind mounts, loop, removable disk and what is mounted inside it,
        // a disk below a tmpfs, a hidden mount, a cut last line
        {"host", {"/", "/boot/efi", "/mnt/my disk", "/home"}},
        {"container", {}},  // overlay root: the host's disk shows only through bind mounts
        {"ro-root", {"/", "/var"}},
        {"btrfs", {"/", "/home"}},  // subvolumes named by their source device
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.mountinfo);
        std::string text = test::read_file(testdata + "mountinfo/" + k.mountinfo);
        test::write_file(env.path("proc/self/mountinfo"), text);
        for (const auto& m : parse_mountinfo(text)) fs::create_directories(env.path(m.mount_point.substr(1)));
        root.children.clear();
        ASSERT_FALSE(scan_fs(root));
        devtree* g = group("fs");
        if (k.want.empty()) {
            EXPECT_EQ(g, nullptr);
            continue;
        }
        ASSERT_TRUE(g);
        EXPECT_EQ(ids(*g), k.want);
        EXPECT_EQ(g->flags & 1, 1u);
        const devnode& n = *g->checks[0];
        EXPECT_EQ(n.comment, "Fixed drive");
        EXPECT_GT(n.range_high, 0);
        EXPECT_LE(n.scan_value, n.range_high);

        resnode res;
        ASSERT_FALSE(check_fs(*g->checks[0], &res));
        EXPECT_GT(res.dvalue, 0);
        EXPECT_EQ(res.ivalue, static_cast<int32_t>(res.dvalue + 0.5));
    }
    devnode gone;
    gone.id = "/no/such/mount";
    resnode res;
    EXPECT_EQ(check_fs(gone, &res).message(), "No such file or directory");
}

TEST_F(SystemScanners, MemoryFromMeminfo) {
    struct {
        const char* file;
        const char* id;
        const char* want_error;
        double want_kb;
    } cases[] = {
        {"debian12", "phys", nullptr, 9870420},
        {"debian12", "swap", nullptr, 998396},
        {"debian12", "virt", nullptr, 0},  // more committed than the limit
        {"debian12", "cache", "Unknown memory type encountered: cache", 0},
        {"old-kernel", "phys", "GlobalMemoryStatus() failed!", 0},  // no MemAvailable
        {"truncated", "phys", "GlobalMemoryStatus() failed!", 0},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(std::string(k.file) + " " + k.id);
        fs::copy_file(testdata + "meminfo/" + k.file, env.path("proc/meminfo"), fs::copy_options::overwrite_existing);
        devnode n;
        n.id = k.id;
        resnode res;
        err e = check_mem(n, &res);
        if (k.want_error) {
            EXPECT_EQ(e.message(), k.want_error);
            continue;
        }
        ASSERT_FALSE(e);
        EXPECT_EQ(res.dvalue, k.want_kb);
        EXPECT_EQ(res.ivalue, static_cast<int32_t>(k.want_kb));
    }
    EXPECT_EQ(scan_meminfo(root).message(), "GlobalMemoryStatus call unsupported");
    EXPECT_EQ(group("mem"), nullptr);
    fs::copy_file(testdata + "meminfo/debian12", env.path("proc/meminfo"), fs::copy_options::overwrite_existing);
    ASSERT_FALSE(scan_meminfo(root));
    ASSERT_TRUE(group("mem"));
    EXPECT_EQ(group("mem")->checks[0]->range_high, 16318872.0);
}

TEST_F(SystemScanners, IdleHundredthsAndFreeSpaceEdges) {
    struct {
        double reading;
        int32_t want;
    } cases[] = {{12.34, 8766}, {0, 10000}, {100, 0}, {150, 0}, {99.999, 1}};
    for (const auto& k : cases) EXPECT_EQ(idle_hundredths(k.reading), k.want) << k.reading;

    struct {
        uint64_t bytes;
        double kb;
        int32_t want;
    } space[] = {{uint64_t{5} << 30, 5242880.0, 5242880}, {1536, 1.5, 2}, {uint64_t{1} << 60, 1125899906842624.0, INT32_MAX}};
    for (const auto& k : space) {
        resnode res;
        store_free_space(k.bytes, res);
        EXPECT_EQ(res.dvalue, k.kb);
        EXPECT_EQ(res.ivalue, k.want) << k.bytes;
    }
}

TEST_F(SystemScanners, SystemChecksThroughCounters) {
    auto stat = [this](uint64_t busy, uint64_t idle, uint64_t ctxt) {
        test::write_file(env.path("proc/stat"), "cpu  " + std::to_string(busy) + " 0 0 " + std::to_string(idle) +
                                                    "\ncpu0 1 1 1 1\nctxt " + std::to_string(ctxt) + "\n");
        forget_collections();
    };
    test::write_file(env.path("proc/uptime"), "99.50 12.00\n");
    stat(0, 0, 0);
    ASSERT_FALSE(scan_system(root));
    ASSERT_TRUE(group("system"));
    EXPECT_EQ(ids(*group("system")), (std::vector<std::string>{"idle", "cswitch", "uptime"}));

    struct {
        const char* id;
        uint64_t busy, idle, ctxt;  // after one (simulated ten-second) sleep
        int32_t want;
    } cases[] = {
        {"idle", 1234, 8766, 0, 8766},   // 12.34 % busy
        {"cswitch", 0, 0, 12349, 1234},  // 1234.9 per second
        {"uptime", 0, 0, 0, 100},        // 99.5 seconds
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.id);
        stat(0, 0, 0);
        on_sleep = [&] { stat(k.busy, k.idle, k.ctxt); };
        devnode n;
        n.id = k.id;
        resnode res;
        ASSERT_FALSE(check_system(n, &res));
        EXPECT_EQ(res.ivalue, k.want);
        EXPECT_EQ(n.state_tag, state_tag_counter);
    }
    devnode other;
    other.id = "load";
    resnode res;
    EXPECT_EQ(check_system(other, &res).message(), "Unknown system check requested: load");

    devnode idle;
    idle.id = "idle";
    test::write_file(env.path("proc/stat"), "cpu  1 2\n");
    forget_collections();
    EXPECT_EQ(check_system(idle, &res).message(),
              "Could not get counter value in check_load: Couldn't collect query data for \\Processor(_Total)\\% "
              "Processor Time: Unexpected contents in /proc/stat");
}

TEST_F(SystemScanners, ProcessesByExecutableElseCommandName) {
    auto proc = [this](const std::string& pid, const char* exe, const char* comm) {
        fs::create_directories(env.path("proc/" + pid));
        if (exe) fs::create_symlink(exe, env.path("proc/" + pid + "/exe"));
        if (comm) test::write_file(env.path("proc/" + pid + "/comm"), comm);
    };
    proc("1", "/usr/lib/systemd/systemd", "systemd\n");
    proc("2", nullptr, "kthreadd\n");
    proc("10", "/opt/app/svchost.exe (deleted)", "svchost\n");
    proc("11", "/opt/app/svchost.exe", "svchost\n");
    proc("12", nullptr, nullptr);  // gone between listing and reading

    ASSERT_FALSE(scan_processes(root));
    ASSERT_TRUE(group("proc"));
    auto got = ids(*group("proc"));
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"kthreadd", "svchost.exe", "svchost.exe", "systemd"}));

    for (bool psapi : {false, true}) {
        the_config().use_psapi = psapi;
        struct {
            const char* id;
            int32_t want;
            const char* text;
        } cases[] = {{"SVCHOST.EXE", 1, "Available"}, {"kthreadd", 1, "Available"}, {"sshd", 0, "Missing"}};
        for (const auto& k : cases) {
            devnode n;
            n.id = k.id;
            resnode res;
            ASSERT_FALSE(check_process(n, &res));
            EXPECT_EQ(res.ivalue, k.want) << k.id;
            EXPECT_EQ(res.text(), k.text);
        }
    }
    fs::remove_all(env.path("proc"));
    devnode n;
    n.id = "systemd";
    resnode res;
    EXPECT_EQ(check_process(n, &res).message(), "Error reading process list");
}

}  // namespace
}  // namespace zp
