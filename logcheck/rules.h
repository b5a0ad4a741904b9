// rules.h - the log rule language: conditions over regular expressions, their
// parser, and the evaluation of a check's rules against one log entry,
// including forwarding between checks and the detection of forwarding cycles.
//
// Everything here runs on the main thread. Condition trees are built once per
// configuration and only read afterwards.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "core/err.h"
#include "devtree/devtree.h"
#include "logcheck/pattern.h"

namespace zp {

// One node of a parsed condition; owns its operands and its pattern.
struct log_cond {
    enum : uint32_t { match = 1, negation = 2, conjunction = 3, disjunction = 4 };
    uint32_t kind = 0;
    std::unique_ptr<zp::pattern> pattern;  // match
    std::unique_ptr<log_cond> left;        // negation (its operand), conjunction, disjunction
    std::unique_ptr<log_cond> right;       // conjunction, disjunction

    log_cond() = default;
    log_cond(const log_cond&) = delete;
    log_cond& operator=(const log_cond&) = delete;
    ~log_cond();  // iterative, so a long chain does not exhaust the stack
};

// Decisions of a rule.
enum : int32_t {
    decision_log = 0,
    decision_quiet = 1,
    decision_moveto = 2,
    decision_copyto = 3,
    decision_call = 4,
    decision_logtogroup = 5,
    decision_copytogroup = 6,
};

// Deepest nesting of grammar rules (a parenthesis takes three, "not" one,
// "and" two, "or" three) that the parser follows; texts of up to 1024 bytes,
// all the server can send, never reach it.
inline constexpr unsigned log_clause_max_depth = 3300;

// Parses a clause text (it ends at its first NUL byte, if any). On success
// stores the condition in *out; on failure returns "line %u column %u: %s" and
// leaves *out unchanged.
err parse_log_condition(std::string_view text, std::unique_ptr<log_cond>* out);
// The same, storing the condition in the rule.
err parse_log_clauses(std::string_view text, logrule& rule);

// True when the entry satisfies the condition. Matching errors count as no match.
bool log_cond_match(std::string_view entry, const log_cond& cond);
// The same for an entry that several conditions look at.
bool log_cond_match(entry_scan& entry, const log_cond& cond);

// One element of the forwarding chain: a check through which the entry is being
// forwarded, and the element of the check that forwarded to it. Lives on the
// evaluation's call stack.
struct log_chain {
    const devnode* check;
    const log_chain* prev;
};

// Applies the rules of `check` to the entry (empty chain: null for a top-level
// call). Results go to the result queues of the checks involved. Returns true
// when a rule stopped the evaluation or a cycle was found, false when the rules
// ran out.
bool log_apply_rules(std::string_view entry, devnode& check, const log_chain* chain);

// Logs "Got entry: %s" (level -1) and applies the check's rules to the entry.
// The readers hand every entry over through here; the entry is not copied
// unless a rule keeps it. Returns what log_apply_rules returned.
bool log_got_entry(std::string_view entry, devnode& check);

}  // namespace zp
