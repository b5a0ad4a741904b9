// Tests of the log check configuration: lines and their outcomes, wildcard
// matching, and the walk over a directory tree with "*", "?" and "**".
#include <gtest/gtest.h>

#include <functional>

#include "core/config.h"
#include "logcheck/logconf.h"
#include "logcheck/logfile.h"
#include "logcheck/logpath.h"
#include "tests/support/files.h"
#include "tests/support/log_capture.h"

namespace zp {
namespace {

std::string parts_text(const std::optional<log_config>& c) {
    if (!c) return "none";
    std::string out;
    for (const auto& line : *c) {
        if (!out.empty()) out += " | ";
        for (const auto& p : *line) out += std::to_string(p.kind) + ":" + p.text + " ";
    }
    return out;
}

TEST(LogConfTest, ConfigurationLines) {
    struct row {
        const char* text;
        const char* parts;   // "none": the file fails
        const char* logged;  // a line logged, or null
    } rows[] = {
        {"/var/log/app.log\n", "1:/ 2:var 2:log 2:app.log ", nullptr},
        {"  # comment\n\n  //var//log/*.log//  \n", "1:/ 2:var 2:log 2:*.log ", nullptr},
        {"eventlog:   Sys*\n", "0:Sys* ", nullptr},
        {"/var/**/x?.log\n", "1:/ 2:var 3:** 2:x?.log ", nullptr},
        {"/var/log/**\n/a\n", "1:/ 2:a ", "No line must end with '**' - skipping line"},
        {"/var/log/a**b.log\n/a\n", "none", "Found misplaced '**' in log check configuration: \"/var/log/a**b.log\""},
        {"/var/log/a**b.log\n", "none", "Unable to parse components of log check configuration line: \"a**b.log\""},
        {"var/log\n", "none", "log check configuration line did not start with a drive letter: \"var/log\""},
        {"eventlog:  \n", "none", "Event-log entry did not detail which parts to include"},
        {"# nothing\n", "none", nullptr},
    };
    for (const auto& r : rows) {
        test::log_capture logs(1);
        EXPECT_EQ(parts_text(parse_log_config(r.text, path_style::posix)), r.parts) << r.text;
        EXPECT_TRUE(!r.logged || logs.has(r.logged)) << r.text;
    }
    // A line beyond 1023 bytes reads on as a line of its own.
    EXPECT_EQ(parts_text(parse_log_config("/" + std::string(1030, 'a'), path_style::posix)), "none");
}

// Lines in each platform's form: their components, and the path that the
// reader opens and the walk looks at for a check built from them.
TEST(LogConfTest, PathsInEachPlatformsForm) {
    constexpr auto win = path_style::windows, lin = path_style::posix;
    struct row {
        path_style style;
        const char* line;
        const char* parts;  // "none": the file fails
        const char* path;   // of the check, or the line logged when it fails
    } rows[] = {
        {win, "C:\\logs\\app.log", "1:C: 2:logs 2:app.log ", "C:\\logs\\app.log"},
        {win, "c:/x/y.log", "1:c: 2:x 2:y.log ", "c:\\x\\y.log"},
        {win, "C:logs\\\\a.log\\", "1:C: 2:logs 2:a.log ", "C:\\logs\\a.log"},
        {win, "\\\\server\\share\\f.log", "1:\\\\server\\share 2:f.log ", "\\\\server\\share\\f.log"},
        {win, "//server/share/d/f.log", "1:\\\\server\\share 2:d 2:f.log ", "\\\\server\\share\\d\\f.log"},
        {win, "C:\\logs\\**\\*.log", "1:C: 2:logs 3:** 2:*.log ", nullptr},
        {win, "\\logs\\a.log", "none", "log check configuration line did not start with a drive letter: \"\\logs\\a.log\""},
        {win, "C\\a.log", "none", "log check configuration line must start with a drive letter and a colon: \"C\\a.log\""},
        {win, "\\\\server", "none", "did not start with a drive letter"},
        {win, "\\\\server\\\\f.log", "none", "did not start with a drive letter"},
        {win, "\\\\.\\pipe\\x", "none", "did not start with a drive letter"},
        {win, "\\\\?\\C:\\x.log", "none", "did not start with a drive letter"},
        {win, "\\\\srv\\s*\\x.log", "none", "did not start with a drive letter"},
        {win, "C:\\a/b**\\x", "none", "Unable to parse components of log check configuration line: \"b**\\x\""},
        {lin, "/var/a\\b.log", "1:/ 2:var 2:a\\b.log ", "/var/a\\b.log"},
        {lin, "C:\\logs\\app.log", "none", "did not start with a drive letter"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.line);
        test::log_capture logs(1);
        auto conf = parse_log_config(r.line, r.style);
        EXPECT_EQ(parts_text(conf), r.parts);
        if (!conf) {
            EXPECT_TRUE(logs.has(r.path));
            continue;
        }
        if (!r.path) continue;
        devtree_list tree;
        devtree* g = devtree_child(tree, "log", std::nullopt);
        std::string dir;
        const auto& parts = *conf->front();
        for (size_t i = 0; i + 1 < parts.size(); i++) {
            g = devtree_child(*g, parts[i].text, std::nullopt);
            dir = path_below(dir, parts[i].text, r.style);
        }
        auto n = alloc_devnode();
        n->id = parts.back().text;
        const devnode& node = *n;
        add_devnodes(*g, std::move(n));
        EXPECT_EQ(log_file_path(node, r.style), r.path);
        EXPECT_EQ(dir + node.id, r.path);
        EXPECT_EQ(path_directory(r.path, r.style), dir);
    }
}

TEST(LogConfTest, WildcardMatch) {
    struct row {
        const char* name;
        const char* pattern;
        bool match;
    } rows[] = {
        {"ab", "a*", true},     {"a", "a*", false},        {".log", "*.log", false},
        {"x.LOG", "*.log", true}, {"abc", "a?c", true},    {"ac", "a?c", false},
        {"", "", true},         {"", "*", false},          {"abc", "**", true},
        {"abc", "a**", true},   {"abc", "**c", false},     {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "*a*a*a*a*a*a*a*a*c", false},
        {"a.b.log", "*.*.log", true},
    };
    for (const auto& r : rows) EXPECT_EQ(log_wildcard_match(r.name, r.pattern), r.match) << r.name << " " << r.pattern;
}

// The tree below the group "log" as "group/ ... id" lines.
void flatten(const devtree& g, const std::string& prefix, std::vector<std::string>& out) {
    for (const auto& n : g.checks) {
        EXPECT_EQ(n->type, type_adv_log);
        EXPECT_EQ(n->description, 20u);
        out.push_back(prefix + n->id);
    }
    for (const auto& c : g.children) flatten(*c, prefix + c->id + "|", out);
}

TEST(LogConfTest, WalkOffersWhatTheLinesFind) {
    test::temp_env env;
    for (const char* f : {"logs/app.log", "logs/.log", "logs/b.txt", "logs/sub/deep/c.log", "logs/sub/d.log",
                          "logs/empty/x.txt", "one/app.log", "two/other.log", "app.log"}) {
        std::filesystem::create_directories(std::filesystem::path(env.path(f)).parent_path());
        test::write_file(env.path(f), "x");
    }
    // The groups of the root directory: "/" or the drive, then its directories.
    const auto root = parse_log_config(env.root);
    ASSERT_TRUE(root);
    std::string prefix;
    for (const auto& p : *root->front()) prefix += p.text + "|";
    struct row {
        std::string line;
        std::vector<std::string> found;  // below the root directory
    } rows[] = {
        {"/logs/missing.log", {"logs|missing.log"}},
        {"/logs/*.log", {"logs|app.log"}},
        {"/logs/**/*.log", {"logs|app.log", "logs|sub|d.log", "logs|sub|deep|c.log"}},
        {"/*/app.log", {"logs|app.log", "one|app.log"}},
        {"/logs/s?b/*.LOG", {"logs|sub|d.log"}},
    };
    for (const auto& r : rows) {
        auto conf = parse_log_config(env.root + r.line + "\n" + env.root + r.line);
        ASSERT_TRUE(conf) << r.line;
        devtree top;
        top.id = "log";
        log_match start{log_match::directory, 0, "", {}};
        for (const auto& l : *conf) start.chains.push_back({l, 0});
        log_fs_scan("", top, start);
        std::vector<std::string> got;
        flatten(top, "", got);
        std::vector<std::string> want;
        for (const auto& f : r.found) want.push_back(prefix + f);
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want) << r.line;
    }
}

TEST(LogConfTest, ScanKeepsTheLastGoodConfiguration) {
    test::temp_env env;
    const std::string conf = env.path("logs.conf");
    the_config().log_chk_conf = conf;
    auto scan = [] {
        devtree root;
        (void)scan_log(root);
        std::vector<std::string> out;
        flatten(root, "", out);
        EXPECT_EQ(root.children.front()->children.back()->id, "/forward");
        return out;
    };
    const std::string root = os_path_style() == path_style::windows ? "C:" : "/";
    test::write_file(conf, root + "/a.log\n");
    EXPECT_EQ(scan(), std::vector<std::string>{"log|" + root + "|a.log"});
    test::write_file(conf, root + "/b/a**b\n");
    EXPECT_EQ(scan(), std::vector<std::string>{"log|" + root + "|a.log"});
    the_config().log_chk_conf.reset();
    reset_log_config();
}

}  // namespace
}  // namespace zp
