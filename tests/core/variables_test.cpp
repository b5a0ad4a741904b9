// Tests of the variables store: write-behind, what persists (the file on
// Linux, the registry key on Windows) and the file's survival of crashes and
// damage.
#include "core/variables.h"

#include <signal.h>
#if !defined(_WIN32)
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <random>

#include <gtest/gtest.h>

#include "core/clock.h"
#include "core/variables_os.h"
#include "tests/support/files.h"
#include "tests/support/log_capture.h"

namespace zp {
namespace {

using var_list = std::vector<std::pair<std::string, std::string>>;

int64_t fake_now = 1'000'000;
int64_t fake_clock() { return fake_now; }

class Variables : public ::testing::Test {
protected:
    void SetUp() override {
        clear_variables();
        set_variables_file(file);
        fake_now = 1'000'000;
        set_clock(fake_clock);
    }
    void TearDown() override {
        clear_variables();
        set_clock(nullptr);
    }
    bool file_has(const std::string& line) const { return test::read_file(file).find(line) != std::string::npos; }
    // What persists, or nothing when nothing does.
    std::optional<var_list> stored() const {
        var_list got;
        std::string key = "ZPAgent";
        if (load_variables(variables_place{file, key}, got, nullptr)) return std::nullopt;
        return got;
    }
    bool stored_has(const std::string& k, const std::string& v) const {
        auto got = stored();
        return got && std::find(got->begin(), got->end(), std::pair{k, v}) != got->end();
    }
    test::temp_env env;
    std::string file = env.path("state/ZPAgent.variables");
};

TEST_F(Variables, NewOrDeletedKeyWrittenAtNextFlushChangedKeyAfterThirtySeconds) {
    ASSERT_FALSE(flush_variables(true));
    EXPECT_FALSE(stored()) << "a clean store writes nothing";
    ASSERT_FALSE(set_variable("k", "1"));
    ASSERT_FALSE(flush_variables(false));
    EXPECT_TRUE(stored_has("k", "1"));
    ASSERT_FALSE(set_variable("k", "2"));
    fake_now += 29;
    ASSERT_FALSE(flush_variables(false));
    EXPECT_FALSE(stored_has("k", "2")) << "written too early";
    fake_now += 1;
    ASSERT_FALSE(flush_variables(false));
    EXPECT_TRUE(stored_has("k", "2"));
    ASSERT_FALSE(set_variable("k", "3"));
    ASSERT_FALSE(set_variable("b", "2"));
    ASSERT_FALSE(flush_variables(true));
    EXPECT_TRUE(stored_has("k", "3"));
    // A deletion is written at the next flush and stays after a restart.
    delete_variable("k");
    ASSERT_FALSE(flush_variables(false));
    clear_variables();
    ASSERT_FALSE(read_variables());
    EXPECT_EQ(get_variable("k"), nullptr);
    EXPECT_EQ(*get_variable("b"), "2");
}

#if !defined(_WIN32)  // owner-only modes and fork() are POSIX matters
TEST_F(Variables, FileInNewDirectoryIsOwnerOnlyAndChangedKeyKeepsItsPlace) {
    file = env.path("deep/er/ZPAgent.variables");
    set_variables_file(file);
    for (const char* k : {"a", "b", "c"}) ASSERT_FALSE(set_variable(k, "v"));
    ASSERT_FALSE(set_variable("b", "changed"));
    ASSERT_FALSE(flush_variables(true));
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(test::read_file(file), "zerpal-variables 1\nc v\nb changed\na v\nend 3\n");
}
#endif

TEST_F(Variables, OverlongKeyOrValueIsRefusedAndStoreUnchanged) {
    EXPECT_TRUE(set_variable(std::string(1024, 'k'), "v").is_error());
    EXPECT_TRUE(set_variable("k", std::string(1024, 'v')).is_error());
    EXPECT_EQ(get_variable("k"), nullptr);
    ASSERT_FALSE(flush_variables(true));
    EXPECT_FALSE(stored()) << "a refused set must not make the store dirty";
}

#if !defined(_WIN32)  // the file's own failures and damage
TEST_F(Variables, FailedFlushKeepsStoreDirtyAndOldFile) {
    ASSERT_FALSE(set_variable("k", "old"));
    ASSERT_FALSE(flush_variables(true));
    std::string before = test::read_file(file);
    std::filesystem::create_directory(file + ".tmp");  // a directory where the temporary file goes
    ASSERT_FALSE(set_variable("k", "new"));
    EXPECT_TRUE(flush_variables(true).is_error());
    EXPECT_EQ(test::read_file(file), before);
    std::filesystem::remove(file + ".tmp");
    ASSERT_FALSE(flush_variables(false));
    EXPECT_EQ(test::read_file(file), before) << "a retry still waits for the changed key's 30 seconds";
    fake_now += 30;
    ASSERT_FALSE(flush_variables(false));
    EXPECT_TRUE(file_has("k new"));
}

class DamagedVariablesFile : public Variables, public ::testing::WithParamInterface<std::string> {};

TEST_P(DamagedVariablesFile, IsMovedAsideNotOverwritten) {
    test::write_file(file, GetParam());
    test::log_capture cap;
    EXPECT_TRUE(read_variables().is_error());
    EXPECT_FALSE(test::exists(file));
    std::string aside = file + ".corrupt-1000000";
    EXPECT_EQ(test::read_file(aside), GetParam());
    EXPECT_TRUE(cap.has("Variables file \"" + file + "\" is unusable ("));
    EXPECT_TRUE(cap.has("moved it to \"" + aside + "\""));
    EXPECT_EQ(get_variable("k"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DamagedVariablesFile,
    ::testing::Values("garbage", "zerpal-variables 1\nk v\n", "zerpal-variables 1\nk v\nend 2\n",
                      "zerpal-variables 1\nk v\nend 1", "zerpal-variables 1\nk v\nend 1\nextra\n",
                      "zerpal-variables 1\nk \\x4\nend 1\n", "zerpal-variables 1\nk \\y41\nend 1\n",
                      "zerpal-variables 1\nk a b\nend 1\n", "zerpal-variables 1\nkv\nend 1\n",
                      "zerpal-variables 1\nk 1\nk 2\nend 2\n", "zerpal-variables 2\nend 0\n",
                      std::string("zerpal-variables 1\nk \x01\nend 1\n")));

TEST_F(Variables, SecondDamagedFileInTheSameSecondKeepsTheFirst) {
    std::string overlong = "zerpal-variables 1\nk " + std::string(1024, 'v') + "\nend 1\n";
    test::write_file(file, overlong);
    EXPECT_EQ(read_variables().message(), "Cannot read variabel key");
    test::write_file(file, "second");
    EXPECT_TRUE(read_variables().is_error());
    EXPECT_EQ(test::read_file(file + ".corrupt-1000000"), overlong);
    EXPECT_EQ(test::read_file(file + ".corrupt-1000000.1"), "second");
}
#endif

// Every store the agent writes (arbitrary bytes, newest first) reads back the
// same. Damaged files are the fuzz target's (fuzz/core).
TEST_F(Variables, RandomStoresRoundTrip) {
    std::mt19937 rng(7);
    auto bytes = [&](size_t max) {
        std::string s(std::uniform_int_distribution<size_t>(0, max)(rng), '\0');
        for (char& c : s) c = static_cast<char>(rng());
        return s;
    };
    for (int round = 0; round < 50; ++round) {
        clear_variables();
        var_list want;
        for (int i = 0; i < 8; ++i) {
            std::string k = bytes(40) + std::to_string(i), v = bytes(variable_max_size);
            ASSERT_FALSE(set_variable(k, v));
            want.insert(want.begin(), {k, v});
        }
        ASSERT_FALSE(flush_variables(true));
        auto got = stored();
        ASSERT_TRUE(got);
#if defined(_WIN32)  // the registry keeps its own order of values
        std::sort(want.begin(), want.end());
        std::sort(got->begin(), got->end());
#endif
        ASSERT_EQ(*got, want);
    }
}

#if !defined(_WIN32)
// A flush killed at any moment leaves the old file or the new one, whole.
TEST_F(Variables, KillDuringFlushNeverLeavesTornFile) {
    constexpr int vars = 40;
    for (int i = 0; i < vars; ++i) ASSERT_FALSE(set_variable("var" + std::to_string(i), "gen0"));
    ASSERT_FALSE(flush_variables(true));
    std::mt19937 rng(12345);
    for (int round = 0; round < 200; ++round) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Every flush writes a new generation into every variable, with
            // values of varying length so that a mix of two would show.
            for (long gen = 1;; ++gen) {
                std::string v = "gen" + std::to_string(gen) + std::string(static_cast<size_t>(gen % 700), 'x');
                for (int i = 0; i < vars; ++i)
                    if (set_variable("var" + std::to_string(i), v)) ::_exit(2);
                if (flush_variables(true)) ::_exit(3);
            }
        }
        ::usleep(std::uniform_int_distribution<useconds_t>(0, 4000)(rng));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the flushing child stopped by itself: " << status;
        var_list parsed;
        ASSERT_FALSE(parse_variables(test::read_file(file), parsed)) << "round " << round;
        ASSERT_EQ(parsed.size(), static_cast<size_t>(vars));
        for (auto& [k, v] : parsed) ASSERT_EQ(v, parsed[0].second) << "mixed generations in round " << round;
    }
}
#endif

}  // namespace
}  // namespace zp
