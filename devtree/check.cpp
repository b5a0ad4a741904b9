// check.cpp - the check engine: dispatch to the scanner, evaluation, retention,
// and the regression and fake-result generators.
#include "devtree/check.h"

#include <cmath>
#include <cstdlib>
#include <string>

#include "core/agent.h"
#include "core/clock.h"
#include "core/config.h"
#include "core/fatal.h"
#include "core/log.h"
#include "devtree/scan.h"

namespace zp {

namespace {

constexpr double two_pi = 6.28318530718;

struct regression_state : check_state {
    double phase = 0;
    int64_t sample_time = -1;
};

struct fake_state : check_state {
    int32_t status = 0;
};

void fake_free_state(devnode& node) {
    if (node.state_tag != state_tag_regression) fatal("Magic mismatch in fake_free_state");
    node.state.reset();
    node.state_tag = state_tag_none;
    node.release_state = free_no_state;
}

void free_fake_state(devnode& node) {
    if (node.state_tag != state_tag_fake_results) fatal("Magic mismatch in free_fake_state");
    node.state.reset();
    node.state_tag = state_tag_none;
    node.release_state = free_no_state;
}

std::unique_ptr<resnode> new_result() {
    auto res = alloc_resnode();
    res->time = time_now();
    return res;
}

template <typename T>
bool crosses_low(T v, T limit) { return limit >= 0 && v < limit; }
template <typename T>
bool crosses_high(T v, T limit) { return limit >= 0 && v > limit; }

}  // namespace

int64_t& last_retention_warning() {
    static int64_t t = 0;
    return t;
}

bool& fake_checks_done() {
    static bool done = false;
    return done;
}

void evaluate_result(const devnode& node, resnode& res) {
    res.status = status_ok;
    if (is_bitmap_type(node.type)) {
        log(-1, "Using bitmap, value = %i, warn = %i, alert = %i", res.ivalue,
            static_cast<int>(node.warn_mask), static_cast<int>(node.alert_mask));
        uint32_t bit = 1u << (static_cast<uint32_t>(res.ivalue) & 31u);
        if (node.warn_mask & bit) res.status = status_warning;
        if (node.alert_mask & bit) res.status = status_alert;
    } else if (node.type == type_real_continuous) {
        const auto& t = node.real;
        log(-1, "RealContinuous check %f: %f %f %f %f", res.dvalue, t.alert_low, t.warn_low,
            t.warn_high, t.alert_high);
        if (crosses_low(res.dvalue, t.warn_low) || crosses_high(res.dvalue, t.warn_high))
            res.status = status_warning;
        if (crosses_low(res.dvalue, t.alert_low) || crosses_high(res.dvalue, t.alert_high))
            res.status = status_alert;
    } else {
        const auto& t = node.cont;
        log(-1, "Continuous check %d: %d %d %d %d", res.ivalue, t.alert_low, t.warn_low, t.warn_high,
            t.alert_high);
        if (crosses_low(res.ivalue, t.warn_low) || crosses_high(res.ivalue, t.warn_high))
            res.status = status_warning;
        if (crosses_low(res.ivalue, t.alert_low) || crosses_high(res.ivalue, t.alert_high))
            res.status = status_alert;
    }
}

bool regression_value(devnode& node, resnode& res) {
    const auto& st = startup();
    if (node.state_tag == state_tag_none && !node.state) {
        auto s = std::make_unique<regression_state>();
        s->sample_time = st.fake_start_time;
        node.state = std::move(s);
        node.state_tag = state_tag_regression;
        node.release_state = fake_free_state;
    } else if (node.state_tag != state_tag_regression) {
        fatal("Check state corrupt");
    }
    auto& s = static_cast<regression_state&>(*node.state);
    if (st.fake_end_time != -1 && s.sample_time >= st.fake_end_time) return false;
    if (s.sample_time == -1) s.sample_time = time_now();
    res.ivalue = static_cast<int32_t>((std::cos(s.phase) + 1) * 10000);
    // One period spans an hour of samples. The quotient is an integer division;
    // checks run more often than once a second per hour would make it 0, and
    // are stepped as if it were 1.
    int32_t freq = node.frequency < 1 ? 1 : node.frequency;
    int32_t steps = 3600 / freq;
    if (steps == 0) steps = 1;
    s.phase += two_pi / steps;
    if (s.phase >= two_pi) s.phase -= two_pi;
    res.time = s.sample_time;
    s.sample_time += freq;
    return true;
}

void fake_result(devnode& node, resnode& res) {
    if (node.state_tag == state_tag_none && !node.state) {
        node.state = std::make_unique<fake_state>();
        node.state_tag = state_tag_fake_results;
        node.release_state = free_fake_state;
    } else if (node.state_tag != state_tag_fake_results) {
        fatal("Check state corrupt");
    }
    auto& s = static_cast<fake_state&>(*node.state);
    int r = std::rand();
    if (r % 997 == 0) {
        int r2 = std::rand();
        s.status = r2 % 97 == 0 ? 1 : r2 % 97 == 1 ? 2 : 0;
    }
    res.ivalue = 0;
    res.dvalue = 0;
    switch (node.type) {
    case 0: res.ivalue = 117; break;
    case 1: case 3: case 13: case 14: res.ivalue = 1; break;
    case 2: case 5: case 6: case 10: case 11: case 12: res.ivalue = 0; break;
    case 4:
        if (scanner* sys = find_scanner("system")) (void)sys->check(node, &res);
        break;
    case 7: res.dvalue = 117.0; break;
    case 15: res.ivalue = 5; break;
    case 9:
        if (std::rand() % 97 == 0) {
            int r4 = std::rand();
            size_t n = static_cast<size_t>(r4 % 63 + 1) * 1024 - 1;
            set_result_log_text(res, std::string(n, 'a'));
            log(2, "Generated huge (%u bytes) log string", static_cast<unsigned>(n + 1));
        } else {
            set_result_log_text(res, "Fake result");
        }
        break;
    default: break;
    }
    set_result_text(res, "Fake result");
    res.status = static_cast<uint32_t>(s.status);
}

std::unique_ptr<resnode> check_device(devnode& node) {
    const auto& st = startup();
    if (st.fake_results) {
        auto res = new_result();
        fake_result(node, *res);
        return res;
    }
    std::unique_ptr<resnode> res;
    err outcome;
    if (st.regression_test) {
        res = new_result();
        if (!regression_value(node, *res)) return nullptr;
        fake_checks_done() = false;
    } else {
        devtree* top = ancestor_group(node, 1);
        scanner* sc = top ? find_scanner(top->id) : nullptr;
        if (!sc) {
            log(2, "Unknown device in check_device(): %s", dotted_name(node).c_str());
            res = new_result();
            set_result_text(*res, "Unknown device");
            res->status = status_error;
            return res;
        }
        if (sc->flags & scanner_makes_results) {
            err e = (sc->flags & scanner_disabled) ? err::text("Disabled by configuration")
                                                   : sc->check(node, nullptr);
            if (e.is_error()) log(2, "Error checking %s: %s", dotted_name(node).c_str(), e.c_str());
            return nullptr;
        }
        res = new_result();
        outcome = (sc->flags & scanner_disabled) ? err::text("Disabled by configuration")
                                                 : sc->check(node, res.get());
    }
    if (node.type == type_action) {
        if (outcome.is_error()) log(2, "Message for AgentAction: %s", outcome.c_str());
        return nullptr;
    }
    if (outcome.ok() && node.type == type_real_continuous && !std::isfinite(res->dvalue))
        outcome = err::text("Gave neither error nor valid result");
    if (outcome.is_no_result()) return nullptr;
    if (outcome.is_error()) {
        log(2, "Error checking %s: %s", dotted_name(node).c_str(), outcome.c_str());
        res->status = status_error;
        res->ivalue = 0;
        res->dvalue = 0;
        if (!res->text()) set_result_text(*res, outcome.message());
        return res;
    }
    evaluate_result(node, *res);
    return res;
}

void apply_retention(devnode& node) {
    int32_t days = the_config().max_data_retention_days;
    if (days <= 0) return;
    int64_t now = time_now();
    int64_t oldest = now - static_cast<int64_t>(days) * 86400;
    int count = 0;
    while (!node.results.empty() && node.results.front()->time < oldest) {
        node.results.pop_front();
        ++count;
    }
    if (count == 0) return;
    log(-1, "%s: Discarded %d records", node.id.c_str(), count);
    if (now - last_retention_warning() > 3600)
        log(0, "WARNING: Max data retention time exceeded, discarding data!");
    last_retention_warning() = now;
}

void run_check(devnode& node) {
    if (auto res = check_device(node)) append_result(node, std::move(res));
    apply_retention(node);
}

}  // namespace zp
