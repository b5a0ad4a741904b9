// Tests of the variables store: write-behind, the file's contents and its
// survival of crashes and damage.
#include "core/variables.h"

#include <signal.h>
#include <sys/stat.h>

#include <random>

#include <gtest/gtest.h>

#include "core/clock.h"
#include "test_env.h"

namespace zp {
namespace {

int64_t fake_now = 1'000'000;
int64_t fake_clock() { return fake_now; }

class Variables : public ::testing::Test {
protected:
    void SetUp() override {
        clear_variables();
        file = env.path("state/ZPAgent.variables");
        set_variables_file(file);
        fake_now = 1'000'000;
        set_clock(fake_clock);
    }
    void TearDown() override {
        clear_variables();
        set_clock(nullptr);
    }
    // Forgets the store and loads it from the file, as a restart does.
    err restart() {
        clear_variables();
        return read_variables();
    }
    test::temp_env env;
    std::string file;
};

TEST_F(Variables, NewKeyIsWrittenAtTheNextFlush) {
    ASSERT_FALSE(set_variable("host_id", "abc"));
    ASSERT_FALSE(flush_variables(false));
    ASSERT_FALSE(restart());
    ASSERT_NE(get_variable("host_id"), nullptr);
    EXPECT_EQ(*get_variable("host_id"), "abc");
}

TEST_F(Variables, ChangedKeyWaitsThirtySecondsUnlessForced) {
    ASSERT_FALSE(set_variable("k", "1"));
    ASSERT_FALSE(flush_variables(false));
    ASSERT_FALSE(set_variable("k", "2"));
    fake_now += 29;
    ASSERT_FALSE(flush_variables(false));
    EXPECT_EQ(test::read_file(file).find("k 2"), std::string::npos) << "written too early";
    fake_now += 1;
    ASSERT_FALSE(flush_variables(false));
    EXPECT_NE(test::read_file(file).find("k 2"), std::string::npos);

    ASSERT_FALSE(set_variable("k", "3"));
    ASSERT_FALSE(flush_variables(true));
    EXPECT_NE(test::read_file(file).find("k 3"), std::string::npos);
}

TEST_F(Variables, SettingTheSameValueStillMarksDirty) {
    ASSERT_FALSE(set_variable("k", "v"));
    ASSERT_FALSE(flush_variables(true));
    std::remove(file.c_str());
    ASSERT_FALSE(set_variable("k", "v"));
    ASSERT_FALSE(flush_variables(true));
    EXPECT_TRUE(test::exists(file));
}

TEST_F(Variables, CleanStoreDoesNotWrite) {
    ASSERT_FALSE(flush_variables(true));
    EXPECT_FALSE(test::exists(file));
}

TEST_F(Variables, DeletedVariableStaysDeletedAfterRestart) {
    ASSERT_FALSE(set_variable("a", "1"));
    ASSERT_FALSE(set_variable("b", "2"));
    ASSERT_FALSE(flush_variables(true));
    delete_variable("a");
    ASSERT_FALSE(flush_variables(false));
    ASSERT_FALSE(restart());
    EXPECT_EQ(get_variable("a"), nullptr);
    EXPECT_NE(get_variable("b"), nullptr);
}

TEST_F(Variables, ArbitraryBytesAndOrderRoundTrip) {
    std::string all_bytes;
    for (int i = 0; i < 256; ++i) all_bytes += static_cast<char>(i);
    std::vector<std::pair<std::string, std::string>> want = {
        {"plain", "value"},
        {std::string("nul\0key", 7), std::string("\0\0", 2)},
        {"spaces and = signs", "line\nbreak\r\\x41 end "},
        {"", ""},
        {"all", all_bytes},
        {std::string(1023, 'k'), std::string(1023, '\xff')},
    };
    for (auto& [k, v] : want) ASSERT_FALSE(set_variable(k, v));
    ASSERT_FALSE(flush_variables(true));
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    ASSERT_FALSE(restart());
    for (auto& [k, v] : want) {
        ASSERT_NE(get_variable(k), nullptr);
        EXPECT_EQ(*get_variable(k), v);
    }
    // Newest first in the file, and the same order after a restart.
    std::vector<std::pair<std::string, std::string>> parsed;
    ASSERT_FALSE(parse_variables(test::read_file(file), parsed));
    ASSERT_EQ(parsed.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(parsed[i].first, want[want.size() - 1 - i].first);
    ASSERT_FALSE(set_variable("plain", "changed"));
    ASSERT_FALSE(flush_variables(true));
    std::vector<std::pair<std::string, std::string>> again;
    ASSERT_FALSE(parse_variables(test::read_file(file), again));
    for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(again[i].first, parsed[i].first);
}

TEST_F(Variables, OverlongKeyOrValueIsRefusedAndStoreUnchanged) {
    EXPECT_TRUE(set_variable(std::string(1024, 'k'), "v").is_error());
    EXPECT_TRUE(set_variable("k", std::string(1024, 'v')).is_error());
    EXPECT_EQ(get_variable("k"), nullptr);
    ASSERT_FALSE(flush_variables(true));
    EXPECT_FALSE(test::exists(file)) << "a refused set must not make the store dirty";
}

TEST_F(Variables, MissingFileIsAnErrorAndLeavesStoreEmpty) {
    err e = read_variables();
    EXPECT_TRUE(e.is_error());
    EXPECT_NE(e.message().find("No such file or directory"), std::string::npos);
    EXPECT_EQ(get_variable("x"), nullptr);
}

TEST_F(Variables, EmptyFileIsAnEmptyStore) {
    test::write_file(file, "");
    EXPECT_FALSE(read_variables());
    test::write_file(file, "zerpal-variables 1\nend 0\n");
    EXPECT_FALSE(read_variables());
}

TEST_F(Variables, FlushCreatesMissingStateDirectories) {
    file = env.path("deep/er/ZPAgent.variables");
    set_variables_file(file);
    ASSERT_FALSE(set_variable("k", "v"));
    ASSERT_FALSE(flush_variables(true));
    ASSERT_FALSE(restart());
    EXPECT_EQ(*get_variable("k"), "v");
}

TEST_F(Variables, FailedFlushKeepsStoreDirtyAndOldFile) {
    ASSERT_FALSE(set_variable("k", "old"));
    ASSERT_FALSE(flush_variables(true));
    std::string before = test::read_file(file);
    // A directory where the temporary file goes makes the write fail.
    ::mkdir((file + ".tmp").c_str(), 0700);
    ASSERT_FALSE(set_variable("k", "new"));
    EXPECT_TRUE(flush_variables(true).is_error());
    EXPECT_EQ(test::read_file(file), before);
    ::rmdir((file + ".tmp").c_str());
    ASSERT_FALSE(flush_variables(false));
    EXPECT_EQ(test::read_file(file), before) << "a retry still waits for the changed key's 30 seconds";
    fake_now += 30;
    ASSERT_FALSE(flush_variables(false));
    EXPECT_NE(test::read_file(file).find("k new"), std::string::npos);
}

class DamagedVariablesFile : public Variables, public ::testing::WithParamInterface<std::string> {};

TEST_P(DamagedVariablesFile, IsMovedAsideNotOverwritten) {
    test::write_file(file, GetParam());
    test::captured_log cap(env);
    err e = read_variables();
    EXPECT_TRUE(e.is_error());
    EXPECT_FALSE(test::exists(file));
    EXPECT_TRUE(cap.has("Variables file \"" + file + "\" is unusable ("));
    std::string aside = file + ".corrupt-1000000";
    EXPECT_EQ(test::read_file(aside), GetParam());
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
    test::write_file(file, "first");
    EXPECT_TRUE(read_variables().is_error());
    test::write_file(file, "second");
    EXPECT_TRUE(read_variables().is_error());
    EXPECT_EQ(test::read_file(file + ".corrupt-1000000"), "first");
    EXPECT_EQ(test::read_file(file + ".corrupt-1000000.1"), "second");
}

TEST_F(Variables, OverlongValueInFileIsCannotReadVariabelKey) {
    test::write_file(file, "zerpal-variables 1\nk " + std::string(1024, 'v') + "\nend 1\n");
    err e = read_variables();
    EXPECT_EQ(e.message(), "Cannot read variabel key");
    EXPECT_TRUE(test::exists(file + ".corrupt-1000000"));
}

// Damaged files of every shape are refused or read within the limits; none
// crashes the reader. Every store the agent writes reads back the same.
TEST_F(Variables, RandomStoresRoundTripAndMutationsNeverCrash) {
    std::mt19937 rng(7);
    auto bytes = [&](size_t max) {
        std::string s(std::uniform_int_distribution<size_t>(0, max)(rng), '\0');
        for (char& c : s) c = static_cast<char>(rng());
        return s;
    };
    for (int round = 0; round < 50; ++round) {
        clear_variables();
        std::vector<std::pair<std::string, std::string>> want;
        for (int i = 0; i < 8; ++i) {
            std::string k = bytes(40) + std::to_string(i);
            std::string v = bytes(variable_max_size);
            ASSERT_FALSE(set_variable(k, v));
            want.insert(want.begin(), {k, v});
        }
        ASSERT_FALSE(flush_variables(true));
        std::string data = test::read_file(file);
        std::vector<std::pair<std::string, std::string>> got;
        ASSERT_FALSE(parse_variables(data, got));
        ASSERT_EQ(got, want);

        for (int m = 0; m < 200; ++m) {
            std::string bad = data;
            switch (m % 3) {
            case 0: bad[rng() % bad.size()] = static_cast<char>(rng()); break;
            case 1: bad.resize(rng() % bad.size()); break;
            default: bad.insert(rng() % bad.size(), bytes(8)); break;
            }
            std::vector<std::pair<std::string, std::string>> out;
            if (parse_variables(bad, out)) continue;
            for (auto& [k, v] : out) ASSERT_TRUE(k.size() <= variable_max_size && v.size() <= variable_max_size);
        }
    }
}

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

        std::vector<std::pair<std::string, std::string>> parsed;
        ASSERT_FALSE(parse_variables(test::read_file(file), parsed)) << "round " << round;
        ASSERT_EQ(parsed.size(), static_cast<size_t>(vars));
        for (auto& [k, v] : parsed) ASSERT_EQ(v, parsed[0].second) << "mixed generations in round " << round;
    }
}

}  // namespace
}  // namespace zp
