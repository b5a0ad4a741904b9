// Tests of the definition files: sections, keys, defaults and every error text,
// and the rule that only files their owner alone can change are read.
#include <gtest/gtest.h>
#if defined(_WIN32)
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#else
#include <sys/stat.h>
#endif

#include <filesystem>

#include "core/log.h"
#include "custom/custom.h"
#include "logcheck/pattern.h"
#include "tests/support/files.h"

namespace zp {
namespace {

struct custom_case {
    const char* text;
    const char* error;  // null: parses
    size_t count = 0;
    int32_t type = custom_boolean;  // of the first (last in the file) definition
    int32_t timeout = 10;
    int32_t no_match = 0;
};

TEST(CustomDefinitions, FilesAndOutcomes) {
    set_log_level(4);
    const custom_case cases[] = {
        {"", nullptr, 0},
        {"# only a comment\n\n   \n", nullptr, 0},
        {"[disk_temp]\ncommand=c:\\tools\\temp.exe\ntype=integer\n", nullptr, 1, custom_integer},
        // White space before "=" makes another key, which is ignored.
        {"[a]\ncommand=x\ntype = integer\n", nullptr, 1, custom_boolean},
        {"[a]\nexecfile=x\nno_value_if_no_match=0\ntimeout=0\n", nullptr, 1, custom_boolean, 10, 1},
        {"[a]\ncommand=x\ntimeout=-3\n", nullptr, 1, custom_boolean, 10},
        {"[a]\ncommand=x\ntimeout=  7  \r\n", nullptr, 1, custom_boolean, 7},
        {"[a]\ncommand=x\n[b]\ncommand=y\ntype=diff_real\n", nullptr, 2, custom_diff_real},
        {"[a]\ncommand=x\nunknown_key=1\n", nullptr, 1},
        {"command=x\n", "Expected [checkname], got command=x"},
        {"[a\ncommand=x\n", "Expected [checkname], got [a"},
        {"[a]\ncommand=x\n[b\n", "Expected [checkname], got [b"},
        {"[]\n", "Check without a name found"},
        {"[a]\ncommand\n", "Expected equalsign"},
        {"[a]\ncommand=\n", "Command expected"},
        {"[a]\ncommand=x\ntimeout=\n", "Timeout expected"},
        {"[a]\ncommand=x\nno_value_exitcode=\n", "Expected integer"},
        {"[a]\ncommand=x\nno_value_if_no_match= \n", "Expected integer"},
        {"[a]\ncommand=x\ntype=Integer\n", "One of boolean, integer, real, diff_integer and diff_real expected"},
        {"[a]\ncommand=x\nunit=\n", "Unit expected"},
        {"[a]\ncommand=x\nresult_pattern=\n", "Pattern expected"},
        {"[a]\ncommand=x\nresult_pattern=^Result\n", "The result needs to be enclosed in parentheses"},
        {"[a]\ntype=real\n", "No executeable is given for check"},
        {"[a]\ncommand=x\n[b]\n", "No executeable is given for check"},
    };
    for (const auto& c : cases) {
        custom_check_list list;
        err e = parse_custom_checks(c.text, list);
        if (c.error) {
            EXPECT_EQ(e.message(), c.error) << c.text;
            EXPECT_TRUE(list.empty());
            continue;
        }
        ASSERT_TRUE(e.ok()) << c.text << ": " << e.message();
        ASSERT_EQ(list.size(), c.count) << c.text;
        if (!c.count) continue;
        EXPECT_EQ(list[0].type, c.type) << c.text;
        EXPECT_EQ(list[0].timeout, c.timeout) << c.text;
        EXPECT_EQ(list[0].no_value_if_no_match, c.no_match) << c.text;
        EXPECT_EQ(list[0].result_pattern != nullptr, c.type != custom_boolean) << c.text;
    }
}

TEST(CustomDefinitions, ReverseOrderLongLinesAndBadPattern) {
    custom_check_list list;
    ASSERT_TRUE(parse_custom_checks("[x]\ncommand=1\n[y]\ncommand=2\n[x]\ncommand=3\nunit=%\n", list).ok());
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].command, "3");  // the last "x" is found first
    EXPECT_EQ(list[0].unit, "%");
    EXPECT_EQ(list[2].command, "1");

    // A line of 1023 bytes and more goes on as a line of its own.
    std::string longer = "[a]\ncommand=" + std::string(1015, 'c') + "[b]\ncommand=y\n";
    ASSERT_TRUE(parse_custom_checks(longer, list).ok());
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].command.size(), 1015u);

    // The engine's own text for a broken expression.
    EXPECT_FALSE(parse_custom_checks("[a]\ncommand=x\nresult_pattern=(a\n", list).message().empty());
    EXPECT_EQ(list.size(), 2u);  // unchanged
}

TEST(AgentActionDefinitions, FilesAndOutcomes) {
    struct action_case {
        const char* text;
        const char* error;
        size_t count = 0;
    } cases[] = {
        {"", nullptr},
        {"[restart]\ncommand=systemctl restart x\nother=1\n[b]\nexecfile=y\n", nullptr, 2},
        {"command=x\n", "Expected \"[actioname]\", got \"command=x\""},
        {"[]\n", "Action without a name found"},
        {"[a]\nexecfile=\n", "Executable name expected"},
        {"[a]\nexecfile\n", "Expected equalsign"},
        {"[a]\nother=1\n", "No executeable is given for action"},
    };
    for (const auto& c : cases) {
        agent_action_list list;
        err e = parse_agent_actions(c.text, list);
        EXPECT_EQ(e.message(), c.error ? c.error : "") << c.text;
        EXPECT_EQ(list.size(), c.count) << c.text;
    }
}

TEST(DefinitionFiles, MissingFilesAndDirectoriesAreRefused) {
    test::temp_env env;
    std::string dir = env.path("defs");
    std::filesystem::create_directories(dir);
    agent_action_list actions;
    EXPECT_EQ(read_agent_actions(dir + "/missing", actions).message(), "Cannot open file");
    EXPECT_NE(read_agent_actions(dir, actions).message().find("not a regular file"), std::string::npos);
    test::write_file(dir + "/big.conf", "[a]\nexecfile=x\n" + std::string(2 << 20, '#'));
    EXPECT_NE(read_agent_actions(dir + "/big.conf", actions).message().find("is too large"), std::string::npos);
}

TEST(DefinitionFiles, OnlyFilesTheirOwnerAloneCanChangeAreRead) {
#if defined(_WIN32)
    GTEST_SKIP() << "owner and mode bits are Linux's; access lists have their own case";
#else
    test::temp_env env;
    std::string dir = env.path("defs"), file = dir + "/custom.conf";
    ::mkdir(dir.c_str(), 0700);
    test::write_file(file, "[a]\ncommand=echo\n");
    struct mode_case {
        mode_t file_mode, dir_mode;
        const char* error_part;  // null: read
    } cases[] = {
        {0600, 0700, nullptr},
        {0644, 0755, nullptr},
        {0620, 0700, "is writable by group or others"},
        {0602, 0700, "is writable by group or others"},
        {0600, 0770, "is writable by group or others"},
        {0600, 01777, nullptr},  // a sticky directory keeps others from replacing the file
    };
    // A directory further up counts as well.
    std::string sub = dir + "/sub";
    ::mkdir(sub.c_str(), 0700);
    test::write_file(sub + "/c.conf", "[a]\ncommand=echo\n");
    ::chmod(dir.c_str(), 0777);
    custom_check_list up;
    EXPECT_EQ(read_custom_checks(sub + "/c.conf", up).message(),
              "Directory " + dir + " is writable by group or others");

    for (const auto& c : cases) {
        ::chmod(file.c_str(), c.file_mode);
        ::chmod(dir.c_str(), c.dir_mode);
        custom_check_list list;
        err e = read_custom_checks(file, list);
        if (c.error_part) {
            EXPECT_NE(e.message().find(c.error_part), std::string::npos) << e.message();
        } else {
            EXPECT_TRUE(e.ok()) << e.message();
            EXPECT_EQ(list.size(), 1u);
        }
    }
#endif
}

TEST(DefinitionFiles, FilesWhoseAccessListLetsOthersWriteAreRefused) {
#if !defined(_WIN32)
    GTEST_SKIP() << "Windows access lists";
#else
    test::temp_env env;
    std::string dir = env.path("defs");
    std::filesystem::create_directories(dir + "/open");
    // Which access list the file gets (null: the one it was created with,
    // owned by the test's user); everyone may change what is in "open/".
    struct acl_case {
        const char* name;
        const char* dacl;  // "NULL": none at all
        const char* error_part;
    } cases[] = {
        {"default.conf", nullptr, nullptr},
        {"install.conf", "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)", nullptr},
        {"everyone.conf", "D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FRFW;;;WD)", "File "},
        {"null.conf", "NULL", "File "},
        {"open/inner.conf", "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)", "Directory "},
    };
    auto set_dacl = [](const std::string& path, const char* sddl) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        PACL dacl = nullptr;
        BOOL present = FALSE, defaulted = FALSE;
        if (std::string(sddl) != "NULL") {
            ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr));
            ASSERT_TRUE(GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
        }
        EXPECT_EQ(SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT,
                                        DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                        nullptr, dacl, nullptr),
                  ERROR_SUCCESS);
        if (sd) LocalFree(sd);
    };
    for (const auto& c : cases) {
        test::write_file(dir + "/" + c.name, "[a]\ncommand=echo\n");
        if (c.dacl) set_dacl(dir + "/" + c.name, c.dacl);
    }
    // After the files: what is in "open/" must not inherit its entries.
    set_dacl(dir + "/open", "D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;WD)");
    for (const auto& c : cases) {
        custom_check_list list;
        err e = read_custom_checks(dir + "/" + c.name, list);
        if (c.error_part) {
            EXPECT_EQ(e.message().rfind(c.error_part, 0), 0u) << c.name << ": " << e.message();
            EXPECT_NE(e.message().find(" is writable by group or others"), std::string::npos) << e.message();
        } else {
            EXPECT_TRUE(e.ok()) << c.name << ": " << e.message();
            EXPECT_EQ(list.size(), 1u) << c.name;
        }
    }
#endif
}

}  // namespace
}  // namespace zp
