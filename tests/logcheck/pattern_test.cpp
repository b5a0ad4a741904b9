// Tests of compile_pattern: the escape translation, the engine's error texts,
// the limits on hostile expressions, and the fast paths (literal prefilter,
// one-pass form for long entries), which must never change a match result.
#include "logcheck/pattern.h"

#include <random>

#include <gtest/gtest.h>

namespace zp {
namespace {

std::unique_ptr<pattern> compile(std::string_view text, unsigned flags = 0) {
    std::unique_ptr<pattern> p;
    err e = compile_pattern(text, flags, &p);
    EXPECT_TRUE(e.ok()) << text << ": " << e.message();
    return p;
}

bool matches(const pattern& p, std::string_view s) {
    return p.exec(s) == regex_matched;
}

TEST(PatternEscapes, TabLineFeedCarriageReturnBecomeBytesOthersStayEscaped) {
    const std::pair<const char*, const char*> cases[] = {
        {"a\\tb\\nc\\rd", "a\tb\nc\rd"}, {"a\\.b", "a\\.b"}, {"a\\\\n", "a\\\\n"},  // escaped backslash, then n
        {"end\\", "end\\"}, {"\\", "\\"},
    };
    for (const auto& [text, expect] : cases) EXPECT_EQ(translate_pattern_escapes(text), expect) << text;
    auto dot = compile("a\\.b");  // the translated text is what matches
    EXPECT_TRUE(matches(*dot, "a.b"));
    EXPECT_FALSE(matches(*dot, "axb"));
}

TEST(PatternErrors, EngineTextsAndLimitsRefusedWithOutputUntouched) {
    std::string deep = std::string(5000, '(') + "a" + std::string(5000, ')');
    const std::pair<std::string, std::string> cases[] = {
        {"(", ""}, {"abc\\", ""},  // the engine's own text; a final backslash reaches the engine
        {"(a*)*\\1", os_regex_fault_text(regex_fault::bad_backref)},
        {"((a{255}){255}){255}", os_regex_fault_text(regex_fault::too_big)},
        {deep, os_regex_fault_text(regex_fault::too_big)},
        {")" + deep, os_regex_fault_text(regex_fault::too_big)},  // behind a ")" the engine takes as an ordinary byte
        // The library duplicates a subexpression for each "+" and builds it
        // before it finds the missing ")".
        {"(x" + std::string(40, '+'), os_regex_fault_text(regex_fault::too_big)},
    };
    auto keep = compile("keep");
    const pattern* before = keep.get();
    for (const auto& [text, fault] : cases) {
        SCOPED_TRACE(text.substr(0, 20));
        std::string message = compile_pattern(text, 0, &keep).message();
        if (fault.empty()) EXPECT_TRUE(!message.empty() && message.size() < 80u) << message;
        else EXPECT_EQ(message, fault);
        EXPECT_EQ(keep.get(), before);
    }
    // A backslash-digit inside brackets or after an escaped backslash is no back-reference.
    for (const char* ok : {"[\\1]", "\\\\1", "[0-9]{1,3}(\\.[0-9]{1,3}){3}"}) EXPECT_NE(compile(ok), nullptr);
}

TEST(PatternMatching, EntryMatchedInPlaceWholeAcrossLineFeedsWithSpans) {
    auto p = compile("def$");
    std::string buf = "abc";
    buf += '\0';
    buf += "defXYZ";
    EXPECT_TRUE(matches(*p, std::string_view(buf).substr(0, 7)));
    EXPECT_FALSE(matches(*p, buf));
    EXPECT_FALSE(matches(*p, std::string_view(buf).substr(0, 6)));
    auto lines = compile("^first.*last$");
    EXPECT_TRUE(matches(*lines, "first line\nsecond line\nlast"));
    EXPECT_FALSE(matches(*lines, "x\nfirst line last"));
    auto v = compile("value=([0-9]+)");
    match_span m[2];
    ASSERT_EQ(v->exec("x value=42;", m), regex_matched);
    EXPECT_EQ(std::tuple(m[0].start, m[0].end, m[1].start, m[1].end), std::tuple(2, 10, 8, 10));
    EXPECT_EQ(v->groups(), 1u);
    EXPECT_EQ(v->exec("no value here", m), regex_no_match);
}

// What both engines (the C library's on Linux, Boost.Regex on Windows) must
// agree on: escaped specials, intervals, brackets, classes, anchors by flag.
TEST(PatternMatching, BothEnginesAgree) {
    struct row {
        const char* pattern;
        unsigned flags;
        const char* entry;
        bool match;
    } rows[] = {
        {"a\\.b", 0, "a.b", true},          {"x\\(y", 0, "x(y", true},
        {"a{2,3}b", 0, "aab", true},         {"^a{2,3}b", 0, "ab", false},
        {"[]a]+", 0, "]a", true},            {"[^]a]", 0, "]a", false},
        {"[[:digit:]]+x", 0, "5x", true},    {"[a-c]", 0, "B", false},
        {"[a-c]", pattern_icase, "B", true}, {"ERR(OR)?", pattern_icase, "error", true},
        {"^b$", 0, "a\nb", false},           {"^b$", pattern_newline, "a\nb", true},
        {"a.b", 0, "a\nb", true},            {"a.b", pattern_newline, "a\nb", false},
        {"a|", 0, "x", true},                {"(ab|cd)+e", 0, "abcde", true},
    };
    for (const auto& r : rows) {
        auto p = compile(r.pattern, r.flags);
        ASSERT_NE(p, nullptr) << r.pattern;
        EXPECT_EQ(matches(*p, r.entry), r.match) << r.pattern << " on " << r.entry;
    }
}

// Patterns and entries chosen to hit the corners of the literal extraction:
// optional parts, alternation, classes, anchors, escapes, intervals, brackets.
const char* const corner_patterns[] = {
    "error", "err(or)?", "err(or)+", "e(r|x)r", "(ab|cd)ef", "a|b|c", "ab*c", "ab+c",
    "a{0}b", "a{2}b", "a{1,}b", "(a|)b", "()x", "x|", "^abc", "abc$", "a^b", "a$b", "a.c",
    "a\\.c", "a\\b", "\\bword\\b", "\\<word\\>", "[ab]c", "[]a]b", "[^]a]b", "[[:digit:]]x",
    "[[.a.]]b", "a\\|b", "a\\(b", "\\{x", "a}b", "a]b", "x\\wy", "x\\sy", "(a(b(c)))d",
    "((ab)|c)*d", "(a|b){2,3}c", "Failed password for .* from [0-9.]+", "(foo|foobar)baz",
    "ba(r|z)+q", "a\\?", "[.]x", "\xe2\x82\xac", "a\xff", "q\\nq", "(x)", "((()))",
    "a{,2}b", "error.*disk|warn.*fan", "[a-c]+d", "a\\\\b", "a\\'", "\\`a",
};

std::vector<std::string> corner_entries() {
    std::vector<std::string> v = {
        "", "error", "err", "erxr", "abef", "cdef", "ac", "abbbc", "b", "aab", "ab", "x",
        "abc", "xabc", "abcx", "a.c", "abc word here", "wordy", "]b", "cb", "5x", "a|b",
        "a(b", "{x", "a}b", "a]b", "xay", "x y", "abcd", "ababd", "abcc", "aac",
        "Failed password for root from 10.0.0.1", "foobarbaz", "bazq", "barrrq", "a?", ".x",
        "\xe2\x82\xac", "a\xff", "q\nq", "error on disk", "warn: fan", "cccd", "a\\b", "a",
        "the fox ab", "foxab", "xaqb fox", "qrab", "abfoxab", "fo x", "xab",
    };
    std::mt19937 rng(7);
    static const char bytes[] = "abcdefqrxyz.()[]|\\ \n\x00\xff" "05";
    const std::string alphabet(bytes, sizeof bytes - 1);
    for (int i = 0; i < 300; i++) {
        std::string s;
        size_t n = rng() % 24;
        for (size_t j = 0; j < n; j++) s += alphabet[rng() % alphabet.size()];
        v.push_back(s);
    }
    return v;
}

TEST(PatternPrefilter, FastPathsNeverChangeAMatchResult) {
    // The corner patterns, then random ones built of atoms.
    std::vector<std::string> patterns(std::begin(corner_patterns), std::end(corner_patterns));
    std::mt19937 rng(11);
    const char* atoms[] = {"a", "b", "ab", "x", ".", "[ab]", "\\.", "^", "$", "(a|b)", "(ab|x)",
                           "a*", "b+", "x?", "(a|)", "a{2}", "[^a]", "\\b", "fox", ".*", "(ab)+",
                           "(qr|fox)", "(xa.*b)"};
    for (int i = 0; i < 600; i++) {
        std::string text;
        for (int j = 0, parts = 1 + static_cast<int>(rng() % 5); j < parts; j++)
            text += std::string(atoms[rng() % std::size(atoms)]) + (rng() % 6 == 0 ? "|" : "");
        patterns.push_back(text);
    }
    auto entries = corner_entries();
    for (const auto& text : patterns) {
        std::unique_ptr<pattern> fast, plain;
        err e1 = compile_pattern(text, 0, &fast);
        err e2 = compile_pattern(text, pattern_plain, &plain);
        ASSERT_EQ(e1.message(), e2.message()) << text;
        if (e1) continue;
        for (auto& entry : entries) {
            // Short, and long enough for the one-pass form.
            for (const std::string& e : {entry, std::string(1030, '-') + entry, entry + std::string(1030, 'q') + entry})
                ASSERT_EQ(fast->exec(e), plain->exec(e)) << text << " on " << e.size() << " bytes: " << entry;
            match_span a[2], b[2];
            ASSERT_EQ(fast->exec(entry, a), plain->exec(entry, b)) << text;
            EXPECT_EQ(std::tuple(a[0].start, a[0].end), std::tuple(b[0].start, b[0].end)) << text;
        }
    }
}

TEST(PatternPrefilter, LongEntriesAndRebuildsKeepTheRightAnswer) {
    // The engine alone spends seconds on the first; the one-pass form does not.
    auto p = compile("a.*b");
    std::string entry(65536, 'a');
    EXPECT_FALSE(matches(*p, entry));
    entry.back() = 'b';
    EXPECT_TRUE(matches(*p, entry));
    auto z = compile("a.*z");
    entry.assign(4096, 'a');
    for (int i = 0; i < 600; i++) ASSERT_FALSE(matches(*z, entry));  // over the rebuild mark
    entry.back() = 'z';
    EXPECT_TRUE(matches(*z, entry));
}

}  // namespace
}  // namespace zp
