// rules.cpp - evaluation of log conditions and of a check's rule list:
// decisions, results, silence reset, forwarding and cycle detection.
#include "logcheck/rules.h"

#include <string>
#include <vector>

#include "core/clock.h"
#include "core/log.h"
#include "core/variables.h"

namespace zp {

namespace {

// Forwarding deeper than this stops: each level is a frame of this call, and a
// configuration can chain any number of forward checks.
constexpr int max_forward_depth = 256;

const char* status_name(int32_t status) {
    switch (status) {
    case 0: return "ok";
    case 1: return "warn";
    case 2: return "alert";
    default: return "<>";
    }
}

const char* decision_name(int32_t decision) {
    switch (decision) {
    case decision_log: return "log";
    case decision_quiet: return "quiet";
    default: return "<>";
    }
}

// The cut of the 256-byte buffers these texts were made in.
std::string cut(std::string s) {
    if (s.size() > format_error_max) s.resize(format_error_max);
    return s;
}

// "A -> B -> C -> A: <entry>": the forwarding chain from the oldest check to
// the re-entered one, then the entry; at most 255 bytes.
std::string cycle_text(std::string_view entry, const devnode& check, const log_chain* chain) {
    std::string text = cut(check.id);
    for (const log_chain* c = chain; c; c = c->prev) text = cut(c->check->id + " -> " + text);
    return cut(text + ": " + std::string(entry));
}

int chain_length(const log_chain* chain) {
    int n = 0;
    for (; chain; chain = chain->prev) n++;
    return n;
}

// The rules have recorded an entry: the silence watch starts again.
void reset_silence(const devnode& check, int64_t now) {
    // The keys are cut where the silence watch and the scheduler cut them.
    std::string name = dotted_name(check);
    (void)set_variable(cut("timestamp:" + name), strprintf("%lld", static_cast<long long>(now)));
    (void)set_variable(cut("status_sent:" + name), "0");
}

void record(std::string_view entry, devnode& check, const logrule& rule, int64_t now) {
    auto res = alloc_resnode();
    res->time = now;
    res->status = static_cast<uint32_t>(rule.status);
    int32_t d = rule.decision;
    if (d == decision_log || d == decision_logtogroup || d == decision_copytogroup) {
        set_result_log_text(*res, entry);
        reset_silence(check, now);
        if (d != decision_log && rule.destination) res->set_alert_group(*rule.destination);
    }
    append_result(check, std::move(res));
}

// Hands the entry to the destination check. Returns its log_apply_rules result,
// or false when there is no destination.
bool forward(std::string_view entry, devnode& check, const logrule& rule, const log_chain* chain) {
    if (!rule.destination_check) {
        log(2, "Missing log forward destination");
        return false;
    }
    if (chain_length(chain) >= max_forward_depth) {
        log(2, "Log forwarding deeper than %d checks: \"%s\"", max_forward_depth, check.id.c_str());
        return false;
    }
    log_chain link{&check, chain};
    return log_apply_rules(entry, *rule.destination_check, &link);
}

}  // namespace

log_cond::~log_cond() {
    std::vector<std::unique_ptr<log_cond>> pending;
    if (left) pending.push_back(std::move(left));
    if (right) pending.push_back(std::move(right));
    while (!pending.empty()) {
        auto node = std::move(pending.back());
        pending.pop_back();
        if (node->left) pending.push_back(std::move(node->left));
        if (node->right) pending.push_back(std::move(node->right));
    }
}

bool log_cond_match(std::string_view entry, const log_cond& cond) {
    entry_scan scan(entry);
    return log_cond_match(scan, cond);
}

bool log_cond_match(entry_scan& entry, const log_cond& cond) {
    // Walks "not" and the right operands of "and"/"or" in a loop; only left
    // operands recurse. `negate` is the parity of the "not"s passed.
    const log_cond* c = &cond;
    bool negate = false;
    for (;;) {
        switch (c->kind) {
        case log_cond::match: {
            if (!c->pattern) break;
            int rc = c->pattern->exec(entry);
            if (rc == regex_matched) {
                log(-1, "Matched regexp \"%s\"", c->pattern->text().c_str());
                return !negate;
            }
            if (rc != regex_no_match) log(3, "regexec returned error %d", rc);
            return negate;
        }
        case log_cond::negation:
            if (!c->left) break;
            negate = !negate;
            c = c->left.get();
            continue;
        case log_cond::conjunction:
            if (!c->left || !c->right) break;
            if (!log_cond_match(entry, *c->left)) return negate;
            c = c->right.get();
            continue;
        case log_cond::disjunction:
            if (!c->left || !c->right) break;
            if (log_cond_match(entry, *c->left)) return !negate;
            c = c->right.get();
            continue;
        default:
            break;
        }
        log(3, "Uninitialized log_check_cond");
        return negate;
    }
}

bool log_apply_rules(std::string_view entry, devnode& check, const log_chain* chain) {
    const int64_t now = time_now();
    if (check.in_evaluation) {
        // The entry came back to a check that is still working on it.
        std::string cycle = cycle_text(entry, check, chain);
        auto res = alloc_resnode();
        res->time = now;
        res->status = status_alert;
        set_result_log_text(*res, cut("Cycle detected: " + cycle));
        append_result(check, std::move(res));
        log_text(2, "Log forwarding cycle detected: " + cycle);
        return true;
    }
    check.in_evaluation = 1;
    bool stopped = false;
    int number = -1;
    entry_scan scan(entry);
    if (check.lognode) {
        for (auto& rule_ptr : check.lognode->rules) {
            number++;
            const logrule& rule = *rule_ptr;
            if (!rule.condition || !log_cond_match(scan, *rule.condition)) continue;
            const int32_t d = rule.decision;
            if (d == decision_copyto) {
                log(-1, "  matched copyto rule %d in \"%s\"", number, check.id.c_str());
                forward(entry, check, rule, chain);
                continue;
            }
            if (d == decision_moveto) {
                log(-1, "  matched moveto rule %d in \"%s\"", number, check.id.c_str());
                forward(entry, check, rule, chain);
                stopped = true;
                break;
            }
            if (d == decision_call) {
                log(-1, "  matched call rule %d in \"%s\"", number, check.id.c_str());
                if (forward(entry, check, rule, chain)) {
                    stopped = true;
                    break;
                }
                continue;
            }
            log(-1, "  matched rule %d in \"%s\": %s %s", number, check.id.c_str(),
                status_name(rule.status), decision_name(d));
            if (rule.status == 0 && d == decision_quiet) {
                stopped = true;
                break;
            }
            record(entry, check, rule, now);
            if (d == decision_copytogroup) continue;
            stopped = true;
            break;
        }
    }
    check.in_evaluation = 0;
    if (stopped) return true;
    log(-1, "  matched nothing in \"%s\"", check.id.c_str());
    return false;
}

bool log_got_entry(std::string_view entry, devnode& check) {
    log(-1, "Got entry: %.*s", static_cast<int>(std::min<size_t>(entry.size(), INT32_MAX)),
        entry.data());
    return log_apply_rules(entry, check, nullptr);
}

}  // namespace zp
