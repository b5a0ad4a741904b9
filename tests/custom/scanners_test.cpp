// Tests of the "custom" and "action" scanners: what the server is offered, a
// definition file with an error, and checks of names that are not defined.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "core/config.h"
#include "custom/custom.h"
#include "tests/support/files.h"
#include "tests/support/log_capture.h"

namespace zp {
namespace {

// A command that succeeds; on Windows the command line is started as it is.
#if defined(_WIN32)
const std::string succeeds = "cmd /c exit 0";
#else
const std::string succeeds = "true";
#endif

TEST(CustomScanners, OfferDefinitionsAndSurviveBadFiles) {
    test::temp_env env;
    test::log_capture logs(0);
    std::string custom = env.path("custom.conf"), actions = env.path("actions.conf");
    test::write_file(custom, "[load]\ncommand=echo\ntype=real\nunit=%\n[up]\ncommand=" + succeeds +
                                 "\n[n]\ncommand=x\ntype=integer\nunit=C\n");
    test::write_file(actions, "[restart]\ncommand=" + succeeds + "\n");
#if !defined(_WIN32)
    ::chmod(env.root.c_str(), 0700);
#endif
    the_config().custom_chk_conf = custom;
    the_config().actions_conf = actions;

    devtree root;
    ASSERT_TRUE(scan_custom(root).ok());
    ASSERT_TRUE(scan_action(root).ok());
    ASSERT_EQ(root.children.size(), 2u);
    const devtree& g = *root.children[0];
    EXPECT_EQ(g.id, "custom");
    EXPECT_EQ(g.name.value_or(""), "Custom AgentChecks");
    EXPECT_STREQ(g.name_template, "Custom check %0r");
    struct offered {
        const char* id;
        uint32_t type;
        const char* unit;
    } want[] = {{"n", 0, "C"}, {"up", 3, ""}, {"load", 7, "1%"}};
    ASSERT_EQ(g.checks.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(g.checks[i]->id, want[i].id);
        EXPECT_EQ(g.checks[i]->type, want[i].type) << want[i].id;
        EXPECT_EQ(g.checks[i]->unit, want[i].unit) << want[i].id;
        EXPECT_EQ(g.checks[i]->description, 21u);
    }
    const devtree& a = *root.children[1];
    EXPECT_EQ(a.id, "action");
    EXPECT_EQ(a.name.value_or(""), "AgentActions");
    ASSERT_EQ(a.checks.size(), 1u);
    EXPECT_EQ(a.checks[0]->type, type_action);

    // The action runs and reports success on the result.
    auto res = alloc_resnode();
    EXPECT_TRUE(check_action(*a.checks[0], res.get()).ok());
    EXPECT_EQ(res->ivalue, 1);
    EXPECT_EQ(res->text().value_or(""), "Success");

#if !defined(_WIN32)
    // A file others may change offers an empty group; its checks are unknown.
    ::chmod(custom.c_str(), 0666);
    devtree again;
    ASSERT_TRUE(scan_custom(again).ok());
    ASSERT_EQ(again.children.size(), 1u);
    EXPECT_TRUE(again.children[0]->checks.empty());
    EXPECT_TRUE(logs.has("Cannot read custom checks: File " + custom + " is writable by group or others"));
    EXPECT_EQ(check_custom(*g.checks[0], res.get()).message(), "Cannot find custom check name \"n\"");
    EXPECT_EQ(check_action(*g.checks[0], res.get()).message(), "Cannot find AgentAction with the name \"n\"");
#endif
    the_config() = config{};
}

}  // namespace
}  // namespace zp
