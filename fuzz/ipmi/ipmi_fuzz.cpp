// ipmi_fuzz.cpp - libFuzzer target: arbitrary bytes as one sensor record (parsed
// and converted), or as every reply a BMC gives to a scan and to the checks of
// what the scan found.
//
// Input: the first byte chooses. Odd: the rest is a record. Even: the rest is a
// sequence of replies, each a length byte and that many bytes (completion code
// first); a length of 0xFF breaks the connection instead. When the input runs
// out, every further request fails.
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/log.h"
#include "devtree/devtree.h"
#include "devtree/scan.h"
#include "host/wait.h"
#include "monitors/ipmi/ipmi.h"
#include "monitors/ipmi/ipmisens.h"

namespace {

std::span<const uint8_t> input;

struct replay : zp::ipmi_transport {
    zp::err exchange(const zp::ipmi_request& req, zp::ipmi_reply& reply, bool& lost) override {
        if (input.empty()) return zp::err::text("end of input");
        size_t n = input[0];
        input = input.subspan(1);
        if (n == 0xFF) {
            lost = true;
            return zp::err::text("connection broken");
        }
        n = std::min(n, input.size());
        reply.netfn = req.netfn | 1;
        reply.cmd = req.cmd;
        reply.bytes.assign(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(n));
        input = input.subspan(n);
        return {};
    }
};

void check_all(zp::devtree& g, zp::scanner& ops) {
    for (auto& n : g.checks) {
        auto res = zp::alloc_resnode();
        (void)ops.check(*n, res.get());
    }
    for (auto& c : g.children) check_all(*c, ops);
}

zp::wait_event wake;

bool setup() {
    zp::set_log_level(10);
    zp::register_ipmi_scanners();
    zp::set_ipmi_opener([](zp::ipmi_transport_ptr& out) -> zp::err {
        out = std::make_unique<replay>();
        return {};
    });
    // The pause before a re-reservation ends at once.
    if (zp::wait_event::create(true, true, wake).ok()) zp::add_wakeup_event(wake.handle());
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = setup();
    (void)ready;
    if (size == 0) return 0;
    std::span<const uint8_t> rest(data + 1, size - 1);
    if (data[0] & 1) {
        zp::sensor_record r;
        if (zp::parse_sensor_record(rest, r).ok()) {
            double v;
            for (int raw : {0x00, 0x01, 0x7F, 0x80, 0xFE, 0xFF}) (void)zp::convert_reading(r, static_cast<uint8_t>(raw), v);
            (void)zp::unit_text(r);
        }
        return 0;
    }
    input = rest;
    zp::release_bmcs();
    zp::scanner* ops = zp::find_scanner("ipmisens");
    zp::devtree root;
    (void)ops->scan(root);
    for (auto& g : root.children) check_all(*g, *ops);
    zp::sensor_records().clear();
    return 0;
}
