// check.h - running one configured check: the scanner's check operation, the
// status from thresholds or masks, queueing the result and data retention; and
// the two test generators (regression wave, fake results). Main thread only.
#pragma once

#include <cstdint>
#include <memory>

#include "core/err.h"
#include "devtree/devtree.h"

namespace zp {

// Runs the check: check_device, appends the result it yields, then retention.
void run_check(devnode& node);

// The result record of one run, or null when there is nothing to queue (agent
// actions, "no result this time", scanners that queue their own results, an
// exhausted regression generator).
std::unique_ptr<resnode> check_device(devnode& node);

// Sets the status of a successful result from the check's thresholds or masks.
void evaluate_result(const devnode& node, resnode& res);

// Drops results older than "max_data_retention_days" from the head of the queue.
void apply_retention(devnode& node);

// Time of the last "Max data retention time exceeded" warning (0: none yet).
// Written and read only by apply_retention, on the main thread; tests reset it.
int64_t& last_retention_warning();

// Regression test: true while no fake check has produced a value since the last
// acknowledged check-in. Set by the agent/ main loop after each check-in and
// read there for the regression exit; cleared by check_device here when the
// generator yields a value. Main thread only.
bool& fake_checks_done();

// The regression generator and the fake results, for one result of `node`.
// regression_value returns false when the generator is exhausted.
bool regression_value(devnode& node, resnode& res);
void fake_result(devnode& node, resnode& res);

}  // namespace zp
