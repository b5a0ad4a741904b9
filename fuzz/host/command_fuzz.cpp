// command_fuzz.cpp - fuzz target of the command pipe's request grammar.
//
// The first byte sets up the fake server session: bit 0 makes the request
// fail, bit 1 makes the server's answer as long as a reply may be. The rest is
// the request as it came from the pipe. Every reply must fit the reply buffer
// and begin with "OK " or "FAILED ".
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/log.h"
#include "host/command_pipe.h"

namespace {

bool quiet = [] {
    zp::set_log_level(4);
    return true;
}();

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    const std::string answer = (mode & 2) ? "OK " + std::string(zp::command_buffer_size - 4, 'a') : "OK done";
    zp::command_server_ops ops;
    ops.open_session = [] { return zp::err(); };
    ops.request_downtime = [&](int32_t minutes, const std::optional<std::string>& comment, std::string& reply) {
        if (minutes == 0 || (comment && comment->size() >= zp::command_buffer_size)) std::abort();
        if (mode & 1) return zp::err::text(std::string(2000, 'e'));
        reply = answer;
        return zp::err();
    };
    ops.request_rescan = [&](std::string& reply) {
        if (mode & 1) return zp::err::text(std::string(2000, 'e'));
        reply = answer;
        return zp::err();
    };
    // The pipe hands over at most a buffer less its terminator.
    std::string buf(reinterpret_cast<const char*>(data) + 1, std::min(size - 1, zp::command_buffer_size - 1));
    zp::handle_command(ops, buf);
    if (buf.size() >= zp::command_buffer_size) std::abort();
    if (buf.rfind("OK ", 0) != 0 && buf.rfind("FAILED ", 0) != 0) std::abort();
    return 0;
}
