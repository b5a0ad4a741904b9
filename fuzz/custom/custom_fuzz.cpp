// custom_fuzz.cpp - fuzz target of the custom check and agent action files and
// of the output parser.
//
// The first byte chooses the mode (modulo 3):
//   0: the rest is a custom check file;
//   1: the rest is an agent action file;
//   2: the rest is a command's output, fed in pieces of the second byte's size
//      to the parser of an integer check, and the result built from it.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/log.h"
#include "custom/custom.h"

namespace {

bool quiet = [] {
    zp::set_log_level(4);
    return true;
}();

void output_mode(std::string_view data) {
    if (data.empty()) return;
    size_t piece = static_cast<unsigned char>(data[0]) % 64 + 1;
    data.remove_prefix(1);
    static zp::custom_check_list checks = [] {
        zp::custom_check_list l;
        (void)zp::parse_custom_checks("[i]\ncommand=x\ntype=diff_integer\n[b]\ncommand=x\nresult_pattern=^(.*)$\n", l);
        return l;
    }();
    for (auto& c : checks) {
        zp::output_buffer buf;
        zp::output_values v;
        std::string_view rest = data;
        while (!rest.empty()) {
            size_t n = std::min({piece, rest.size(), zp::custom_output_size - buf.fill});
            std::memcpy(buf.data + buf.fill, rest.data(), n);
            buf.fill += n;
            rest.remove_prefix(n);
            if (zp::process_output(c, buf, v)) break;
        }
        auto res = zp::alloc_resnode();
        (void)zp::make_custom_result(*res, c, v, 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 3) {
    case 0: {
        zp::custom_check_list l;
        (void)zp::parse_custom_checks(text, l);
        break;
    }
    case 1: {
        zp::agent_action_list l;
        (void)zp::parse_agent_actions(text, l);
        break;
    }
    default: output_mode(text); break;
    }
    return 0;
}
