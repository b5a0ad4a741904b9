// Tests of the clause parser: error texts and their positions, precedence and
// associativity of the operators, strings, comments, and hostile texts.
#include <gtest/gtest.h>

#include "logcheck/rules.h"

namespace zp {
namespace {

// The parsed tree as text: (a or (b and c)), not x, pattern; or the error.
std::string shape(const log_cond& c) {
    switch (c.kind) {
    case log_cond::match: return c.pattern->text();
    case log_cond::negation: return "not " + shape(*c.left);
    case log_cond::conjunction: return "(" + shape(*c.left) + " and " + shape(*c.right) + ")";
    case log_cond::disjunction: return "(" + shape(*c.left) + " or " + shape(*c.right) + ")";
    }
    return "?";
}

std::string parsed(std::string_view text) {
    auto c = std::make_unique<log_cond>();
    const log_cond* before = c.get();
    err e = parse_log_condition(text, &c);
    EXPECT_EQ(e.is_error(), c.get() == before) << "condition replaced on failure, or kept on success: " << text;
    return e.is_error() ? "! " + e.message() : shape(*c);
}

TEST(Clauses, ParsedShapeOrErrorAtTheByteWhereTheParserStopped) {
    using namespace std::string_view_literals;
    const std::pair<std::string_view, const char*> cases[] = {
        {"'x' y", "! line 0 column 5: Extra input"},
        {"'x' anx", "! line 0 column 7: and expected"},
        {"('x'", "! line 0 column 5: ')' expected"},
        {"'x' and", "! line 0 column 8: Expected condition"},
        {"", "! line 0 column 1: Expected condition"},
        {"'x' ox", "! line 0 column 6: or expected"},
        {"nit 'x'", "! line 0 column 2: not expected"},
        {"no", "! line 0 column 3: not expected"},
        {"'abc", "! line 0 column 5: Unterminated character string"},
        {"AND 'x'", "! line 0 column 1: Expected condition"},
        // A line feed starts line 1 and restarts the columns.
        {"'x' # first\n  and y", "! line 1 column 7: Expected condition"},
        {"'a\nb' z", "! line 1 column 4: Extra input"},
        // The parse fails inside; the bytes after the failure do not matter.
        {"('x' 'y') z", "! line 0 column 6: ')' expected"},
        {"\xa0'x'", "! line 0 column 1: Expected condition"},  // high bytes are not white space
        // The text ends at its first NUL byte.
        {"'a'\0garbage"sv, "a"},
        {"'a\0b'"sv, "! line 0 column 3: Unterminated character string"},
        // "or" is right-associative and "and" binds tighter.
        {"'a' or 'b' and 'c'", "(a or (b and c))"},
        {"'a' and 'b' or 'c'", "((a and b) or c)"},
        {"'a' or 'b' or 'c'", "(a or (b or c))"},
        {"'a' and 'b' and 'c'", "(a and (b and c))"},
        {"('a' or 'b') and 'c'", "((a or b) and c)"},
        {"not not 'x'", "not not x"},
        {"not 'a' and 'b'", "(not a and b)"},
        // Keywords need no space after them.
        {"'a'andnot'b'", "(a and not b)"},
        {"'a'or('b')", "(a or b)"},
        // A doubled quote is one quote; backslashes reach the pattern.
        {"'it''s'", "it's"},
        {"''''", "'"},
        {"'a\\.b'", "a\\.b"},
        {"'a\\tb'", "a\tb"},
        // Comments and control bytes are white space, but not inside a string.
        {"# leading comment\n'a' # after a\n\t or\x01\x1f 'b' # end", "(a or b)"},
        {"'#'", "#"},
    };
    for (const auto& [text, expect] : cases) EXPECT_EQ(parsed(text), expect) << text;
    std::string regcomp = parsed("'x' or '('");  // the engine's own text after the position
    EXPECT_EQ(regcomp.rfind("! line 0 column 11: ", 0), 0u) << regcomp;
    EXPECT_GT(regcomp.size(), std::string("! line 0 column 11: ").size());
    logrule rule;  // a rule keeps its condition when a new text fails
    ASSERT_TRUE(parse_log_clauses("'keep'", rule).ok());
    auto* kept = rule.condition.get();
    EXPECT_TRUE(parse_log_clauses("'x' and", rule).is_error());
    EXPECT_EQ(rule.condition.get(), kept);
}

TEST(Clauses, DeepNestingIsAnErrorNotAStackOverflowAtAnyLengthTheServerSends) {
    std::string nots, chain = "'x'";
    for (int i = 0; i < 50000; i++) nots += "not ";
    for (int i = 0; i < 50000; i++) chain += " or 'x'";
    for (const std::string& deep : {std::string(100000, '('), nots + "'x'", chain})
        EXPECT_NE(parsed(deep).find("Nesting too deep"), std::string::npos);
    // Every text the server can send (1024 bytes) nests within the limit.
    std::string parens = std::string(510, '(') + "'x'" + std::string(510, ')');
    EXPECT_EQ(parsed(parens), "x");
    std::string ors = "''";
    while (ors.size() + 4 <= 1024) ors += "or''";
    EXPECT_EQ(parsed(ors).find("!"), std::string::npos);
    // A long chain evaluates and is released without deep recursion.
    std::string chain800 = "'nope0'";
    for (int i = 1; i < 800; i++) chain800 += " or 'nope" + std::to_string(i) + "'";
    std::unique_ptr<log_cond> c;
    ASSERT_TRUE(parse_log_condition(chain800 + " or 'yes'", &c).ok());
    EXPECT_TRUE(log_cond_match("yes", *c));
    EXPECT_FALSE(log_cond_match("no", *c));
}

TEST(Clauses, AndNotOrEvaluateLikeTheirWords) {
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"'error' and not 'debug'", "error: disk", true}, {"'error' and not 'debug'", "debug error", false},
        {"'a' or 'b' and 'c'", "a", true},                {"'a' or 'b' and 'c'", "b", false},
        {"'a' or 'b' and 'c'", "cb", true},               {"not ('x' or 'y')", "z", true},
        {"not ('x' or 'y')", "y", false},                 {"not not 'x'", "x", true},
    };
    for (const auto& [clause, entry, match] : cases) {
        std::unique_ptr<log_cond> c;
        ASSERT_TRUE(parse_log_condition(clause, &c).ok());
        EXPECT_EQ(log_cond_match(entry, *c), match) << clause << " on " << entry;
    }
    log_cond empty;  // an uninitialized node is no match
    EXPECT_FALSE(log_cond_match("x", empty));
}

}  // namespace
}  // namespace zp
