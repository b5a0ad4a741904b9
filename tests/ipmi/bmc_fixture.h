// bmc_fixture.h - the fixture of the IPMI tests: a fresh BMC table reaching the
// simulated BMC, the log captured, and a signalled wake-up event so that the
// pause before a re-reservation ends at once.
#pragma once

#include <gtest/gtest.h>

#include "host/wait.h"
#include "monitors/ipmi/ipmi.h"
#include "tests/ipmi/fake_bmc.h"
#include "tests/support/log_capture.h"

namespace zp::test {

class BmcTest : public ::testing::Test {
protected:
    void SetUp() override {
        release_bmcs();
        sensor_records().clear();
        set_ipmi_opener(bmc.opener());
        ASSERT_TRUE(wait_event::create(true, true, wake).ok());
        ASSERT_TRUE(add_wakeup_event(wake.handle()));
    }
    void TearDown() override {
        del_wakeup_event(wake.handle());
        release_bmcs();
        set_ipmi_opener(nullptr);
        sensor_records().clear();
    }

    fake_bmc bmc;
    wait_event wake;
    log_capture cap;
};

}  // namespace zp::test
