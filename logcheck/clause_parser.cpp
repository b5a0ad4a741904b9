// clause_parser.cpp - the parser of log rule clauses: "not", "and", "or",
// parentheses and quoted regular expressions, with line and column positions
// in its error texts.
#include <string>

#include "core/log.h"
#include "logcheck/rules.h"

namespace zp {

namespace {

constexpr int end_of_text = -1;

class clause_parser {
public:
    explicit clause_parser(std::string_view text) : text_(text) { next(); }

    // expression: conjunction ["or" expression]
    std::unique_ptr<log_cond> expression() {
        if (!enter()) return nullptr;
        auto left = conjunction();
        if (!left) return leave(nullptr);
        skip_space();
        if (c_ != 'o') return leave(std::move(left));
        next();
        if (!expect('r', "or expected")) return leave(nullptr);
        auto right = expression();
        if (!right) return leave(nullptr);
        return leave(combine(log_cond::disjunction, std::move(left), std::move(right)));
    }

    // The whole text: one expression, then only white space and comments.
    std::unique_ptr<log_cond> all() {
        auto cond = expression();
        if (!cond) return nullptr;
        skip_space();
        if (c_ != end_of_text) return fail("Extra input");
        return cond;
    }

    err error() const { return error_; }

private:
    // conjunction: unary ["and" conjunction]
    std::unique_ptr<log_cond> conjunction() {
        if (!enter()) return nullptr;
        auto left = unary();
        if (!left) return leave(nullptr);
        skip_space();
        if (c_ != 'a') return leave(std::move(left));
        next();
        if (!expect('n', "and expected") || !expect('d', "and expected")) return leave(nullptr);
        auto right = conjunction();
        if (!right) return leave(nullptr);
        return leave(combine(log_cond::conjunction, std::move(left), std::move(right)));
    }

    // unary: "not" unary | "(" expression ")" | string
    std::unique_ptr<log_cond> unary() {
        if (!enter()) return nullptr;
        skip_space();
        if (c_ == 'n') {
            next();
            if (!expect('o', "not expected") || !expect('t', "not expected")) return leave(nullptr);
            auto operand = unary();
            if (!operand) return leave(nullptr);
            auto node = std::make_unique<log_cond>();
            node->kind = log_cond::negation;
            node->left = std::move(operand);
            return leave(std::move(node));
        }
        if (c_ == '(') {
            next();
            auto inner = expression();
            if (!inner) return leave(nullptr);
            skip_space();
            if (!expect(')', "')' expected")) return leave(nullptr);
            return leave(std::move(inner));
        }
        if (c_ != '\'') return leave(fail("Expected condition"));
        return leave(string());
    }

    // A quoted string, compiled as a pattern.
    std::unique_ptr<log_cond> string() {
        if (c_ != '\'') return fail("' expected");
        std::string text;
        for (;;) {
            next();
            if (c_ == end_of_text) return fail("Unterminated character string");
            if (c_ == '\'') {
                next();
                if (c_ != '\'') break;  // two quotes stand for one
            }
            text += static_cast<char>(c_);
        }
        std::unique_ptr<zp::pattern> p;
        if (auto e = compile_pattern(text, 0, &p)) return fail(e.message());
        auto node = std::make_unique<log_cond>();
        node->kind = log_cond::match;
        node->pattern = std::move(p);
        return node;
    }

    static std::unique_ptr<log_cond> combine(uint32_t kind, std::unique_ptr<log_cond> left,
                                             std::unique_ptr<log_cond> right) {
        auto node = std::make_unique<log_cond>();
        node->kind = kind;
        node->left = std::move(left);
        node->right = std::move(right);
        return node;
    }

    // Reads the next byte. The column is that of the current byte, from 1; the
    // byte after a line feed starts the next line. The end reads as one more
    // position and stays there.
    void next() {
        if (pos_ > text_.size()) return;
        if (col_ > 0 && c_ == '\n') {
            line_++;
            col_ = 1;
        } else {
            col_++;
        }
        c_ = pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_]) : end_of_text;
        pos_++;
    }

    // White space is every byte from 1 to 32; "#" starts a comment up to the
    // next line feed.
    void skip_space() {
        for (;;) {
            if (c_ >= 1 && c_ <= 32) {
                next();
            } else if (c_ == '#') {
                while (c_ != '\n' && c_ != end_of_text) next();
            } else {
                return;
            }
        }
    }

    bool expect(int want, const char* message) {
        if (c_ != want) {
            fail(message);
            return false;
        }
        next();
        return true;
    }

    std::unique_ptr<log_cond> fail(const std::string& message) {
        if (error_.ok()) error_ = format_error("line %u column %u: %s", line_, col_, message.c_str());
        return nullptr;
    }

    // Every rule of the grammar counts its nesting, so that no text can take
    // the parser (or the evaluation and release of its tree) deeper than this.
    bool enter() {
        if (depth_ >= log_clause_max_depth) {
            fail("Nesting too deep");
            return false;
        }
        depth_++;
        return true;
    }
    std::unique_ptr<log_cond> leave(std::unique_ptr<log_cond> node) {
        depth_--;
        return node;
    }

    std::string_view text_;
    size_t pos_ = 0;
    int c_ = end_of_text;
    unsigned line_ = 0;
    unsigned col_ = 0;
    unsigned depth_ = 0;
    err error_;
};

}  // namespace

err parse_log_condition(std::string_view text, std::unique_ptr<log_cond>* out) {
    log(-1, "Reading log check clauses string");
    // The server's texts end at their first NUL byte.
    size_t nul = text.find('\0');
    if (nul != std::string_view::npos) text = text.substr(0, nul);
    clause_parser parser(text);
    auto cond = parser.all();
    if (!cond) return parser.error();
    *out = std::move(cond);
    return {};
}

err parse_log_clauses(std::string_view text, logrule& rule) {
    std::unique_ptr<log_cond> cond;
    if (auto e = parse_log_condition(text, &cond)) return e;
    rule.condition = std::move(cond);
    return {};
}

}  // namespace zp
