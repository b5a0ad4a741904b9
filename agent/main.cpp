// main.cpp - the quillmar executable: start-up with the command client's
// direct requests and the agent's conversations with the server plugged in.
#include "core/agent.h"
#include "core/config.h"
#include "core/log.h"
#include "custom/custom.h"
#include "agent/main_loop.h"
#include "agent/monitors.h"
#include "agent/startup.h"
#include "host/stop_signal.h"
#include "host/wait.h"
#include "agent/host_hookup.h"
#include "agent/loop_conversations.h"
#include "agent/test_mode.h"
#include "devtree/results_file.h"
#include "logcheck/logfile.h"
#include "protocol/requests.h"

namespace {

// Every module that watches something fills its entries of the scanner table.
void register_monitors() {
    zp::register_platform_monitors();
    zp::register_custom_scanners();
    zp::register_log_scanner({zp::checkin_due, [](int seconds) { (void)zp::wakeup_wait(seconds); }});
}

int run_agent() {
    register_monitors();
    zp::watch_stop_signals(zp::request_stop);
    zp::set_log_reopen_wait([](int seconds) { (void)zp::wakeup_wait(seconds); });
    zp::loop_ops ops;
    zp::plug_conversations(ops);
    ops.log_silence_check = zp::log_silence_check;
    ops.restore_results = [](zp::devtree_list& tree) { zp::restore_results_file(zp::results_file_path(), tree); };
    ops.save_results = [](const zp::devtree_list& tree) {
        if (zp::err e = zp::save_results_file(zp::results_file_path(), tree))
            zp::log(3, "Unable to keep the waiting results: %s", e.c_str());
    };
    ops.client_info = zp::platform_host_info;
    ops.log_reopen = [] {
        const auto& c = zp::the_config();
        zp::check_log_reopen(c.log_file, c.log_days, c.max_log_files);
    };
    zp::plug_host(ops);
    return zp::run_agent_loop(ops);
}

// --scan and --check: the same scanners, with no check-in to make way for.
int run_test_mode(const zp::cmdline_options& opt) {
    register_monitors();
    zp::register_log_scanner({});
    return opt.check ? zp::test_check(*opt.check) : zp::test_scan();
}

}  // namespace

int main(int argc, char** argv) {
#ifdef ZP_PACKAGE_MANAGED
    // The packaged agent is upgraded by the package manager only.
    zp::autoupgrade_locked() = true;
#endif
    zp::agent_parts parts;
    parts.request_downtime = [] {
        const auto& st = zp::startup();
        return zp::connect_and_request_downtime(zp::the_config(), st.downtime_minutes, st.downtime_comment);
    };
    parts.request_rescan = [] { return zp::send_rescan_to_server(zp::the_config()); };
    parts.main_loop = run_agent;
    parts.test_mode = run_test_mode;
    return zp::agent_main(argc, argv, parts);
}
