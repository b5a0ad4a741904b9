// Tests of the clause parser: error texts and their positions, precedence and
// associativity of the operators, strings, comments, and hostile texts.
#include <gtest/gtest.h>

#include "logcheck/rules.h"

namespace zp {
namespace {

std::string parse_error(std::string_view text) {
    std::unique_ptr<log_cond> c;
    err e = parse_log_condition(text, &c);
    EXPECT_TRUE(e.is_error()) << text;
    EXPECT_EQ(c, nullptr);
    return e.message();
}

std::unique_ptr<log_cond> parse(std::string_view text) {
    std::unique_ptr<log_cond> c;
    err e = parse_log_condition(text, &c);
    EXPECT_TRUE(e.ok()) << text << ": " << e.message();
    return c;
}

// The shape of a tree: (a or (b and c)), not x, 'pattern'.
std::string shape(const log_cond& c) {
    switch (c.kind) {
    case log_cond::match: return c.pattern->text();
    case log_cond::negation: return "not " + shape(*c.left);
    case log_cond::conjunction: return "(" + shape(*c.left) + " and " + shape(*c.right) + ")";
    case log_cond::disjunction: return "(" + shape(*c.left) + " or " + shape(*c.right) + ")";
    }
    return "?";
}

TEST(ClauseErrors, PositionIsTheByteWhereTheParserStopped) {
    EXPECT_EQ(parse_error("'x' y"), "line 0 column 5: Extra input");
    EXPECT_EQ(parse_error("'x' anx"), "line 0 column 7: and expected");
    EXPECT_EQ(parse_error("('x'"), "line 0 column 5: ')' expected");
    EXPECT_EQ(parse_error("'x' and"), "line 0 column 8: Expected condition");
    EXPECT_EQ(parse_error(""), "line 0 column 1: Expected condition");
    EXPECT_EQ(parse_error("'x' ox"), "line 0 column 6: or expected");
    EXPECT_EQ(parse_error("nit 'x'"), "line 0 column 2: not expected");
    EXPECT_EQ(parse_error("no"), "line 0 column 3: not expected");
    EXPECT_EQ(parse_error("'abc"), "line 0 column 5: Unterminated character string");
    EXPECT_EQ(parse_error("AND 'x'"), "line 0 column 1: Expected condition");
}

TEST(ClauseErrors, SecondLineIsLineOneAndColumnsRestartAfterLineFeed) {
    EXPECT_EQ(parse_error("'x' # first\n  and y"), "line 1 column 7: Expected condition");
    EXPECT_EQ(parse_error("'a\nb' z"), "line 1 column 4: Extra input");
}

TEST(ClauseErrors, RegcompTextAfterTheClosingQuote) {
    std::string e = parse_error("'x' or '('");
    EXPECT_EQ(e.rfind("line 0 column 11: ", 0), 0u) << e;
    EXPECT_GT(e.size(), std::string("line 0 column 11: ").size());
}

TEST(ClauseErrors, ExtraInputOnlyAfterASuccessfulParse) {
    // The parse fails inside; the bytes after the failure do not matter.
    EXPECT_EQ(parse_error("('x' 'y') z"), "line 0 column 6: ')' expected");
}

TEST(ClauseErrors, DeepNestingIsAnErrorNotAStackOverflow) {
    std::string deep(100000, '(');
    EXPECT_NE(parse_error(deep).find("Nesting too deep"), std::string::npos);
    std::string nots;
    for (int i = 0; i < 50000; i++) nots += "not ";
    EXPECT_NE(parse_error(nots + "'x'").find("Nesting too deep"), std::string::npos);
    std::string chain = "'x'";
    for (int i = 0; i < 50000; i++) chain += " or 'x'";
    EXPECT_NE(parse_error(chain).find("Nesting too deep"), std::string::npos);
}

TEST(ClauseErrors, EveryTextTheServerCanSendNestsWithinTheLimit) {
    std::string parens = std::string(510, '(') + "'x'" + std::string(510, ')');
    ASSERT_LE(parens.size(), 1024u);
    EXPECT_NE(parse(parens), nullptr);
    std::string chain = "''";
    while (chain.size() + 4 <= 1024) chain += "or''";
    EXPECT_NE(parse(chain), nullptr);
}

TEST(ClauseSyntax, OrIsRightAssociativeAndAndBindsTighter) {
    EXPECT_EQ(shape(*parse("'a' or 'b' and 'c'")), "(a or (b and c))");
    EXPECT_EQ(shape(*parse("'a' and 'b' or 'c'")), "((a and b) or c)");
    EXPECT_EQ(shape(*parse("'a' or 'b' or 'c'")), "(a or (b or c))");
    EXPECT_EQ(shape(*parse("'a' and 'b' and 'c'")), "(a and (b and c))");
    EXPECT_EQ(shape(*parse("('a' or 'b') and 'c'")), "((a or b) and c)");
    EXPECT_EQ(shape(*parse("not not 'x'")), "not not x");
    EXPECT_EQ(shape(*parse("not 'a' and 'b'")), "(not a and b)");
}

TEST(ClauseSyntax, KeywordsNeedNoSpaceAfterThem) {
    EXPECT_EQ(shape(*parse("'a'andnot'b'")), "(a and not b)");
    EXPECT_EQ(shape(*parse("'a'or('b')")), "(a or b)");
}

TEST(ClauseSyntax, DoubledQuoteIsOneQuoteAndBackslashesReachThePattern) {
    EXPECT_EQ(parse("'it''s'")->pattern->text(), "it's");
    EXPECT_EQ(parse("''''")->pattern->text(), "'");
    EXPECT_EQ(parse("'a\\.b'")->pattern->text(), "a\\.b");
    EXPECT_EQ(parse("'a\\tb'")->pattern->text(), "a\tb");
}

TEST(ClauseSyntax, CommentsAndControlBytesAreWhiteSpace) {
    auto c = parse("# leading comment\n'a' # after a\n\t or\x01\x1f 'b' # end");
    EXPECT_EQ(shape(*c), "(a or b)");
    EXPECT_EQ(parse("'#'")->pattern->text(), "#");  // not a comment inside a string
}

TEST(ClauseSyntax, HighBytesAreNotWhiteSpace) {
    EXPECT_EQ(parse_error("\xa0'x'"), "line 0 column 1: Expected condition");
}

TEST(ClauseSyntax, TextEndsAtItsFirstNulByte) {
    EXPECT_EQ(shape(*parse(std::string_view("'a'\0garbage", 11))), "a");
    EXPECT_EQ(parse_error(std::string_view("'a\0b'", 5)), "line 0 column 3: Unterminated character string");
}

TEST(ClauseSyntax, FailureLeavesTheRuleAlone) {
    logrule rule;
    ASSERT_TRUE(parse_log_clauses("'keep'", rule).ok());
    auto* before = rule.condition.get();
    EXPECT_TRUE(parse_log_clauses("'x' and", rule).is_error());
    EXPECT_EQ(rule.condition.get(), before);
}

TEST(ClauseEvaluation, AndNotOrShortCircuitLikeTheirWords) {
    auto c = parse("'error' and not 'debug'");
    EXPECT_TRUE(log_cond_match("error: disk", *c));
    EXPECT_FALSE(log_cond_match("debug error", *c));
    auto p = parse("'a' or 'b' and 'c'");
    EXPECT_TRUE(log_cond_match("a", *p));
    EXPECT_FALSE(log_cond_match("b", *p));
    EXPECT_TRUE(log_cond_match("cb", *p));
    auto n = parse("not ('x' or 'y')");
    EXPECT_TRUE(log_cond_match("z", *n));
    EXPECT_FALSE(log_cond_match("y", *n));
    auto nn = parse("not not 'x'");
    EXPECT_TRUE(log_cond_match("x", *nn));
}

TEST(ClauseEvaluation, UninitializedNodeIsNoMatch) {
    log_cond empty;
    EXPECT_FALSE(log_cond_match("x", empty));
    auto neg = std::make_unique<log_cond>();
    neg->kind = log_cond::negation;
    neg->left = std::make_unique<log_cond>();
    EXPECT_TRUE(log_cond_match("x", *neg));
}

TEST(ClauseEvaluation, LongChainsEvaluateAndReleaseWithoutDeepRecursion) {
    std::string chain = "'nope0'";
    for (int i = 1; i < 800; i++) chain += " or 'nope" + std::to_string(i) + "'";
    chain += " or 'yes'";
    auto c = parse(chain);
    EXPECT_TRUE(log_cond_match("yes", *c));
    EXPECT_FALSE(log_cond_match("no", *c));
}

}  // namespace
}  // namespace zp
