// server_fuzz.cpp - whatever an agent sends, the reference server's readers
// and its conversation end without a crash, a leak or unbounded memory. The
// first octet picks the reader; mode 0 runs a whole conversation on a memory
// stream.
#include <cstddef>
#include <cstdint>

#include "core/log.h"
#include "protocol/memory_stream.h"
#include "tools/zpserver/server.h"
#include "tools/zpserver/server_messages.h"

namespace {

zp::server::server_state& state() {
    static std::unique_ptr<zp::server::server_state> st = [] {
        zp::set_log_level(4);
        zp::server::server_options o;
        o.state_dir.clear();        // memory only
        o.results_path = "/dev/null";
        std::unique_ptr<zp::server::server_state> s;
        (void)zp::server::server_state::create(o, s);
        (void)s->results().open(o.results_path);
        return s;
    }();
    return *st;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zp;
    using namespace zp::server;
    if (size < 1) return 0;
    uint8_t mode = data[0] % 8;
    if (mode == 0) {
        auto s = std::make_unique<memory_stream>(std::span<const uint8_t>(data + 1, size - 1));
        (void)serve_connection(state(), std::move(s));
        return 0;
    }
    memory_stream s(std::span<const uint8_t>(data + 1, size - 1));
    switch (mode) {
    case 1: {
        client_hello h;
        (void)read_client_wants(s, h);
        break;
    }
    case 2: {
        configure_request r;
        if (!read_configure_req(s, r)) (void)uploaded_checks(r.groups);
        break;
    }
    case 3: {
        std::vector<check_result> r;
        if (!read_checkin_req(s, r)) {
            for (const auto& x : r) (void)result_json("a", "d", x, true);
        }
        break;
    }
    case 4: {
        package_info p;
        (void)read_upgrade_req(s, p);
        break;
    }
    case 5: {
        int32_t m;
        std::string c;
        (void)read_downtime_req(s, m, c);
        break;
    }
    case 6: {
        int32_t a, b;
        (void)read_server_time_req(s, a, b);
        break;
    }
    default: {
        agent_record rec;
        (void)parse_record(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1), rec);
        break;
    }
    }
    return 0;
}
