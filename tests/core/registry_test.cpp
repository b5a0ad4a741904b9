// Tests of what the Windows registry files decide: how each type of
// configuration value reads, which root the variables go to, the values a
// load leaves alone, and a flush cut off at any moment.
#if defined(_WIN32)
#include <windows.h>

#include <algorithm>
#include <random>

#include <gtest/gtest.h>

#include "core/config.h"
#include "core/config_os.h"
#include "core/variables.h"
#include "core/variables_os.h"
#include "tests/support/files.h"
#include "tests/support/log_capture.h"

namespace zp {
namespace {

using var_list = std::vector<std::pair<std::string, std::string>>;

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        reset_config_from_user();
        clear_variables();
        set_variables_file(env.path("state/v"));
        set_variables_key("ZPAgent");
    }
    void TearDown() override {
        reset_config_from_user();
        clear_variables();
    }
    HKEY open(bool user, const std::string& sub) const {
        HKEY k = nullptr;
        std::string path = env.reg_base + "\\ZPAgent" + (sub.empty() ? "" : "\\" + sub);
        if (RegCreateKeyExA(user ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &k, nullptr) != ERROR_SUCCESS)
            ADD_FAILURE() << "cannot create " << path;
        return k;
    }
    void set(const std::string& sub, const std::string& name, DWORD type, const std::string& data,
             bool user = false) const {
        HKEY k = open(user, sub);
        RegSetValueExA(k, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                       static_cast<DWORD>(data.size()));
        RegCloseKey(k);
    }
    // A string value as the agent writes its variables.
    void set_var(const std::string& sub, const std::string& name, const std::string& text) const {
        HKEY k = open(false, sub);
        std::wstring wname(name.begin(), name.end()), data(text.begin(), text.end());
        RegSetValueExW(k, wname.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                       static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(k);
    }
    bool has(bool user, const std::string& sub, const std::string& name) const {
        HKEY k = open(user, sub);
        bool found = RegQueryValueExA(k, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
        RegCloseKey(k);
        return found;
    }
    bool key_exists(const std::string& sub) const {
        HKEY k = nullptr;
        std::string path = env.reg_base + "\\ZPAgent\\" + sub;
        bool found = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &k) == ERROR_SUCCESS;
        if (found) RegCloseKey(k);
        return found;
    }
    var_list loaded() {
        EXPECT_FALSE(read_variables());
        var_list got;
        for (const char* k : {"a", "b", "c", "ok", "new"})
            if (auto v = variable_value(k)) got.emplace_back(k, *v);
        return got;
    }
    test::temp_env env;
};

TEST_F(Registry, ConfigurationValuesReadByType) {
    test::set_env("ZP_TEST_DIR", "C:\\data");
    std::string dword = {'\xA0', '\x0F', '\0', '\0'}, qword = {'\0', '\0', '\0', '\0', '\0', '\x01', '\0', '\0'};
    struct {
        const char* name;
        DWORD type;
        std::string data;
        const char* want;  // the text, or the error
        bool ok;
    } cases[] = {
        {"sz", REG_SZ, std::string(" 5 \0", 4), " 5 ", true},
        {"cut", REG_SZ, std::string("ab\0cd\0", 6), "ab", true},
        {"unended", REG_SZ, "xyz", "xyz", true},
        {"empty", REG_SZ, "", "", true},
        {"expand", REG_EXPAND_SZ, std::string("%ZP_TEST_DIR%\\log\0", 18), "C:\\data\\log", true},
        {"dword", REG_DWORD, dword, "4000", true},
        {"qword", REG_QWORD, qword, "1099511627776", true},
        {"multi", REG_MULTI_SZ, std::string("a:1\0b\0\0", 7), "a:1,b", true},
        {"binary", REG_BINARY, "\x01\x02", "Value of type 3 is not text", false},
        {"huge", REG_SZ, std::string(5000, 'x'), "Value longer than 1023 bytes", false},
    };
    for (auto& c : cases) set("", c.name, c.type, c.data);
    config_source src(config_scope::machine, "ZPAgent");
    ASSERT_FALSE(src.open_error());
    for (auto& c : cases) {
        std::string out;
        err e = src.read(c.name, out);
        EXPECT_EQ(!e, c.ok) << c.name;
        EXPECT_EQ(c.ok ? out : std::string(e.message()), c.want) << c.name;
    }
    std::string out;
    EXPECT_EQ(src.read("missing", out).message(), system_error_text(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(config_source(config_scope::user, "ZPAgent").open_error().message(),
              system_error_text(ERROR_FILE_NOT_FOUND));
}

TEST_F(Registry, UserConfigurationMovesTheVariablesToTheCurrentUser) {
    env.machine_conf("server_list = m\ndomain = d\n");
    env.user_conf("server_list = u\n");
    auto c = read_config("ZPAgent", nullptr);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->server_list, "u");
    ASSERT_FALSE(set_variable("host_id", "42"));
    ASSERT_FALSE(flush_variables(true));
    EXPECT_TRUE(has(true, "Variables", "host_id"));
    EXPECT_FALSE(has(false, "Variables", "host_id"));
    clear_variables();
    ASSERT_FALSE(read_variables());
    EXPECT_EQ(variable_value("host_id"), "42");
}

// What the agent did not write is skipped, logged and never deleted; what the
// store deleted goes.
TEST_F(Registry, UnusableValuesAreLeftAloneAndDeletedVariablesGo) {
    set_var("Variables", "ok", "1");
    set("Variables", "dword", REG_DWORD, std::string(4, '\0'));
    set("Variables", "long", REG_SZ, std::string(2000, 'x'));
    test::log_capture cap;
    EXPECT_EQ(loaded(), (var_list{{"ok", "1"}}));
    EXPECT_TRUE(cap.has("Variable \"dword\" in the registry is unusable (not a string value); left alone"));
    EXPECT_TRUE(cap.has("Variable \"long\" in the registry is unusable (longer than 1023 bytes); left alone"));
    delete_variable("ok");
    ASSERT_FALSE(set_variable("new", "2"));
    ASSERT_FALSE(flush_variables(true));
    EXPECT_FALSE(has(false, "Variables", "ok"));
    EXPECT_TRUE(has(false, "Variables", "dword"));
    EXPECT_TRUE(has(false, "Variables", "long"));
    EXPECT_EQ(loaded(), (var_list{{"new", "2"}}));
}

// A flush that died after committing its staged copy is finished by the next
// load; one that died before is ignored, and the next flush clears it.
TEST_F(Registry, CutOffFlushIsFinishedOnlyWhenCommitted) {
    set_var("Variables", "a", "old");
    set_var("Variables", "c", "c");
    set_var("Variables.new", "a", "new");
    set_var("Variables.new", "b", "x");
    EXPECT_EQ(loaded(), (var_list{{"a", "old"}, {"c", "c"}}));
    ASSERT_FALSE(set_variable("c", "c2"));
    ASSERT_FALSE(flush_variables(true));
    EXPECT_FALSE(key_exists("Variables.new"));
    EXPECT_EQ(loaded(), (var_list{{"a", "old"}, {"c", "c2"}}));

    set_var("Variables.new", "a", "new");
    set_var("Variables.new", "b", "x");
    RegCloseKey(open(false, "Variables.new\\committed"));
    clear_variables();
    EXPECT_EQ(loaded(), (var_list{{"a", "new"}, {"b", "x"}}));
    EXPECT_FALSE(key_exists("Variables.new"));
    EXPECT_FALSE(has(false, "Variables", "c"));
}

// The child of the test below: flushes a new generation into every variable,
// for ever, until it is killed.
TEST_F(Registry, FlushingChild) {
    const char* base = std::getenv("ZP_FLUSHING_CHILD");
    if (!base) GTEST_SKIP() << "run by KillDuringFlushLeavesOneGenerationWhole";
    test::set_env("ZERPAL_REG_BASE", base);
    for (long gen = 1;; ++gen) {
        std::string v = "gen" + std::to_string(gen) + std::string(static_cast<size_t>(gen % 700), 'x');
        for (int i = 0; i < 40; ++i) ASSERT_FALSE(set_variable("var" + std::to_string(i), v));
        ASSERT_FALSE(flush_variables(true));
    }
}

TEST_F(Registry, KillDuringFlushLeavesOneGenerationWhole) {
    for (int i = 0; i < 40; ++i) ASSERT_FALSE(set_variable("var" + std::to_string(i), "gen0"));
    ASSERT_FALSE(flush_variables(true));
    char exe[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(nullptr, exe, sizeof exe), 0u);
    std::string cmd = std::string("\"") + exe + "\" --gtest_filter=Registry.FlushingChild";
    test::set_env("ZP_FLUSHING_CHILD", env.reg_base);
    std::mt19937 rng(5);
    for (int round = 0; round < 12; ++round) {
        STARTUPINFOA si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        ASSERT_TRUE(CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
        Sleep(std::uniform_int_distribution<DWORD>(300, 1500)(rng));
        TerminateProcess(pi.hProcess, 9);
        WaitForSingleObject(pi.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        ASSERT_EQ(code, 9u) << "the flushing child stopped by itself";
        clear_variables();
        ASSERT_FALSE(read_variables()) << "round " << round;
        auto first = variable_value("var0");
        ASSERT_TRUE(first);
        for (int i = 1; i < 40; ++i)
            ASSERT_EQ(variable_value("var" + std::to_string(i)), first) << "mixed generations in round " << round;
    }
    test::set_env("ZP_FLUSHING_CHILD", "");
}

}  // namespace
}  // namespace zp
#endif
