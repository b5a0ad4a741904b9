// Tests of the kept results: every field survives the file, results go back
// in front of the queue of the check with the same identifier, and files the
// agent did not write are refused.
#include "devtree/results_file.h"

#include <gtest/gtest.h>

#include "tests/support/files.h"
#include "tests/support/log_capture.h"

namespace zp {
namespace {

devnode* add_check(devtree& g, const char* id, const char* identifier) {
    auto n = alloc_devnode();
    n->id = id;
    if (identifier) n->identifier = identifier;
    devnode* p = n.get();
    add_devnodes(g, std::move(n));
    return p;
}

void add_result(devnode& n, int64_t time, const char* log_text = nullptr) {
    auto r = alloc_resnode();
    r->time = time;
    r->status = status_alert;
    r->ivalue = -7;
    r->dvalue = 0.1;
    if (log_text) set_result_log_text(*r, log_text);
    append_result(n, std::move(r));
}

TEST(ResultsFile, ResultsGoBackInFrontOfTheChecksWithTheirIdentifier) {
    test::temp_env env;
    const int64_t now = 4'000'000'000;  // beyond any retention question
    devtree_list before;
    devtree* g = devtree_child(before, "log", std::nullopt);
    devnode* a = add_check(*g, "a", "id-a");
    add_result(*a, now, "odd % bytes\n\t and a space ");
    auto r = alloc_resnode();
    r->time = now + 1;
    set_result_text(*r, "");
    r->set_alert_group("group 1");
    append_result(*a, std::move(r));
    add_result(*add_check(*g, "gone", "id-gone"), now);
    add_result(*add_check(*g, "plain", nullptr), now);  // no identifier: not kept
    const std::string path = env.path("state/vars.results");
    ASSERT_TRUE(save_results_file(path, before).ok());

    devtree_list after;
    g = devtree_child(after, "log", std::nullopt);
    devnode* a2 = add_check(*g, "a", "id-a");
    add_result(*a2, now + 5);
    test::log_capture logs(1);
    restore_results_file(path, after);
    EXPECT_TRUE(logs.has("Dropped 1 kept results of checks no longer configured"));
    ASSERT_EQ(a2->results.size(), 3u);
    auto it = a2->results.begin();
    EXPECT_EQ(*it->log_text(), "odd % bytes\n\t and a space ");
    EXPECT_EQ(it->status, status_alert);
    EXPECT_EQ(it->ivalue, -7);
    EXPECT_EQ(it->dvalue, 0.1);
    EXPECT_FALSE(it->text());
    ++it;
    EXPECT_EQ(*it->text(), "");
    EXPECT_EQ(*it->alert_group(), "group 1");
    EXPECT_FALSE(it->log_text());
    EXPECT_EQ((++it)->time, now + 5);
}

TEST(ResultsFile, FilesTheAgentDidNotWriteAreRefused) {
    const char* bad[] = {
        "",
        "zerpal-results 1\n",                                  // no end
        "zerpal-results 1\nr 1 0 0 0 - - -\nend\n",            // a result before any check
        "zerpal-results 1\nc =a\nr 1 9 0 0 - - -\nend\n",      // status
        "zerpal-results 1\nc =a\nr 1 0 0 0 =%4 - -\nend\n",    // cut escape
        "zerpal-results 1\nc =a\nr 1 0 0 x - - -\nend\n",      // value
        "zerpal-results 1\nc =a\nend\nc =b\n",                 // after the end
        "zerpal-results 2\nend\n",
    };
    for (const char* text : bad) {
        std::vector<saved_results> out;
        EXPECT_TRUE(parse_results(text, out).is_error()) << text;
    }
}

}  // namespace
}  // namespace zp
